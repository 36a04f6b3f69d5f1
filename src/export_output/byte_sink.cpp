#include "export_output/byte_sink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "waveform_file/descriptor_io.h"

namespace quillwave {

// The ring: buffer number n (counting from 0 over the sink's life) lives in
// slot n % size. The sink fills buffer `handed`, the thread writes buffers
// `done` .. `handed` - 1; each side waits on the other's counter. Only the
// counters are shared: a slot belongs to one side at a time.
struct ByteWriterThread {
    int fd = -1;
    std::vector<std::unique_ptr<char[]>> slots;
    std::vector<size_t> lengths;
    std::atomic<uint64_t> handed{0};
    std::atomic<uint64_t> done{0};
    std::atomic<bool> closing{false};  // set with the last hand-off, which carries no bytes
    std::atomic<int> error{0};         // errno of the first failed write
    std::atomic<uint64_t>* flushedTotal = nullptr;
    std::thread thread;
};

namespace {

// Waits until `counter` reaches `target`. The wait spins briefly before it
// sleeps (the standard library's), so short waits cost no wake-up.
void WaitAtLeast(const std::atomic<uint64_t>& counter, uint64_t target) {
    for (uint64_t seen = counter.load(std::memory_order_acquire); seen < target;
         seen = counter.load(std::memory_order_acquire)) {
        counter.wait(seen, std::memory_order_acquire);
    }
}

void RunByteWriter(ByteWriterThread& writer) {
    const size_t ring = writer.slots.size();
    for (uint64_t next = 0;; ++next) {
        WaitAtLeast(writer.handed, next + 1);
        if (writer.closing.load(std::memory_order_acquire)) return;
        const size_t slot = static_cast<size_t>(next % ring);
        const size_t length = writer.lengths[slot];
        if (writer.error.load(std::memory_order_relaxed) == 0) {
            errno = 0;
            if (WriteAll(writer.fd, writer.slots[slot].get(), length)) {
                if (writer.flushedTotal != nullptr) writer.flushedTotal->fetch_add(length);
            } else {
                writer.error.store(errno != 0 ? errno : EIO, std::memory_order_relaxed);
            }
        }
        writer.done.store(next + 1, std::memory_order_release);
        writer.done.notify_one();
    }
}

void Hand(ByteWriterThread& writer, uint64_t number) {
    writer.handed.store(number + 1, std::memory_order_release);
    writer.handed.notify_one();
}

// Hands the filled buffer to the writer thread and takes the next slot,
// waiting until the thread has written what it held.
void HandOn(ByteSink& sink) {
    ByteWriterThread& writer = *sink.writer;
    const uint64_t number = writer.handed.load(std::memory_order_relaxed);
    const size_t ring = writer.slots.size();
    writer.lengths[static_cast<size_t>(number % ring)] = sink.used;
    Hand(writer, number);
    sink.written += sink.used;
    sink.used = 0;
    // The next slot last held buffer number + 1 - ring.
    if (number + 2 > ring) WaitAtLeast(writer.done, number + 2 - ring);
    sink.data = writer.slots[static_cast<size_t>((number + 1) % ring)].get();
}

void WaitUntilWritten(ByteSink& sink) {
    ByteWriterThread& writer = *sink.writer;
    WaitAtLeast(writer.done, writer.handed.load(std::memory_order_relaxed));
    if (sink.error == 0) sink.error = writer.error.load(std::memory_order_relaxed);
}

// Writes an ordinary sink's buffer.
void WriteBuffer(ByteSink& sink) {
    const size_t length = sink.used;
    sink.used = 0;
    if (sink.error != 0) return;
    if (sink.capture != nullptr) {
        sink.capture->append(sink.data, length);
    } else {
        errno = 0;
        if (!WriteAll(sink.fd, sink.data, length)) {
            sink.error = errno != 0 ? errno : EIO;  // a write that takes nothing
            return;
        }
    }
    sink.written += length;
    if (sink.flushedTotal != nullptr) sink.flushedTotal->fetch_add(length);
}

}  // namespace

void ByteWriterThreadStop::operator()(ByteWriterThread* writer) const {
    if (writer->thread.joinable()) {
        const uint64_t number = writer->handed.load(std::memory_order_relaxed);
        WaitAtLeast(writer->done, number);
        writer->closing.store(true, std::memory_order_relaxed);
        Hand(*writer, number);
        writer->thread.join();
    }
    delete writer;
}

void OpenByteSink(ByteSink& sink, int fd, size_t capacity) {
    sink.writer.reset();
    sink.fd = fd;
    sink.capture = nullptr;
    sink.buffer = std::make_unique_for_overwrite<char[]>(capacity);
    sink.data = sink.buffer.get();
    sink.capacity = capacity;
    sink.used = 0;
    sink.written = 0;
    sink.error = 0;
}

bool OpenPipelinedByteSink(ByteSink& sink, int fd, size_t capacity, size_t buffers) {
    OpenByteSink(sink, fd, 0);
    std::unique_ptr<ByteWriterThread, ByteWriterThreadStop> writer(new ByteWriterThread);
    writer->fd = fd;
    writer->flushedTotal = sink.flushedTotal;
    writer->lengths.assign(std::max<size_t>(buffers, 2), 0);
    for (size_t i = 0; i < writer->lengths.size(); ++i) {
        writer->slots.push_back(std::make_unique_for_overwrite<char[]>(capacity));
    }
    // The system may refuse a thread (a process or memory limit), which the
    // standard library tells only by an exception.
    try {
        writer->thread = std::thread(RunByteWriter, std::ref(*writer));
    } catch (const std::system_error&) {
        OpenByteSink(sink, fd, capacity);
        return false;
    }
    sink.data = writer->slots[0].get();
    sink.capacity = capacity;
    sink.writer = std::move(writer);
    return true;
}

void OpenCaptureByteSink(ByteSink& sink, std::string& capture, size_t capacity) {
    OpenByteSink(sink, -1, capacity);
    sink.capture = &capture;
}

bool FlushByteSink(ByteSink& sink) {
    if (!sink.writer) {
        WriteBuffer(sink);
        return sink.error == 0;
    }
    if (sink.used > 0) HandOn(sink);
    WaitUntilWritten(sink);
    return sink.error == 0;
}

char* ReserveLargeBytes(ByteSink& sink, size_t length) {
    if (sink.writer) {
        HandOn(sink);
    } else {
        WriteBuffer(sink);
    }
    if (sink.capacity < length) {
        // Rare (tiny buffers): every buffer grows, once nothing is in flight.
        if (sink.writer) {
            WaitUntilWritten(sink);
            for (auto& slot : sink.writer->slots)
                slot = std::make_unique_for_overwrite<char[]>(length);
            const uint64_t number = sink.writer->handed.load(std::memory_order_relaxed);
            sink.data =
                sink.writer->slots[static_cast<size_t>(number % sink.writer->slots.size())].get();
        } else {
            sink.buffer = std::make_unique_for_overwrite<char[]>(length);
            sink.data = sink.buffer.get();
        }
        sink.capacity = length;
    }
    return sink.data + sink.used;
}

void AppendBytes(ByteSink& sink, std::string_view bytes) {
    while (!bytes.empty()) {
        if (sink.used == sink.capacity) ReserveLargeBytes(sink, 1);
        const size_t piece = std::min(bytes.size(), sink.capacity - sink.used);
        std::memcpy(sink.data + sink.used, bytes.data(), piece);
        sink.used += piece;
        bytes.remove_prefix(piece);
    }
}

}  // namespace quillwave
