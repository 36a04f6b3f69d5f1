// 128-bit unsigned integers for the number formatters: the full product of
// two 64-bit words, and the decimal digits of a 128-bit value. 64-bit hosts
// use the compiler's unsigned __int128 (one multiply instruction); 32-bit
// hosts have none, and use the portable forms below, built from 32-bit
// pieces, which give the same results exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillwave {

struct Wide128 {
    uint64_t high = 0;
    uint64_t low = 0;
};

// a * b from four 32x32->64-bit products, schoolbook on 32-bit halves. The
// middle column sums three numbers below 2^32, so it cannot overflow.
constexpr Wide128 MultiplyWidePortable(uint64_t a, uint64_t b) {
    const uint64_t aLow = a & 0xFFFFFFFF;
    const uint64_t aHigh = a >> 32;
    const uint64_t bLow = b & 0xFFFFFFFF;
    const uint64_t bHigh = b >> 32;
    const uint64_t lowLow = aLow * bLow;
    const uint64_t lowHigh = aLow * bHigh;
    const uint64_t highLow = aHigh * bLow;
    const uint64_t middle = (lowLow >> 32) + (lowHigh & 0xFFFFFFFF) + (highLow & 0xFFFFFFFF);
    return {aHigh * bHigh + (lowHigh >> 32) + (highLow >> 32) + (middle >> 32),
            (middle << 32) | (lowLow & 0xFFFFFFFF)};
}

inline Wide128 MultiplyWide(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 u128;
    const u128 product = static_cast<u128>(a) * b;
    return {static_cast<uint64_t>(product >> 64), static_cast<uint64_t>(product)};
#else
    return MultiplyWidePortable(a, b);
#endif
}

// value * 2^shift, for shift < 128 (bits shifted past the top are lost).
constexpr Wide128 ShiftLeftWide(uint64_t value, unsigned shift) {
    if (shift == 0) return {0, value};
    if (shift < 64) return {value >> (64 - shift), value << shift};
    return {value << (shift - 64), 0};
}

// The decimal digits of `value` without leading zeros ("0" for zero);
// returns their number, at most 39. Long division of the value's four
// 32-bit pieces by 10^9 yields nine digits per round, least significant
// first. Only for hosts without __int128, and only for rare numbers, so it
// is written for clarity rather than speed.
inline size_t WriteWideDecimal(Wide128 value, char* out) {
    uint32_t pieces[4] = {static_cast<uint32_t>(value.high >> 32),
                          static_cast<uint32_t>(value.high), static_cast<uint32_t>(value.low >> 32),
                          static_cast<uint32_t>(value.low)};
    char digits[45];  // five rounds of nine digits
    char* const end = digits + sizeof digits;
    char* p = end;
    bool more = true;
    while (more) {
        uint64_t remainder = 0;
        more = false;
        for (uint32_t& piece : pieces) {
            const uint64_t current = (remainder << 32) | piece;
            piece = static_cast<uint32_t>(current / 1000000000);
            remainder = current % 1000000000;
            more = more || piece != 0;
        }
        for (int i = 0; i < 9; ++i) {
            *--p = static_cast<char>('0' + remainder % 10);
            remainder /= 10;
        }
    }
    while (p < end - 1 && *p == '0') ++p;
    const auto length = static_cast<size_t>(end - p);
    std::memcpy(out, p, length);
    return length;
}

}  // namespace quillwave
