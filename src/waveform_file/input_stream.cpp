#include "waveform_file/input_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "waveform_file/descriptor_io.h"
#include "waveform_file/waveform_records.h"

namespace quillwave {
namespace {

constexpr size_t kWindowCapacity = size_t{64} * 1024;
// What a read far from the window brings in: a walk whose buffers leap back
// and forth reads one header per leap, and 64 KB for each would cost more
// than everything else.
constexpr size_t kFarBlock = size_t{4} * 1024;
constexpr size_t kSpoolBufferSize = size_t{1024} * 1024;

// Reads from the file itself, retrying interrupted and partial reads. When
// the file yields less than it was thought to hold (it shrank, or the device
// reported an error), that point becomes its end. Whether that fails the
// caller's read is decided by the caller (the window reads ahead).
size_t ReadFromFile(InputStream& stream, int64_t offset, unsigned char* destination, size_t count) {
    if (offset >= stream.size) return 0;
    const auto available = static_cast<uint64_t>(stream.size - offset);
    count = static_cast<size_t>(std::min<uint64_t>(count, available));
    size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(stream.fd, destination + done, count - done,
                                  static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (got > 0) {
            done += static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        stream.size = offset + static_cast<int64_t>(done);
        if (stream.windowStart + static_cast<int64_t>(stream.windowLength) > stream.size) {
            stream.windowLength = 0;
        }
        break;
    }
    stream.furthestRead = std::max(stream.furthestRead, offset + static_cast<int64_t>(done));
    return done;
}

bool WindowHolds(const InputStream& stream, int64_t offset, size_t count) {
    return offset >= stream.windowStart &&
           offset + static_cast<int64_t>(count) <=
               stream.windowStart + static_cast<int64_t>(stream.windowLength);
}

// An unnamed temporary file in `folder`: it vanishes when closed, so a
// failed or finished spool leaves nothing behind. -1 if none can be made.
int CreateUnnamedFile(const char* folder) {
    const int fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    // Filesystems without O_TMPFILE: a named file, unlinked at once.
    std::string pattern = std::string(folder) + "/quillwave-XXXXXX";
    const int named = mkostemp(pattern.data(), O_CLOEXEC);
    if (named >= 0) unlink(pattern.c_str());
    return named;
}

// Reads up to `count` bytes, as many as `source` yields before its end. A
// read error ends the input too, and sets `failed`. A source left
// non-blocking (an event loop's pipe) is waited for, not taken to end.
size_t ReadUpTo(int source, unsigned char* destination, size_t count, bool& failed) {
    size_t done = 0;
    while (done < count) {
        const ssize_t got = read(source, destination + done, count - done);
        if (got > 0) {
            done += static_cast<size_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd ready{.fd = source, .events = POLLIN, .revents = 0};
            if (poll(&ready, 1, -1) < 0 && errno != EINTR) {
                failed = true;
                break;
            }
        } else if (errno != EINTR) {
            failed = true;
            break;
        }
    }
    return done;
}

// Copies what `source` yields (a pipe, a FIFO, a terminal) into an unnamed
// file and returns that file's descriptor, or -1. The file header comes
// first: unless it starts like a capture's, only those bytes are kept
// (in memory), which is all the caller needs to refuse the input.
int SpoolToTemporaryFile(int source, const char* folder, bool& readFailed) {
    unsigned char header[PB_FILE_HEADER_SIZE];
    const size_t headerBytes = ReadUpTo(source, header, sizeof header, readFailed);
    const bool capture =
        headerBytes == sizeof header && header[0] == PB_COOKIE[0] && header[1] == PB_COOKIE[1];
    const int spool = capture ? CreateUnnamedFile(folder) : memfd_create("input", MFD_CLOEXEC);
    if (spool < 0) return -1;
    if (!WriteAll(spool, header, headerBytes)) {
        close(spool);
        return -1;
    }
    if (!capture) return spool;
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kSpoolBufferSize);
    for (;;) {
        const size_t got = ReadUpTo(source, buffer.get(), kSpoolBufferSize, readFailed);
        if (got > 0 && !WriteAll(spool, buffer.get(), got)) {
            close(spool);
            return -1;
        }
        if (got < kSpoolBufferSize) return spool;
    }
}

}  // namespace

bool OpenInputStream(InputStream& stream, const char* path, const char* spoolFolder) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    return OpenInputStreamFromFd(stream, fd, spoolFolder);
}

bool OpenInputStreamFromFd(InputStream& stream, int fd, const char* spoolFolder) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return false;
    }
    int64_t size = info.st_size;
    bool readFailed = false;
    stream.sourceDevice = info.st_dev;
    stream.sourceInode = info.st_ino;
    if (S_ISBLK(info.st_mode)) {
        size = lseek(fd, 0, SEEK_END);
    } else if (!S_ISREG(info.st_mode)) {
        // The walk seeks back and forth; an input that cannot seek is read
        // once into a temporary file, which then serves every read.
        const int spool = SpoolToTemporaryFile(fd, spoolFolder, readFailed);
        close(fd);
        if (spool < 0 || fstat(spool, &info) != 0) {
            if (spool >= 0) close(spool);
            return false;
        }
        fd = spool;
        size = info.st_size;
    }
    if (size < 0) {
        close(fd);
        return false;
    }
    stream.fd = fd;
    stream.position = 0;
    stream.furthestRead = 0;
    stream.size = size;
    stream.openedSize = size;
    stream.readFailed = readFailed;
    stream.window = std::make_unique_for_overwrite<unsigned char[]>(kWindowCapacity);
    stream.windowStart = 0;
    stream.windowLength = 0;
    return true;
}

InputStream::~InputStream() { CloseInputStream(*this); }

InputStream::InputStream(InputStream&& other) noexcept { *this = std::move(other); }

InputStream& InputStream::operator=(InputStream&& other) noexcept {
    if (this == &other) return *this;
    CloseInputStream(*this);
    fd = std::exchange(other.fd, -1);
    position = other.position;
    size = other.size;
    openedSize = other.openedSize;
    readFailed = other.readFailed;
    sourceDevice = other.sourceDevice;
    sourceInode = other.sourceInode;
    furthestRead = other.furthestRead;
    window = std::move(other.window);
    windowStart = other.windowStart;
    windowLength = std::exchange(other.windowLength, 0);
    return *this;
}

void CloseInputStream(InputStream& stream) {
    if (stream.fd >= 0) close(stream.fd);
    stream.fd = -1;
    stream.window.reset();
    stream.windowLength = 0;
}

namespace {

size_t ReadThroughWindow(InputStream& stream, int64_t offset, unsigned char* out, size_t count) {
    if (offset < 0 || offset >= stream.size || count == 0) return 0;
    if (WindowHolds(stream, offset, count)) {
        std::memcpy(out, stream.window.get() + (offset - stream.windowStart), count);
        return count;
    }
    if (count >= kWindowCapacity) return ReadFromFile(stream, offset, out, count);
    // A read at or shortly after the window goes on through the file, and
    // takes a whole window; sequential reads stay as fast.
    const int64_t windowEnd = stream.windowStart + static_cast<int64_t>(stream.windowLength);
    const bool onward =
        offset >= stream.windowStart && offset - windowEnd < static_cast<int64_t>(kWindowCapacity);
    const size_t block = onward ? kWindowCapacity : std::max(count, kFarBlock);
    stream.windowStart = offset;
    stream.windowLength = 0;
    stream.windowLength = ReadFromFile(stream, offset, stream.window.get(), block);
    const size_t copied = std::min(count, stream.windowLength);
    std::memcpy(out, stream.window.get(), copied);
    return copied;
}

}  // namespace

size_t ReadBytesAt(InputStream& stream, int64_t offset, void* destination, size_t count) {
    const size_t got =
        ReadThroughWindow(stream, offset, static_cast<unsigned char*>(destination), count);
    if (got < count && offset >= 0) {
        FileHolds(
            stream, offset,
            static_cast<int64_t>(std::min<uint64_t>(count, std::numeric_limits<int64_t>::max())));
    }
    return got;
}

bool IsSameFileAsInput(const InputStream& stream, const struct stat& output) {
    struct stat input {};
    if (fstat(stream.fd, &input) != 0) return true;  // cannot tell
    const auto same = [&](uint64_t device, uint64_t inode) {
        return output.st_dev == device && output.st_ino == inode;
    };
    return same(input.st_dev, input.st_ino) || same(stream.sourceDevice, stream.sourceInode);
}

bool FileHolds(InputStream& stream, int64_t offset, int64_t count) {
    if (offset < 0 || count < 0) return false;
    if (count <= stream.size - offset) return true;
    if (count <= stream.openedSize - offset) stream.readFailed = true;
    return false;
}

size_t ReadBytes(InputStream& stream, void* destination, size_t count) {
    const size_t got = ReadBytesAt(stream, stream.position, destination, count);
    stream.position += static_cast<int64_t>(got);
    return got;
}

void SeekRelative(InputStream& stream, int64_t delta) {
    // Positions stay far below the int64 limits: they start inside the file
    // and each move is at most 2^31 bytes, so only a sum bounded by the
    // number of moves can grow. Saturate anyway rather than overflow.
    int64_t target = 0;
    if (__builtin_add_overflow(stream.position, delta, &target)) {
        target = delta > 0 ? std::numeric_limits<int64_t>::max() : -1;
    }
    if (target >= 0) stream.position = target;
}

void SeekToEnd(InputStream& stream) { stream.position = std::max(stream.position, stream.size); }

int64_t BytesRemaining(const InputStream& stream) {
    return stream.position < stream.size ? stream.size - stream.position : 0;
}

}  // namespace quillwave
