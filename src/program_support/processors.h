// What the programs learn of the machine before they start their work.
#pragma once

namespace quillwave {

// The processors this process may run on (taskset narrows them), at least
// 1: whether a second thread can format while the first does, and the
// export's default job count.
int UsableProcessors();

// Whether the process has room to work in: a megabyte can be had. Under an
// address-space limit barely above what loading the program takes, the C++
// runtime has no room even to report that memory ran out (any allocation
// that fails would end the program), so the programs stop at once instead.
bool MemoryToStartWith();

}  // namespace quillwave
