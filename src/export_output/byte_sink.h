// Where exported bytes go: a buffer in front of a file descriptor, written
// out in large blocks. Writers reserve room, fill it and commit what they
// wrote, so a CSV line or an NPY row costs no system call and no copy.
//
// A pipelined sink hands each full buffer to a writer thread of its own and
// fills the next buffer of a small ring meanwhile, so formatting and the
// kernel's copying into the page cache run on two processors. The bytes
// reach the descriptor in the order they were written, as without the thread.
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

struct ByteWriterThread;  // the writer thread of a pipelined sink and its ring

// Stops and joins the thread (after it wrote what it was handed).
struct ByteWriterThreadStop {
    void operator()(ByteWriterThread* writer) const;
};

struct ByteSink {
    int fd = -1;
    std::string* capture = nullptr;  // when set, bytes go here instead (tests)
    std::unique_ptr<char[]> buffer;  // an ordinary sink's buffer
    char* data = nullptr;            // the buffer being filled
    size_t capacity = 0;
    size_t used = 0;
    uint64_t written = 0;  // bytes handed on by earlier flushes
    int error = 0;         // errno of the first failed write, 0 while all went well
    // Counts every byte flushed, across sinks and threads (progress display).
    std::atomic<uint64_t>* flushedTotal = nullptr;
    std::unique_ptr<ByteWriterThread, ByteWriterThreadStop> writer;  // set when pipelined
};

inline constexpr size_t kDefaultByteSinkCapacity = size_t{1} << 20;
// A pipelined sink's ring: few hand-offs (each wakes a thread, which costs
// far more than a write call), and always a buffer free to fill.
inline constexpr size_t kPipelinedByteSinkCapacity = size_t{2} << 20;
inline constexpr size_t kPipelinedByteSinkBuffers = 3;

void OpenByteSink(ByteSink& sink, int fd, size_t capacity = kDefaultByteSinkCapacity);
// A sink written by a thread of its own through `buffers` (at least 2)
// buffers of `capacity` bytes. Returns false, leaving an ordinary sink, when
// no thread could be started.
bool OpenPipelinedByteSink(ByteSink& sink, int fd, size_t capacity = kPipelinedByteSinkCapacity,
                           size_t buffers = kPipelinedByteSinkBuffers);
void OpenCaptureByteSink(ByteSink& sink, std::string& capture,
                         size_t capacity = kDefaultByteSinkCapacity);

// Writes out what is buffered and waits until it is written. False once any
// write to this sink has failed.
bool FlushByteSink(ByteSink& sink);

// Hands the filled buffer on (to the writer thread, or writes it) and makes
// room for at least `length` bytes. Returns where they go.
char* ReserveLargeBytes(ByteSink& sink, size_t length);

// Room for at least `length` bytes.
inline char* ReserveBytes(ByteSink& sink, size_t length) {
    if (sink.capacity - sink.used < length) return ReserveLargeBytes(sink, length);
    return sink.data + sink.used;
}

inline void CommitBytes(ByteSink& sink, size_t length) { sink.used += length; }

void AppendBytes(ByteSink& sink, std::string_view bytes);

}  // namespace quillwave
