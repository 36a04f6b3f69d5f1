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

}  // namespace quillwave
