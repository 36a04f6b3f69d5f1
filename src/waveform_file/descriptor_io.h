// Reading and writing a file descriptor completely: shared by the spooler
// of inputs that cannot seek, every writer of output files, and the
// library's reads of samples.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillwave {

// Writes all `size` bytes, retrying writes that were interrupted by a
// signal or that wrote only part (pipes, sockets, a file near a size
// limit), and waiting for a descriptor that was left non-blocking to take
// more. False on the first real error (disk full, closed pipe, I/O error);
// then an unknown part of the bytes has been written.
bool WriteAll(int fd, const void* data, size_t size);

// Writes all `size` bytes at `offset` without moving the descriptor's file
// offset, retrying interrupted and partial writes. False on the first real
// error (errno says why; 0 for a write that took nothing).
bool WriteAllAt(int fd, int64_t offset, const void* data, size_t size);

// Reads all `size` bytes at `offset` without moving the descriptor's file
// offset (so any number of threads may read one descriptor at once),
// retrying interrupted and partial reads. False when the file ends first or
// a read fails (errno then says why, or is 0 at the end of the file).
bool ReadAllAt(int fd, int64_t offset, void* destination, size_t size);

}  // namespace quillwave
