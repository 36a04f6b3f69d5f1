// The whole program as a function, so that tests and the fuzzer can run it
// in-process: `argv` as main receives it, and what comes from outside the
// program as parameters. Returns the exit status.
#pragma once

namespace quillwave {

struct ProgramEnvironment {
    int stdoutFd = 1;  // every message, the listing
    int stderrFd = 2;  // the progress line, when it is a terminal
    // Where an input that cannot seek is copied before it is read.
    const char* spoolFolder = "/tmp";
    // Processors the program may use: with two or more, output files are
    // written by a thread of their own while the next lines are formatted.
    int processors = 1;
};

int RunQuillwave(int argc, char** argv, const ProgramEnvironment& environment);

}  // namespace quillwave
