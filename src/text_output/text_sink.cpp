#include "text_output/text_sink.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "waveform_file/descriptor_io.h"

namespace quillwave {

// The formatting thread fills a buffer and queues it; the writer thread
// writes queued buffers in order and returns them to the free list. After a
// write fails, buffers for that descriptor are dropped unwritten until the
// sink is retargeted.
struct TextWriterThread {
    struct Block {
        std::unique_ptr<char[]> data;
        size_t capacity = 0;
        size_t size = 0;
        int fd = -1;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Block> queued;
    std::vector<Block> free;
    bool writing = false;  // a block is out of the queue, being written
    bool failed = false;
    bool stopping = false;
    std::thread thread;
};

namespace {

void RunWriter(TextWriterThread& writer) {
    std::unique_lock lock(writer.mutex);
    for (;;) {
        writer.changed.wait(lock, [&] { return writer.stopping || !writer.queued.empty(); });
        if (writer.queued.empty()) return;  // stopping, and nothing left
        TextWriterThread::Block block = std::move(writer.queued.front());
        writer.queued.pop_front();
        writer.writing = true;
        const bool skip = writer.failed;
        lock.unlock();
        const bool written = skip || WriteAll(block.fd, block.data.get(), block.size);
        lock.lock();
        writer.writing = false;
        if (!written) writer.failed = true;
        writer.free.push_back(std::move(block));
        writer.changed.notify_all();
    }
}

// Queues the sink's buffer and takes a free one (waiting for one if all are
// queued); gives `minimum` bytes of room. Returns whether writing has failed.
bool HandOverToWriter(TextSink& sink, size_t minimum) {
    TextWriterThread& writer = *sink.writer;
    std::unique_lock lock(writer.mutex);
    if (sink.used > 0) {
        writer.queued.push_back({std::move(sink.buffer), sink.capacity, sink.used, sink.fd});
        writer.changed.notify_all();
    }
    if (sink.buffer == nullptr) {
        writer.changed.wait(lock, [&] { return !writer.free.empty(); });
        TextWriterThread::Block block = std::move(writer.free.back());
        writer.free.pop_back();
        sink.buffer = std::move(block.data);
        sink.capacity = block.capacity;
    }
    const bool failed = writer.failed;
    lock.unlock();
    if (sink.capacity < minimum) {
        sink.buffer = std::make_unique_for_overwrite<char[]>(minimum);
        sink.capacity = minimum;
    }
    return !failed;
}

void WaitForWriter(TextWriterThread& writer) {
    std::unique_lock lock(writer.mutex);
    writer.changed.wait(lock, [&] { return writer.queued.empty() && !writer.writing; });
}

// Hands the buffered text on: to the capture, the writer thread, or the
// descriptor. Does not wait for the writer thread.
void HandOver(TextSink& sink, size_t minimum) {
    const size_t size = sink.used;
    sink.flushed += size;
    if (sink.writer != nullptr) {
        if (!HandOverToWriter(sink, minimum)) sink.failed = true;
        sink.used = 0;
    } else {
        sink.used = 0;
        if (sink.capture != nullptr) {
            sink.capture->append(sink.buffer.get(), size);
        } else if (!sink.failed && size > 0 && !WriteAll(sink.fd, sink.buffer.get(), size)) {
            sink.failed = true;
        }
        if (sink.capacity < minimum) {
            sink.buffer = std::make_unique_for_overwrite<char[]>(minimum);
            sink.capacity = minimum;
        }
    }
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
    sink.failed = false;
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

void CloseTextSink(TextSink& sink) {
    if (sink.writer == nullptr) return;
    FlushTextSink(sink);
    sink.writer.reset();
}

void RetargetTextSink(TextSink& sink, int fd) {
    FlushTextSink(sink);
    if (sink.writer != nullptr) {
        std::lock_guard lock(sink.writer->mutex);
        sink.writer->failed = false;
    }
    sink.fd = fd;
    sink.used = 0;
    sink.flushed = 0;
    sink.failed = false;
}

void OpenCaptureSink(TextSink& sink, std::string& capture, size_t capacity) {
    OpenTextSink(sink, -1, capacity);
    sink.capture = &capture;
}

bool FlushTextSink(TextSink& sink) {
    HandOver(sink, 0);
    if (sink.writer != nullptr) {
        WaitForWriter(*sink.writer);
        std::lock_guard lock(sink.writer->mutex);
        if (sink.writer->failed) sink.failed = true;
    }
    return !sink.failed;
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

}  // namespace quillwave
