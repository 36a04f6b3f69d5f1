// Where text lines go: a large buffer in front of a file descriptor, written
// out in big blocks. Writers reserve room for a line, format into it and
// commit what they wrote, so a line costs no system call and no copy.
//
// A pipelined sink hands each full buffer to a writer thread and formats on
// into the next buffer of a small ring, so formatting and the kernel's
// copying of text into the page cache overlap on two processors. Bytes
// reach the descriptor in the order they were written, exactly as without
// the thread.
//
// A placed sink (PlaceTextSink) writes each buffer at its own offset in the
// file instead, so that writers which seek back to finish a header keep the
// writer thread too.
//
// A write error is remembered, not retried: the sink drops everything after
// it and FlushTextSink reports the failure, so the driver can tell the user.
// Writers see `error` after each buffer and stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quillwave {

struct TextWriterThread;  // the writer thread of a pipelined sink and its ring

struct TextSink {
    int fd = -1;
    std::string* capture = nullptr;  // when set, text goes here instead of to fd
    std::unique_ptr<char[]> buffer;
    size_t capacity = 0;
    size_t used = 0;
    uint64_t flushed = 0;  // bytes handed on by earlier flushes
    // Where the buffer's first byte goes in the file, once placed; -1: at
    // the descriptor's offset.
    int64_t placedAt = -1;
    int error = 0;  // errno of the first failed write; 0 while all went well
    std::shared_ptr<TextWriterThread> writer;  // set for a pipelined sink
    // Called after every buffer handed on to the descriptor (progress display).
    void (*afterFlush)(void* context) = nullptr;
    void* afterFlushContext = nullptr;
};

inline constexpr size_t kDefaultSinkCapacity = 1 << 20;
inline constexpr size_t kDefaultRingBuffers = 4;

void OpenTextSink(TextSink& sink, int fd, size_t capacity = kDefaultSinkCapacity);
// A sink whose buffers are written by a thread of its own, through a ring of
// `ringBuffers` buffers (at least 2) of `capacity` bytes. False when no
// thread could be started: the sink is then an ordinary one.
bool OpenPipelinedTextSink(TextSink& sink, int fd, size_t capacity = kDefaultSinkCapacity,
                           size_t ringBuffers = kDefaultRingBuffers);
// A sink as OpenPipelinedTextSink (with `pipelined`) or OpenTextSink
// opens it, with smaller buffers when memory for these cannot be had (an
// address-space limit): false when not even the smallest could be had.
bool OpenTextSinkAsMemoryAllows(TextSink& sink, int fd, size_t capacity, size_t ringBuffers,
                                bool pipelined);
// Flushes a sink (waiting for its writer thread) and stops the thread.
void CloseTextSink(TextSink& sink);
// Points an open sink, flushed, at another descriptor, keeping its buffers
// (and writing at the descriptor's offset again).
void RetargetTextSink(TextSink& sink, int fd);
// A sink that collects its text in `capture` (tests, and runs that discard text).
void OpenCaptureSink(TextSink& sink, std::string& capture, size_t capacity = kDefaultSinkCapacity);

// Hands on what is buffered (without waiting) and places the text that
// follows at `offset` in the file (offset >= 0): from then on each buffer is
// written by position, in the order written, until the sink is retargeted.
void PlaceTextSink(TextSink& sink, int64_t offset);
// Where the next byte written to a placed sink goes; -1 for a sink not placed.
inline int64_t PlacedPosition(const TextSink& sink) {
    return sink.placedAt < 0 ? -1 : sink.placedAt + static_cast<int64_t>(sink.used);
}

// Writes out what is buffered and waits until it is written. False once any
// write to this sink's descriptor has failed.
bool FlushTextSink(TextSink& sink);

// Hands the buffer on (to the writer thread, or writes it) without waiting,
// and grows the next buffer if it is smaller than `length`.
char* ReserveLargeText(TextSink& sink, size_t length);

// Returns room for at least `length` bytes.
inline char* ReserveText(TextSink& sink, size_t length) {
    if (sink.capacity - sink.used < length) return ReserveLargeText(sink, length);
    return sink.buffer.get() + sink.used;
}

inline void CommitText(TextSink& sink, size_t length) { sink.used += length; }

void WriteText(TextSink& sink, std::string_view text);

// Lines cut into chunks for WriteChunksInOrder: all of `chunkLines` lines
// but the last, which may hold fewer. Chunks are made equal, so that two
// threads share a text of just over one chunk evenly.
struct ChunkPlan {
    int64_t lines = 0;
    size_t chunkLines = 0;
    size_t chunkCount = 0;
};
// Each formatting thread's chunk of lines is written by one write call: the
// longer, the fewer turns to hand over (16384 lines was slower, 65536 no
// faster).
inline constexpr size_t kLongestChunkLines = 32768;
// Chunks of at most kLongestChunkLines lines, and fewer for a small sink
// (1/32 of its capacity), so that tests with tiny sinks cross many chunk
// boundaries.
ChunkPlan PlanChunks(const TextSink& sink, int64_t lines);

// Writes text made in chunks, in chunk order. `load(first, count, worker)`
// readies the chunk of `count` lines from line `first` for worker 0 or 1
// (reads its samples) and says whether it could; `format(first, count,
// worker, text)` formats it into `text`.
//
// With a pipelined sink and two chunks or more, the caller (worker 0) and
// the sink's writer thread (worker 1) share the work: each takes the next
// chunk (loads are made one at a time, in chunk order), formats it into a
// buffer of its own of `chunkTextCapacity` bytes, which must hold a chunk's
// whole text, and writes it itself once every earlier chunk is written. So
// formatting and writing are spread over two processors, and the bytes are
// those one thread would write. Otherwise the caller formats every chunk
// straight into the sink.
//
// Stops after the first chunk that cannot be loaded (what came before it is
// written) and at the first write failure. Returns whether every chunk was
// loaded and, so far as the sink knows, written.
using ChunkLoader = std::function<bool(int64_t first, size_t count, int worker)>;
using ChunkFormatter = std::function<void(int64_t first, size_t count, int worker, TextSink& text)>;
bool WriteChunksInOrder(TextSink& sink, const ChunkPlan& plan, size_t chunkTextCapacity,
                        const ChunkLoader& load, const ChunkFormatter& format);

// Bytes written to the sink so far, whether or not flushed yet.
inline uint64_t TextWritten(const TextSink& sink) { return sink.flushed + sink.used; }

}  // namespace quillwave
