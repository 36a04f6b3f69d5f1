// Fuzz target: the whole program on arbitrary bytes.
//
// The first byte chooses the command line: its low three bits give the
// number of output names (0 lists the file, enough names convert it), bit 3
// whether outputs are real files in a temporary folder or /dev/null. The
// remaining bytes are the capture file, held in an anonymous in-memory file.
// Standard output goes to /dev/full, so the run also exercises the path
// where output cannot be written (and a listing stops when it fails).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bin_reader.h"

namespace {

const std::string& OutputFolder() {
    static const std::string folder = [] {
        std::string pattern = "/tmp/quillwave-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern;
    }();
    return folder;
}

int DevFull() {
    static const int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int outputCount = data[0] & 7;
    const bool realFiles = (data[0] & 8) != 0;

    const int fd = memfd_create("capture", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    size_t done = 1;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
    }

    std::vector<std::string> args = {"quillwave", "/proc/self/fd/" + std::to_string(fd)};
    for (int i = 0; i < outputCount; ++i) {
        args.push_back(realFiles ? OutputFolder() + "/out" + std::to_string(i) : "/dev/null");
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    quillwave::RunQuillwave(static_cast<int>(args.size()), argv.data(),
                            {.stdoutFd = DevFull(), .stderrFd = DevFull(), .spoolFolder = "/tmp"});
    close(fd);
    return 0;
}
