// Where exported bytes go: a buffer in front of a file descriptor, written
// out in large blocks. Writers reserve room, fill it and commit what they
// wrote, so a CSV line or an NPY row costs no system call and no copy.
//
// The first failed write is remembered with its errno: everything after it
// is dropped, and the caller reports the reason once at the end.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quillwave {

struct ByteSink {
    int fd = -1;
    std::string* capture = nullptr;  // when set, bytes go here instead (tests)
    std::unique_ptr<char[]> buffer;
    size_t capacity = 0;
    size_t used = 0;
    uint64_t written = 0;  // bytes handed on by earlier flushes
    int error = 0;         // errno of the first failed write, 0 while all went well
    // Counts every byte flushed, across sinks and threads (progress display).
    std::atomic<uint64_t>* flushedTotal = nullptr;
};

inline constexpr size_t kDefaultByteSinkCapacity = size_t{1} << 20;

void OpenByteSink(ByteSink& sink, int fd, size_t capacity = kDefaultByteSinkCapacity);
void OpenCaptureByteSink(ByteSink& sink, std::string& capture,
                         size_t capacity = kDefaultByteSinkCapacity);

// Writes out what is buffered. False once any write to this sink has failed.
bool FlushByteSink(ByteSink& sink);

// Flushes, and enlarges the buffer to at least `length` bytes.
void GrowByteSink(ByteSink& sink, size_t length);

// Room for at least `length` bytes.
inline char* ReserveBytes(ByteSink& sink, size_t length) {
    if (sink.capacity - sink.used < length) {
        FlushByteSink(sink);
        if (sink.capacity < length) GrowByteSink(sink, length);
    }
    return sink.buffer.get() + sink.used;
}

inline void CommitBytes(ByteSink& sink, size_t length) { sink.used += length; }

void AppendBytes(ByteSink& sink, std::string_view bytes);

}  // namespace quillwave
