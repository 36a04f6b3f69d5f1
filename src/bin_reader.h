// The whole program as a function, so that tests and the fuzzer can run it
// in-process: `argv` as main receives it, standard output as a descriptor.
// Returns the exit status.
#pragma once

namespace quillwave {

int RunQuillwave(int argc, char** argv, int stdoutFd);

}  // namespace quillwave
