#include "text_output/text_sink.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "waveform_file/descriptor_io.h"

namespace quillwave {

// The longest a worker of WriteChunksInOrder spins waiting for its turn.
constexpr std::chrono::microseconds kLongestTurnSpin{2000};

// The formatting thread fills a buffer and queues it; the writer thread
// writes queued buffers in order and returns them to the free list. After a
// write fails, buffers for that descriptor are dropped unwritten until the
// sink is retargeted. Once the queue is empty, the thread also runs a task
// handed to it (its share of WriteChunksInOrder).
struct TextWriterThread {
    struct Block {
        std::unique_ptr<char[]> data;
        size_t capacity = 0;
        size_t size = 0;
        int fd = -1;
        int64_t offset = -1;  // where it goes in the file; -1: at the descriptor's offset
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Block> queued;
    std::vector<Block> free;
    bool writing = false;        // a block is out of the queue, being written
    std::function<void()> task;  // run by the thread, then cleared
    // The buffers of WriteChunksInOrder's two workers, kept from one call to
    // the next: fresh ones of megabytes would cost every waveform hundreds of
    // page faults, more than formatting a short one.
    std::array<TextSink, 2> chunkTexts;
    // How long each of those workers spins before sleeping (WaitForTurn),
    // also kept: a reader slow enough to make every spin end in sleep is
    // slow for the next waveform too.
    std::array<std::chrono::microseconds, 2> spinLimits{kLongestTurnSpin, kLongestTurnSpin};
    int error = 0;  // errno of the first failed write to the current descriptor
    bool stopping = false;
    std::thread thread;
};

namespace {

bool WriteBlock(int fd, const char* data, size_t size, int64_t offset) {
    return offset < 0 ? WriteAll(fd, data, size) : WriteAllAt(fd, offset, data, size);
}

void RunWriter(TextWriterThread& writer) {
    std::unique_lock lock(writer.mutex);
    for (;;) {
        writer.changed.wait(lock, [&] {
            return writer.stopping || !writer.queued.empty() || writer.task != nullptr;
        });
        if (writer.queued.empty() && writer.task != nullptr) {
            lock.unlock();
            writer.task();
            lock.lock();
            writer.task = nullptr;
            writer.changed.notify_all();
            continue;
        }
        if (writer.queued.empty()) return;  // stopping, and nothing left
        TextWriterThread::Block block = std::move(writer.queued.front());
        writer.queued.pop_front();
        writer.writing = true;
        const bool skip = writer.error != 0;
        lock.unlock();
        errno = 0;
        const bool written =
            skip || WriteBlock(block.fd, block.data.get(), block.size, block.offset);
        const int writeError = errno != 0 ? errno : EIO;  // a write that takes nothing
        lock.lock();
        writer.writing = false;
        if (!written) writer.error = writeError;
        writer.free.push_back(std::move(block));
        writer.changed.notify_all();
    }
}

// Queues the sink's buffer and takes a free one (waiting for one if all are
// queued); gives `minimum` bytes of room. Returns the writer's error (0 if none).
int HandOverToWriter(TextSink& sink, size_t minimum) {
    TextWriterThread& writer = *sink.writer;
    std::unique_lock lock(writer.mutex);
    if (sink.used > 0) {
        writer.queued.push_back(
            {std::move(sink.buffer), sink.capacity, sink.used, sink.fd, sink.placedAt});
        writer.changed.notify_all();
    }
    if (sink.buffer == nullptr) {
        writer.changed.wait(lock, [&] { return !writer.free.empty(); });
        TextWriterThread::Block block = std::move(writer.free.back());
        writer.free.pop_back();
        sink.buffer = std::move(block.data);
        sink.capacity = block.capacity;
    }
    const int error = writer.error;
    lock.unlock();
    if (sink.capacity < minimum) {
        sink.buffer = std::make_unique_for_overwrite<char[]>(minimum);
        sink.capacity = minimum;
    }
    return error;
}

void WaitForWriter(TextWriterThread& writer) {
    std::unique_lock lock(writer.mutex);
    writer.changed.wait(lock, [&] { return writer.queued.empty() && !writer.writing; });
}

// Writes `size` bytes on the caller's thread: into the capture, or to the
// descriptor unless an earlier write failed.
void WriteOut(TextSink& sink, const char* data, size_t size) {
    if (sink.capture != nullptr) {
        sink.capture->append(data, size);
    } else if (sink.error == 0 && size > 0) {
        errno = 0;
        if (!WriteBlock(sink.fd, data, size, sink.placedAt)) sink.error = errno != 0 ? errno : EIO;
    }
}

// Hands the buffered text on: to the capture, the writer thread, or the
// descriptor. Does not wait for the writer thread.
void HandOver(TextSink& sink, size_t minimum) {
    const size_t size = sink.used;
    sink.flushed += size;
    if (sink.writer != nullptr) {
        const int error = HandOverToWriter(sink, minimum);
        if (sink.error == 0) sink.error = error;
        sink.used = 0;
    } else {
        sink.used = 0;
        WriteOut(sink, sink.buffer.get(), size);
        if (sink.capacity < minimum) {
            sink.buffer = std::make_unique_for_overwrite<char[]>(minimum);
            sink.capacity = minimum;
        }
    }
    if (sink.placedAt >= 0) sink.placedAt += static_cast<int64_t>(size);
    if (size > 0 && sink.capture == nullptr && sink.afterFlush != nullptr) {
        sink.afterFlush(sink.afterFlushContext);
    }
}

// Lets the thread write what is queued, then ends it: when the last sink
// that uses it goes, however it goes.
void StopWriter(TextWriterThread* writer) {
    {
        std::lock_guard lock(writer->mutex);
        writer->stopping = true;
    }
    writer->changed.notify_all();
    writer->thread.join();
    delete writer;
}

}  // namespace

void OpenTextSink(TextSink& sink, int fd, size_t capacity) {
    CloseTextSink(sink);
    sink.fd = fd;
    sink.capture = nullptr;
    sink.buffer = std::make_unique_for_overwrite<char[]>(capacity);
    sink.capacity = capacity;
    sink.used = 0;
    sink.flushed = 0;
    sink.placedAt = -1;
    sink.error = 0;
}

bool OpenPipelinedTextSink(TextSink& sink, int fd, size_t capacity, size_t ringBuffers) {
    OpenTextSink(sink, fd, capacity);
    auto writer = std::make_unique<TextWriterThread>();
    for (size_t i = 1; i < std::max<size_t>(ringBuffers, 2); ++i) {
        writer->free.push_back({std::make_unique_for_overwrite<char[]>(capacity), capacity, 0, -1});
    }
    // The system may refuse a thread (a process or memory limit); the
    // standard library reports that only by an exception. The sink then
    // stays one that writes on the caller's thread: the same bytes, slower.
    try {
        writer->thread = std::thread(RunWriter, std::ref(*writer));
    } catch (const std::system_error&) {
        return false;
    }
    sink.writer = std::shared_ptr<TextWriterThread>(writer.release(), StopWriter);
    return true;
}

bool OpenTextSinkAsMemoryAllows(TextSink& sink, int fd, size_t capacity, size_t ringBuffers,
                                bool pipelined) {
    constexpr size_t kSmallestCapacity = 4096;
    for (size_t room = capacity;; room = std::max(room / 8, kSmallestCapacity)) {
        try {
            if (!pipelined || !OpenPipelinedTextSink(sink, fd, room, ringBuffers)) {
                OpenTextSink(sink, fd, room);
            }
            return true;
        } catch (const std::bad_alloc&) {
            try {
                OpenTextSink(sink, fd, room);  // no ring: one buffer
                return true;
            } catch (const std::bad_alloc&) {
            }
        }
        if (room <= kSmallestCapacity) return false;
    }
}

void CloseTextSink(TextSink& sink) {
    if (sink.writer == nullptr) return;
    FlushTextSink(sink);
    sink.writer.reset();
}

void RetargetTextSink(TextSink& sink, int fd) {
    FlushTextSink(sink);
    if (sink.writer != nullptr) {
        std::lock_guard lock(sink.writer->mutex);
        sink.writer->error = 0;
    }
    sink.fd = fd;
    sink.used = 0;
    sink.flushed = 0;
    sink.placedAt = -1;
    sink.error = 0;
}

void OpenCaptureSink(TextSink& sink, std::string& capture, size_t capacity) {
    OpenTextSink(sink, -1, capacity);
    sink.capture = &capture;
}

void PlaceTextSink(TextSink& sink, int64_t offset) {
    HandOver(sink, 0);
    sink.placedAt = offset;
}

bool FlushTextSink(TextSink& sink) {
    HandOver(sink, 0);
    if (sink.writer != nullptr) {
        WaitForWriter(*sink.writer);
        std::lock_guard lock(sink.writer->mutex);
        if (sink.error == 0) sink.error = sink.writer->error;
    }
    return sink.error == 0;
}

char* ReserveLargeText(TextSink& sink, size_t length) {
    HandOver(sink, length);
    return sink.buffer.get();
}

void WriteText(TextSink& sink, std::string_view text) {
    while (!text.empty()) {
        if (sink.used == sink.capacity) HandOver(sink, 0);
        const size_t piece = std::min(text.size(), sink.capacity - sink.used);
        std::memcpy(sink.buffer.get() + sink.used, text.data(), piece);
        sink.used += piece;
        text.remove_prefix(piece);
    }
}

namespace {

// What the two workers of WriteChunksInOrder share.
struct SharedChunks {
    TextSink& sink;
    const ChunkPlan& plan;
    const ChunkLoader& load;
    const ChunkFormatter& format;
    // Guards the next three fields and every load: the input is read by one
    // worker at a time, in chunk order.
    std::mutex loadMutex;
    size_t nextChunk = 0;
    bool stopped = false;
    bool loadFailed = false;
    // The chunk whose text is written next. Only the worker whose chunk this
    // is touches the sink; it hands the turn on by storing the next number.
    std::atomic<uint32_t> nextToWrite{0};
};

// The first line of chunk `chunk` and its number of lines.
struct ChunkRange {
    int64_t first;
    size_t count;
};
ChunkRange RangeOf(const ChunkPlan& plan, size_t chunk) {
    const auto first = static_cast<int64_t>(chunk * plan.chunkLines);
    return {first, static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(plan.chunkLines),
                                                         plan.lines - first))};
}

void RelaxProcessor() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
}

// Waits until `chunk` may be written. The other worker is writing or
// formatting one chunk, which takes a millisecond or less when the output is
// a file: spinning that long keeps the writes back to back, where waking a
// sleeping thread leaves a gap of about a tenth of a millisecond (on a
// virtual machine) after each. A slow reader (a pipe into a compressor)
// makes every spin end in sleep; the spin then shrinks so that it does not
// take the processor from that reader. `spinLimit` is the worker's own.
void WaitForTurn(const std::atomic<uint32_t>& nextToWrite, uint32_t chunk,
                 std::chrono::microseconds& spinLimit) {
    constexpr std::chrono::microseconds kShortestSpin{10};
    const auto spinUntil = std::chrono::steady_clock::now() + spinLimit;
    do {
        for (int spin = 0; spin < 64; ++spin) {
            if (nextToWrite.load(std::memory_order_acquire) == chunk) {
                spinLimit = std::min(spinLimit * 2, kLongestTurnSpin);
                return;
            }
            RelaxProcessor();
        }
    } while (std::chrono::steady_clock::now() < spinUntil);
    spinLimit = std::max(spinLimit / 2, kShortestSpin);
    for (uint32_t seen = nextToWrite.load(std::memory_order_acquire); seen != chunk;
         seen = nextToWrite.load(std::memory_order_acquire)) {
        nextToWrite.wait(seen, std::memory_order_acquire);
    }
}

void RunChunkWorker(SharedChunks& shared, int worker, TextSink& text,
                    std::chrono::microseconds& spinLimit) {
    TextSink& sink = shared.sink;
    for (;;) {
        size_t chunk = 0;
        ChunkRange range{};
        {
            std::lock_guard lock(shared.loadMutex);
            if (shared.stopped || shared.nextChunk == shared.plan.chunkCount) return;
            chunk = shared.nextChunk++;
            range = RangeOf(shared.plan, chunk);
            if (!shared.load(range.first, range.count, worker)) {
                // No later chunk is taken, so nobody waits for this one's turn.
                shared.stopped = shared.loadFailed = true;
                return;
            }
        }
        text.used = 0;
        shared.format(range.first, range.count, worker, text);
        const auto turn = static_cast<uint32_t>(chunk);
        WaitForTurn(shared.nextToWrite, turn, spinLimit);
        // A chunk that outgrew its buffer was handed to no descriptor: its
        // text is lost, so the sink fails rather than skip it silently.
        if (sink.error == 0) sink.error = text.error;
        if (sink.error == 0) {
            sink.flushed += text.used;
            WriteOut(sink, text.buffer.get(), text.used);
        }
        {
            // The progress display reads how far the input was read: not
            // while a load moves it.
            std::lock_guard lock(shared.loadMutex);
            if (sink.error != 0) {
                shared.stopped = true;
            } else if (sink.afterFlush != nullptr) {
                sink.afterFlush(sink.afterFlushContext);
            }
        }
        shared.nextToWrite.store(turn + 1, std::memory_order_release);
        shared.nextToWrite.notify_all();
    }
}

}  // namespace

ChunkPlan PlanChunks(const TextSink& sink, int64_t lines) {
    ChunkPlan plan;
    if (lines <= 0) return plan;
    const size_t longest = std::clamp<size_t>(sink.capacity / 32, 1, kLongestChunkLines);
    plan.lines = lines;
    plan.chunkCount = static_cast<size_t>((lines - 1) / static_cast<int64_t>(longest) + 1);
    plan.chunkLines = static_cast<size_t>((lines - 1) / static_cast<int64_t>(plan.chunkCount) + 1);
    return plan;
}

bool WriteChunksInOrder(TextSink& sink, const ChunkPlan& plan, size_t chunkTextCapacity,
                        const ChunkLoader& load, const ChunkFormatter& format) {
    const auto formatAlone = [&] {
        for (size_t chunk = 0; chunk < plan.chunkCount; ++chunk) {
            const ChunkRange range = RangeOf(plan, chunk);
            if (sink.error != 0 || !load(range.first, range.count, 0)) return false;
            format(range.first, range.count, 0, sink);
        }
        return sink.error == 0;
    };
    if (sink.writer == nullptr || sink.capture != nullptr || plan.chunkCount < 2 ||
        plan.chunkCount > UINT32_MAX) {
        return formatAlone();
    }
    // The writer thread becomes worker 1: it must have written all it holds.
    if (!FlushTextSink(sink)) return false;
    SharedChunks shared{.sink = sink, .plan = plan, .load = load, .format = format};
    TextWriterThread& writer = *sink.writer;
    std::array<TextSink, 2>& texts = writer.chunkTexts;
    // Everything the two workers need is had before the writer thread is
    // asked to help; where memory is short, this thread formats alone.
    try {
        for (TextSink& text : texts) {
            if (text.capacity < chunkTextCapacity) OpenTextSink(text, -1, chunkTextCapacity);
            text.error = 0;
        }
        std::lock_guard lock(writer.mutex);
        writer.task = [&] { RunChunkWorker(shared, 1, texts[1], writer.spinLimits[1]); };
    } catch (const std::bad_alloc&) {
        return formatAlone();
    }
    writer.changed.notify_all();
    RunChunkWorker(shared, 0, texts[0], writer.spinLimits[0]);
    {
        std::unique_lock lock(writer.mutex);
        writer.changed.wait(lock, [&] { return writer.task == nullptr; });
    }
    return !shared.loadFailed && sink.error == 0;
}

}  // namespace quillwave
