// Fuzz target: quillwave-export on arbitrary bytes.
//
// The first byte chooses the command line: bit 0 NPY instead of CSV, bit 1
// two jobs instead of one, bit 2 --info, bit 3 the capture through standard
// input (a pipe, spooled) instead of a file, bit 4 --force over the files of
// the previous run instead of an emptied folder, bit 5 a sigrok session and
// bit 6 a WAV file instead (where built: else the run is the usage error of
// a format left out), bit 7 a MAT-file. The remaining bytes are the
// capture. Standard output goes to /dev/full, so --info also exercises the
// path where output cannot be written; messages go to /dev/null.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "quillwave_export.h"

namespace {

// A folder of this process's own, removed with its files when it exits.
struct OwnFolder {
    std::string path;
    OwnFolder() : path("/tmp/quillwave-export-fuzz-XXXXXX") {
        if (mkdtemp(path.data()) == nullptr) std::abort();
    }
    OwnFolder(const OwnFolder&) = delete;
    OwnFolder& operator=(const OwnFolder&) = delete;
    ~OwnFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

const std::string& OutputFolder() {
    static const OwnFolder folder;
    return folder.path;
}

int OpenOnce(const char* path) { return open(path, O_WRONLY | O_CLOEXEC); }

void WriteAllOrAbort(int fd, const uint8_t* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const int devFull = OpenOnce("/dev/full");
    static const int devNull = OpenOnce("/dev/null");
    const uint8_t choice = data[0];
    const bool throughStdin = (choice & 8) != 0;
    const bool force = (choice & 16) != 0;
    if (!force) {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(OutputFolder(), ignored)) {
            std::filesystem::remove(entry.path(), ignored);
        }
    }
    int captureFd = -1;
    int stdinFd = devNull;
    std::string capture = "-";
    // A pipe holds 64 KiB; larger inputs go through a file.
    if (throughStdin && size - 1 < 65536) {
        int ends[2];
        if (pipe(ends) != 0) std::abort();
        WriteAllOrAbort(ends[1], data + 1, size - 1);
        close(ends[1]);
        stdinFd = ends[0];
    } else {
        captureFd = memfd_create("capture", MFD_CLOEXEC);
        if (captureFd < 0) std::abort();
        WriteAllOrAbort(captureFd, data + 1, size - 1);
        capture = "/proc/self/fd/" + std::to_string(captureFd);
    }
    std::vector<std::string> args = {"quillwave-export", "-q", "-o", OutputFolder()};
    if ((choice & 0x80) != 0) {
        args.emplace_back("--format=mat");
    } else if ((choice & 0x40) != 0) {
        args.emplace_back("--format=wav");
    } else if ((choice & 0x20) != 0) {
        args.emplace_back("--format=sr");
    } else if ((choice & 1) != 0) {
        args.emplace_back("--format=npy");
    }
    args.emplace_back((choice & 2) != 0 ? "-j2" : "-j1");
    if ((choice & 4) != 0) args.emplace_back("--info");
    if (force) args.emplace_back("--force");
    args.push_back(capture);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    quillwave::RunExport(static_cast<int>(args.size()), argv.data(),
                         {.stdinFd = stdinFd,
                          .stdoutFd = devFull,
                          .stderrFd = devNull,
                          .spoolFolder = "/tmp",
                          .processorCount = 1});
    if (captureFd >= 0) close(captureFd);
    if (stdinFd != devNull) close(stdinFd);
    return 0;
}
