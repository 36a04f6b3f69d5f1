#include "waveform_file/descriptor_io.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace quillwave {

bool WriteAll(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written > 0) {
            bytes += written;
            size -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready{.fd = fd, .events = POLLOUT, .revents = 0};
            if (poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
        }
        return false;
    }
    return true;
}

bool WriteAllAt(int fd, int64_t offset, const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (written > 0) {
            bytes += written;
            size -= static_cast<size_t>(written);
            offset += written;
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written == 0) errno = 0;
        return false;
    }
    return true;
}

bool ReadAllAt(int fd, int64_t offset, void* destination, size_t size) {
    auto* bytes = static_cast<unsigned char*>(destination);
    while (size > 0) {
        const ssize_t got = pread(fd, bytes, size, static_cast<off_t>(offset));
        if (got > 0) {
            bytes += got;
            size -= static_cast<size_t>(got);
            offset += got;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) errno = 0;
        return false;
    }
    return true;
}

}  // namespace quillwave
