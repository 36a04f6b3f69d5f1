// The end of every "%e" field: "e", the sign and two digits of decimal
// exponents -99..99, packed into four bytes with "e" the lowest (memory
// order on a little-endian host). Shared by the scalar and the vector
// formatters.
#pragma once

#include <array>
#include <cstdint>

namespace quillwave {

inline constexpr int kMinSuffixExponent = -99;

inline constexpr auto kExponentSuffixes = [] {
    std::array<uint32_t, 199> suffixes{};
    for (int k = -99; k <= 99; ++k) {
        const int magnitude = k < 0 ? -k : k;
        suffixes[static_cast<size_t>(k - kMinSuffixExponent)] =
            uint32_t{'e'} | (static_cast<uint32_t>(k < 0 ? '-' : '+') << 8) |
            (static_cast<uint32_t>('0' + magnitude / 10) << 16) |
            (static_cast<uint32_t>('0' + magnitude % 10) << 24);
    }
    return suffixes;
}();

inline uint32_t ExponentSuffix(int decimalExponent) {
    return kExponentSuffixes[static_cast<size_t>(decimalExponent - kMinSuffixExponent)];
}

}  // namespace quillwave
