// What every function of the public interface does at its edge: nothing it
// runs may end the caller's program, so an allocation that fails (or any
// other exception of the C++ inside) becomes a status code.
#pragma once

#include <cfenv>
#include <new>

#include "quillwave/quillwave.h"

namespace quillwave {

inline void SetOsError(int* osError, int error) {
    if (osError != nullptr) *osError = error;
}

// The library's numbers are those of round-to-nearest whatever mode the
// calling thread set (the mode is the thread's own, and threads started
// meanwhile inherit it): set for the call, the caller's restored after.
// What computes under it must be out of line (a call the compiler cannot
// move arithmetic across).
struct RoundingToNearest {
    int saved = std::fegetround();
    RoundingToNearest() {
        if (saved != FE_TONEAREST) std::fesetround(FE_TONEAREST);
    }
    ~RoundingToNearest() {
        if (saved != FE_TONEAREST) std::fesetround(saved);
    }
    RoundingToNearest(const RoundingToNearest&) = delete;
    RoundingToNearest& operator=(const RoundingToNearest&) = delete;
};

template <typename Body>
int Guarded(const Body& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return QUILLWAVE_E_NO_MEMORY;
    } catch (...) {
        return QUILLWAVE_E_NO_MEMORY;  // the library throws nothing else it does not catch
    }
}

}  // namespace quillwave
