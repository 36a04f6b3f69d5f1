#include "text_output/text_sink.h"

#include <algorithm>
#include <cstring>

#include "waveform_file/descriptor_io.h"

namespace quillwave {

void OpenTextSink(TextSink& sink, int fd, size_t capacity) {
    sink.fd = fd;
    sink.capture = nullptr;
    sink.buffer = std::make_unique_for_overwrite<char[]>(capacity);
    sink.capacity = capacity;
    sink.used = 0;
    sink.flushed = 0;
    sink.failed = false;
}

void RetargetTextSink(TextSink& sink, int fd) {
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
    const char* data = sink.buffer.get();
    size_t remaining = sink.used;
    sink.used = 0;
    sink.flushed += remaining;
    if (sink.failed) return false;
    if (sink.capture != nullptr) {
        sink.capture->append(data, remaining);
        return true;
    }
    if (!WriteAll(sink.fd, data, remaining)) {
        sink.failed = true;
        return false;
    }
    if (sink.afterFlush != nullptr) sink.afterFlush(sink.afterFlushContext);
    return true;
}

char* ReserveLargeText(TextSink& sink, size_t length) {
    FlushTextSink(sink);
    if (length > sink.capacity) {
        // A sink smaller than one batch of lines grows to hold it.
        sink.buffer = std::make_unique_for_overwrite<char[]>(length);
        sink.capacity = length;
    }
    return sink.buffer.get();
}

void WriteText(TextSink& sink, std::string_view text) {
    while (!text.empty()) {
        if (sink.used == sink.capacity) FlushTextSink(sink);
        const size_t piece = std::min(text.size(), sink.capacity - sink.used);
        std::memcpy(sink.buffer.get() + sink.used, text.data(), piece);
        sink.used += piece;
        text.remove_prefix(piece);
    }
}

}  // namespace quillwave
