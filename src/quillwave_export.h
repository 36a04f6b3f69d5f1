// quillwave-export as a function, so that tests and the fuzzer can run it
// in-process: `argv` as main receives it, the standard descriptors, the
// folder for spooling inputs that cannot seek and the default job count as
// parameters. Returns the exit status.
#pragma once

namespace quillwave {

struct ExportEnvironment {
    int stdinFd = 0;
    int stdoutFd = 1;
    int stderrFd = 2;
    const char* spoolFolder = "/tmp";
    unsigned processorCount = 1;  // the default of -j
};

int RunExport(int argc, char** argv, const ExportEnvironment& environment);

}  // namespace quillwave
