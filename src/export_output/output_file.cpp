#include "export_output/output_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>

namespace quillwave {
namespace {

constexpr int kNameAttempts = 64;

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A hidden name beside `path`: ".NAME.XXXXXX".
std::string HiddenNameFor(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        // No entropy yet: the clock and the stack differ enough between
        // tries, and a clash only means one more try.
        bits = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
               reinterpret_cast<uintptr_t>(&bits);
    }
    constexpr const char* kLetters =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix(6, 'x');
    for (char& letter : suffix) {
        letter = kLetters[static_cast<size_t>(bits % 62)];
        bits /= 62;
    }
    return folder + "." + name + "." + suffix;
}

// Whether a descriptor can be named through /proc (linkat of an O_TMPFILE
// file without privileges goes that way).
bool CanLinkDescriptors() { return access("/proc/self/fd", X_OK) == 0; }

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

OutputOutcome Failed(OutputFailure failure, int error) { return {failure, error}; }

// Links the unnamed file to `name` (EEXIST when it exists).
int LinkUnnamed(int fd, const std::string& name) {
    return linkat(AT_FDCWD, DescriptorPath(fd).c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
}

// Renames without replacing: EEXIST when `to` exists.
int RenameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // A file system without it: a hard link fails on an existing name too.
    if (link(from.c_str(), to.c_str()) != 0) return -1;
    unlink(from.c_str());
    return 0;
}

}  // namespace

std::string ErrorText(int error) {
    char buffer[256];
    // GNU strerror_r: thread-safe, returns the text (not always in buffer).
    return strerror_r(error, buffer, sizeof buffer);
}

PendingOutput::~PendingOutput() { DiscardOutput(*this); }

OutputOutcome BeginOutput(PendingOutput& output, const std::string& path, bool force,
                          const std::set<FileIdentity>& inputs, bool unnamedAllowed) {
    DiscardOutput(output);
    output.path = path;
    struct stat info {};
    struct stat linkInfo {};
    const bool exists = stat(path.c_str(), &info) == 0;
    const bool named = lstat(path.c_str(), &linkInfo) == 0;
    if (named && !force) return Failed(OutputFailure::Exists, EEXIST);
    if ((exists && inputs.contains({info.st_dev, info.st_ino})) ||
        (named && inputs.contains({linkInfo.st_dev, linkInfo.st_ino}))) {
        return Failed(OutputFailure::IsInput, 0);
    }
    if (exists && S_ISDIR(info.st_mode)) return Failed(OutputFailure::CannotCreate, EISDIR);
    if (exists && !S_ISREG(info.st_mode)) {
        struct stat opened {};
        const int fd = OpenOutputInPlace(path.c_str(), false, &opened);
        if (fd < 0) return Failed(OutputFailure::CannotCreate, errno);
        if (inputs.contains({opened.st_dev, opened.st_ino})) {
            close(fd);
            return Failed(OutputFailure::IsInput, 0);
        }
        output.fd = fd;
        output.inPlace = true;
        return {};
    }
    if (unnamedAllowed && CanLinkDescriptors()) {
        const int fd = open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            output.fd = fd;
            output.unnamed = true;
            return {};
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return Failed(OutputFailure::CannotCreate, errno);
        }
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string hidden = HiddenNameFor(path);
        const int fd = open(hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            output.fd = fd;
            output.hiddenPath = std::move(hidden);
            return {};
        }
        if (errno != EEXIST) return Failed(OutputFailure::CannotCreate, errno);
    }
    return Failed(OutputFailure::CannotCreate, EEXIST);
}

int OpenOutputInPlace(const char* path, bool create, struct stat* info) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK | (create ? O_CREAT : 0), 0666);
    if (fd < 0) return -1;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || fstat(fd, info) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void ReserveOutputSpace(PendingOutput& output, uint64_t bytes) {
    if (output.fd < 0 || output.inPlace || bytes == 0 ||
        bytes > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
        return;
    }
    if (fallocate(output.fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) == 0) {
        output.reserved = bytes;
        return;
    }
    // One that ran out of room may have had part of it: given back now, so
    // that the file is written as if none had been asked for (or at the
    // end, should that fail).
    if (ftruncate(output.fd, 0) != 0) output.reserved = bytes;
}

OutputOutcome CompleteOutput(PendingOutput& output, bool force) {
    OutputOutcome outcome;
    // Reserved space the file did not use (none, as reservations go): a
    // truncation to the file's own size frees it.
    if (output.reserved > 0) {
        struct stat written {};
        if (fstat(output.fd, &written) != 0 ||
            (static_cast<uint64_t>(written.st_size) < output.reserved &&
             ftruncate(output.fd, written.st_size) != 0)) {
            const int error = errno;
            DiscardOutput(output);
            return Failed(OutputFailure::CannotWrite, error);
        }
        output.reserved = 0;
    }
    if (output.unnamed && !force) {
        if (LinkUnnamed(output.fd, output.path) != 0) {
            outcome = Failed(errno == EEXIST ? OutputFailure::Exists : OutputFailure::CannotCreate,
                             errno);
        }
    } else if (output.unnamed) {
        // Linked under a hidden name first, then renamed over the target:
        // the target is replaced in one step, never written through.
        outcome = Failed(OutputFailure::CannotCreate, EEXIST);
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
            std::string hidden = HiddenNameFor(output.path);
            if (LinkUnnamed(output.fd, hidden) == 0) {
                output.hiddenPath = std::move(hidden);
                outcome = {};
                break;
            }
            if (errno != EEXIST) {
                outcome = Failed(OutputFailure::CannotCreate, errno);
                break;
            }
        }
    }
    if (outcome.failure == OutputFailure::None && !output.hiddenPath.empty()) {
        const int placed = force ? rename(output.hiddenPath.c_str(), output.path.c_str())
                                 : RenameNoReplace(output.hiddenPath, output.path);
        if (placed != 0) {
            outcome = Failed(errno == EEXIST ? OutputFailure::Exists : OutputFailure::CannotCreate,
                             errno);
        } else {
            output.hiddenPath.clear();
        }
    }
    if (outcome.failure != OutputFailure::None) {
        DiscardOutput(output);
        return outcome;
    }
    const bool placedRegular = !output.inPlace;
    const int closed = close(output.fd);
    output.fd = -1;
    output.unnamed = false;
    if (closed != 0) {
        const int error = errno;
        // Its bytes may not all have reached the file: it must not look complete.
        if (placedRegular) unlink(output.path.c_str());
        return Failed(OutputFailure::CannotWrite, error);
    }
    return {};
}

void DiscardOutput(PendingOutput& output) {
    // Its space is given back at once: a file system that keeps a removed
    // file while it is open (FUSE's hidden copies) would keep the room.
    if (output.fd >= 0 && output.reserved > 0) {
        const int truncated = ftruncate(output.fd, 0);
        (void)truncated;  // the file goes all the same
    }
    output.reserved = 0;
    if (output.fd >= 0) close(output.fd);  // an unnamed file vanishes with it
    output.fd = -1;
    if (!output.hiddenPath.empty()) unlink(output.hiddenPath.c_str());
    output.hiddenPath.clear();
    output.unnamed = false;
    output.inPlace = false;
}

std::string OutputFailureText(const std::string& path, const OutputOutcome& outcome) {
    switch (outcome.failure) {
        case OutputFailure::None:
            return {};
        case OutputFailure::Exists:
            return path + " exists (use --force to overwrite)";
        case OutputFailure::IsInput:
            return path + " is one of the captures being read; not overwritten";
        case OutputFailure::CannotCreate:
            return "cannot create " + path + ": " + ErrorText(outcome.error);
        case OutputFailure::CannotWrite:
            return "cannot write " + path + ": " + ErrorText(outcome.error);
    }
    return {};
}

}  // namespace quillwave
