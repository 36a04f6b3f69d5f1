// What the programs learn of the machine before they start their work.
#pragma once

namespace quillwave {

// The processors this process may run on (taskset narrows them), at least
// 1: whether a second thread can format while the first does, and the
// export's default job count.
int UsableProcessors();

}  // namespace quillwave
