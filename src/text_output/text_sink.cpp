#include "text_output/text_sink.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
    while (remaining > 0) {
        const ssize_t written = write(sink.fd, data, remaining);
        if (written > 0) {
            data += written;
            remaining -= static_cast<size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            sink.failed = true;
            return false;
        }
    }
    if (sink.afterFlush != nullptr) sink.afterFlush(sink.afterFlushContext);
    return true;
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
