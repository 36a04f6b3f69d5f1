// What every function of the public interface does at its edge: nothing it
// runs may end the caller's program, so an allocation that fails (or any
// other exception of the C++ inside) becomes a status code.
#pragma once

#include <new>

#include "quillwave/quillwave.h"

namespace quillwave {

inline void SetOsError(int* osError, int error) {
    if (osError != nullptr) *osError = error;
}

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
