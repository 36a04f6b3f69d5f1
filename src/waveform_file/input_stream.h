// The one stream through which the capture file is read.
//
// A capture is walked item after item with reads and relative seeks; buffers
// whose samples are wanted are later read by position. The stream knows the
// file's size, so every declared length can be checked against what the file
// really holds before anything is read or allocated for it.
//
// Positions are 64-bit byte offsets. The position may stand past the end of
// the file (a seek there is allowed; reads there return nothing) but never
// before its first byte.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quillwave {

// Owns its descriptor: closed when the stream is destroyed (or earlier by
// CloseInputStream), handed on when it is moved.
struct InputStream {
    InputStream() = default;
    ~InputStream();
    InputStream(InputStream&& other) noexcept;
    InputStream& operator=(InputStream&& other) noexcept;
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    int fd = -1;
    int64_t position = 0;
    // Bytes the file holds. Lowered if a read finds the file shorter than it
    // was (truncated meanwhile, or an I/O error): from then on it ends there.
    int64_t size = 0;
    // What it held when opened.
    int64_t openedSize = 0;
    // Set when the walk needed bytes that the file held when it was opened
    // but no longer yields. A file that merely ends early (declared sizes
    // beyond its end) is not a read failure; this is.
    bool readFailed = false;
    // The file as it was named, before any copy of an input that cannot
    // seek (so that an output naming that pipe can be recognised).
    uint64_t sourceDevice = 0;
    uint64_t sourceInode = 0;
    // One past the furthest byte read so far (for showing progress).
    int64_t furthestRead = 0;
    // Read-ahead window over the file, for the many small header reads.
    std::unique_ptr<unsigned char[]> window;
    int64_t windowStart = 0;
    size_t windowLength = 0;
};

// Opens `path` for reading. Fails (false) for anything that cannot be opened
// or is a directory. An input that cannot seek (a pipe, a FIFO, a terminal)
// is first copied into an unnamed temporary file in `spoolFolder`, so it
// reads exactly as the same bytes in a file would; but only once its first
// 12 bytes are those of a capture file header: otherwise the stream holds
// just the bytes read so far (so /dev/zero is refused at once, not copied
// until the disk is full). A copy that fails (disk full) fails the open and
// leaves nothing behind.
bool OpenInputStream(InputStream& stream, const char* path, const char* spoolFolder);
// The same for an open descriptor, whose ownership passes to the stream.
bool OpenInputStreamFromFd(InputStream& stream, int fd, const char* spoolFolder = "/tmp");
// Closes the descriptor now (also done by the destructor); the stream then
// reads nothing.
void CloseInputStream(InputStream& stream);

// Reads up to `count` bytes at the position and advances by what was read.
// Returns the number of bytes read; fewer than asked means the file ended.
size_t ReadBytes(InputStream& stream, void* destination, size_t count);

// Reads up to `count` bytes at `offset` without moving the position.
size_t ReadBytesAt(InputStream& stream, int64_t offset, void* destination, size_t count);

// Moves the position by a signed amount. A target before the first byte of
// the file leaves the position unchanged; a target past the end is allowed.
void SeekRelative(InputStream& stream, int64_t delta);

// Places the position at the end of the file, unless it already lies past it.
void SeekToEnd(InputStream& stream);

// Whether the file whose status is `output` (from fstat of an open output)
// is the input: the file the stream reads, or the pipe or device it was
// copied from.
bool IsSameFileAsInput(const InputStream& stream, const struct stat& output);

// Bytes between the position and the end of the file (0 when past the end).
int64_t BytesRemaining(const InputStream& stream);

// Whether the file holds the `count` bytes at `offset`. When it held them
// when opened but no longer does, that is a read failure (readFailed).
bool FileHolds(InputStream& stream, int64_t offset, int64_t count);

}  // namespace quillwave
