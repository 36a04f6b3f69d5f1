// Writing to a file descriptor completely: shared by the spooler of inputs
// that cannot seek and by every writer of output files.
#pragma once

#include <cstddef>

namespace quillwave {

// Writes all `size` bytes, retrying writes that were interrupted by a
// signal or that wrote only part (pipes, sockets, a file near a size
// limit), and waiting for a descriptor that was left non-blocking to take
// more. False on the first real error (disk full, closed pipe, I/O error);
// then an unknown part of the bytes has been written.
bool WriteAll(int fd, const void* data, size_t size);

}  // namespace quillwave
