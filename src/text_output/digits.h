// The digit tables and the eight-digit kernel that every number writer
// shares: quillwave's printf formats, the export's shortest numbers, the
// messages' escapes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillwave {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// "00" .. "99", two characters each.
inline constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The eight decimal digits of n < 10^8 as ASCII in one word, the most
// significant in its lowest byte (first in memory once stored
// little-endian), computed in one register: split into halves of four
// digits, each into two pairs, each into digits, every division by 10000,
// 100 or 10 a multiplication and a shift that is exact in its range.
inline uint64_t EightDigits(uint32_t n) {
    const uint64_t high = (uint64_t{n} * 109951163) >> 40;  // n / 10000
    const uint64_t halves = high | ((n - high * 10000) << 32);
    const uint64_t hundreds = ((halves * 10486) >> 20) & 0x0000007F0000007F;  // each lane / 100
    const uint64_t quarters = hundreds | ((halves - hundreds * 100) << 16);
    const uint64_t tens = ((quarters * 103) >> 10) & 0x000F000F000F000F;  // each lane / 10
    const uint64_t digits = tens | ((quarters - tens * 10) << 8);
    return digits + 0x3030303030303030;
}

}  // namespace quillwave
