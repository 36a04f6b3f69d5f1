// Fuzz target: the whole program as a user runs it in a pipeline, reaching
// what the file-based target cannot: the capture arrives through a pipe (so
// its header is checked and the rest spooled), and standard output is a
// pipe whose reader counts lines and hangs up after a cap, so messages are
// really written and long listings end on a closed pipe; output files are
// written through the writer thread.
//
// The first byte chooses the command line as in fuzz_program.cpp (low three
// bits: number of output names; bit 3: files in a temporary folder rather
// than /dev/null). The rest is the capture.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bin_reader.h"

namespace {

constexpr size_t kLineCap = 5000;

const std::string& TemporaryFolder() {
    static const std::string folder = [] {
        std::string pattern = "/tmp/quillwave-fuzz-pipe-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern;
    }();
    return folder;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const bool ignored = [] { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)ignored;
    const int outputCount = data[0] & 7;
    const bool realFiles = (data[0] & 8) != 0;
    const uint8_t* capture = data + 1;
    const size_t captureSize = size - 1;

    int input[2];
    int output[2];
    Check(pipe2(input, O_CLOEXEC) == 0 && pipe2(output, O_CLOEXEC) == 0);
    // Feeds the capture, then ends it; stops early if the program stops reading.
    std::thread feeder([&] {
        for (size_t done = 0; done < captureSize;) {
            const ssize_t n = write(input[1], capture + done, captureSize - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(input[1]);
    });
    // Counts what the program writes, and hangs up after the cap.
    std::string text;
    std::thread reader([&] {
        size_t lines = 0;
        char chunk[4096];
        while (lines < kLineCap) {
            const ssize_t n = read(output[0], chunk, sizeof chunk);
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i) lines += chunk[i] == '\n' ? 1 : 0;
            if (text.size() < 4096) text.append(chunk, static_cast<size_t>(n));
        }
        close(output[0]);
    });

    std::vector<std::string> args = {"quillwave", "/proc/self/fd/" + std::to_string(input[0])};
    for (int i = 0; i < outputCount; ++i) {
        args.push_back(realFiles ? TemporaryFolder() + "/out" + std::to_string(i) : "/dev/null");
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    static const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const int status =
        quillwave::RunQuillwave(static_cast<int>(args.size()), argv.data(),
                                {.stdoutFd = output[1],
                                 .stderrFd = devNull,
                                 .spoolFolder = TemporaryFolder().c_str(),
                                 .processors = 2});  // output files through the writer thread
    close(output[1]);
    close(input[0]);
    feeder.join();
    reader.join();

    Check(status == 0 || status == 1);
    // Anything but a capture header is refused with the one message, at once.
    const bool capture12 = captureSize >= 12 && capture[0] == 'V' && capture[1] == 'X';
    if (!capture12) {
        Check(text == "Invalid Veltranix Public Waveform File\n");
        Check(status == 1);
    }
    // A conversion that succeeds prints nothing.
    if (capture12 && status == 0 && text.rfind("Veltranix Public Waveform File version ", 0) != 0) {
        Check(text.empty());
    }
    return 0;
}
