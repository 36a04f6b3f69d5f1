#include "export_output/byte_sink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "waveform_file/descriptor_io.h"

namespace quillwave {

void OpenByteSink(ByteSink& sink, int fd, size_t capacity) {
    sink.fd = fd;
    sink.capture = nullptr;
    sink.buffer = std::make_unique_for_overwrite<char[]>(capacity);
    sink.capacity = capacity;
    sink.used = 0;
    sink.written = 0;
    sink.error = 0;
}

void OpenCaptureByteSink(ByteSink& sink, std::string& capture, size_t capacity) {
    OpenByteSink(sink, -1, capacity);
    sink.capture = &capture;
}

bool FlushByteSink(ByteSink& sink) {
    const size_t length = sink.used;
    sink.used = 0;
    if (sink.error != 0) return false;
    if (sink.capture != nullptr) {
        sink.capture->append(sink.buffer.get(), length);
    } else {
        errno = 0;
        if (!WriteAll(sink.fd, sink.buffer.get(), length)) {
            sink.error = errno != 0 ? errno : EIO;  // a write that takes nothing
            return false;
        }
    }
    sink.written += length;
    if (sink.flushedTotal != nullptr) sink.flushedTotal->fetch_add(length);
    return true;
}

void GrowByteSink(ByteSink& sink, size_t length) {
    FlushByteSink(sink);
    sink.buffer = std::make_unique_for_overwrite<char[]>(length);
    sink.capacity = length;
}

void AppendBytes(ByteSink& sink, std::string_view bytes) {
    while (!bytes.empty()) {
        if (sink.used == sink.capacity) FlushByteSink(sink);
        const size_t piece = std::min(bytes.size(), sink.capacity - sink.used);
        std::memcpy(sink.buffer.get() + sink.used, bytes.data(), piece);
        sink.used += piece;
        bytes.remove_prefix(piece);
    }
}

}  // namespace quillwave
