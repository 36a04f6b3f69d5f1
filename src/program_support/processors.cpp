#include "program_support/processors.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace quillwave {

int UsableProcessors() {
    // On a machine of more processors than the set holds (1024), those online.
    cpu_set_t usable;
    const long processors = sched_getaffinity(0, sizeof usable, &usable) == 0
                                ? CPU_COUNT(&usable)
                                : sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::clamp(processors, 1L, 1L << 20));
}

bool MemoryToStartWith() {
    constexpr size_t kRoom = size_t{1} << 20;
    void* room = std::malloc(kRoom);
    std::free(room);
    return room != nullptr;
}

}  // namespace quillwave
