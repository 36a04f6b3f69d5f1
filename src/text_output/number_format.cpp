// Exact, printf-identical number fields without printf.
//
// Both floating-point formats round the exact binary value to a fixed
// number of decimals, ties to even (glibc's behaviour in the default
// rounding mode). Instead of printf's big-number arithmetic, the common
// ranges are done in 64/128-bit integers:
//
//  "%f" of a binary32: the value is m * 2^e with m < 2^24. When e < 0,
//  round(m * 10^6 / 2^-e) is a 64-bit shift with an exact remainder, so ties
//  are seen exactly. When e >= 0 the value is an integer of at most 128 bits
//  and the fraction is ".000000".
//
//  "%e" of a binary64: the value is m * 2^e with m < 2^53. The seven digits
//  are round(v / 10^q) for q = k - 6, k the decimal exponent. For
//  1e-26 <= |v| < 1e7 (every realistic sample time), q lies in -32..0 and
//  v / 10^q = m * 5^-q * 2^(e-q) is an exact 128-bit product and shift.
//  Values outside that range (and subnormals) go to snprintf, which is
//  exact everywhere; they are rare in captures.
#include "text_output/number_format.h"

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>

namespace quillwave {
namespace {

__extension__ typedef unsigned __int128 u128;

constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline void WritePair(char* out, uint32_t pair) { std::memcpy(out, kDigitPairs + 2 * pair, 2); }

// Exactly six digits, leading zeros kept: the fraction of "%f" and "%e".
inline void WriteSixDigits(char* out, uint32_t value) {
    const uint32_t high = value / 10000;
    const uint32_t low = value % 10000;
    WritePair(out, high);
    WritePair(out + 2, low / 100);
    WritePair(out + 4, low % 100);
}

// An unsigned integer in decimal without leading zeros.
template <typename Unsigned>
size_t WriteUnsigned(char* out, Unsigned value) {
    char digits[40];
    char* end = digits + sizeof digits;
    char* p = end;
    while (value >= 100) {
        const auto pair = static_cast<uint32_t>(value % 100);
        value /= 100;
        p -= 2;
        WritePair(p, pair);
    }
    if (value >= 10) {
        p -= 2;
        WritePair(p, static_cast<uint32_t>(value));
    } else {
        *--p = static_cast<char>('0' + static_cast<uint32_t>(value));
    }
    const auto length = static_cast<size_t>(end - p);
    std::memcpy(out, p, length);
    return length;
}

size_t WriteNonFinite(char* out, bool negative, bool isNan) {
    size_t length = 0;
    if (negative) out[length++] = '-';
    std::memcpy(out + length, isNan ? "nan" : "inf", 3);
    return length + 3;
}

// Rounds x / 2^shift to the nearest integer, ties to even (shift in 1..127).
inline u128 ShiftRoundHalfEven(u128 x, unsigned shift) {
    const u128 quotient = x >> shift;
    const u128 remainder = x & ((u128{1} << shift) - 1);
    const u128 half = u128{1} << (shift - 1);
    const bool up = remainder > half || (remainder == half && (quotient & 1) != 0);
    return quotient + (up ? 1 : 0);
}

// 5^p for p in 0..32 (5^32 needs 75 bits).
constexpr auto kPowersOfFive = [] {
    std::array<u128, 33> powers{};
    powers[0] = 1;
    for (size_t p = 1; p < powers.size(); ++p) powers[p] = powers[p - 1] * 5;
    return powers;
}();

size_t FormatExponentWithPrintf(double value, char* out) {
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%e", value);
    std::memcpy(out, text, static_cast<size_t>(length));
    return static_cast<size_t>(length);
}

}  // namespace

size_t FormatExponent(double value, char* out) {
    const auto bits = std::bit_cast<uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    if (biased == 0x7FF) return WriteNonFinite(out, negative, fraction != 0);
    size_t length = 0;
    if (negative) out[length++] = '-';
    if (biased == 0) {
        if (fraction != 0) return FormatExponentWithPrintf(value, out);  // subnormal
        std::memcpy(out + length, "0.000000e+00", 12);
        return length + 12;
    }
    const uint64_t mantissa = fraction | (uint64_t{1} << 52);
    const int exponent2 = biased - 1075;  // value = mantissa * 2^exponent2
    // floor(log10(2) * (exponent2 + 52)) is the decimal exponent or one less.
    int decimalExponent = ((exponent2 + 52) * 78913) >> 18;
    uint64_t digits = 0;
    for (;;) {
        const int p = 6 - decimalExponent;  // scale by 10^p
        if (p < 0 || p > 32) return FormatExponentWithPrintf(value, out);
        const u128 scaled = u128{mantissa} * kPowersOfFive[static_cast<size_t>(p)];
        const int shift = -(exponent2 + p);  // scaled value = scaled / 2^shift
        u128 whole;
        if (shift <= 0) {
            whole = scaled << -shift;  // integer: at most eight digits here
        } else if (shift >= 128) {
            return FormatExponentWithPrintf(value, out);
        } else {
            whole = scaled >> shift;
        }
        if (whole >= 10000000) {  // eight digits: the exponent is one more
            ++decimalExponent;
            continue;
        }
        digits = static_cast<uint64_t>(
            shift <= 0 ? whole : ShiftRoundHalfEven(scaled, static_cast<unsigned>(shift)));
        break;
    }
    if (digits == 10000000) {  // rounded up to the next power of ten
        digits = 1000000;
        ++decimalExponent;
    }
    const auto leading = static_cast<uint32_t>(digits / 1000000);
    out[length] = static_cast<char>('0' + leading);
    out[length + 1] = '.';
    WriteSixDigits(out + length + 2, static_cast<uint32_t>(digits % 1000000));
    length += 8;
    out[length++] = 'e';
    out[length++] = decimalExponent < 0 ? '-' : '+';
    const auto magnitude = static_cast<uint32_t>(decimalExponent < 0 ? -decimalExponent
                                                                     : decimalExponent);
    WritePair(out + length, magnitude);  // |exponent| <= 26 on this path
    return length + 2;
}

size_t FormatFixed(float value, char* out) {
    const auto bits = std::bit_cast<uint32_t>(value);
    const bool negative = (bits >> 31) != 0;
    const auto biased = static_cast<int>((bits >> 23) & 0xFF);
    const uint32_t fraction = bits & 0x7FFFFF;
    if (biased == 0xFF) return WriteNonFinite(out, negative, fraction != 0);
    size_t length = 0;
    if (negative) out[length++] = '-';
    const uint64_t mantissa = biased == 0 ? fraction : (fraction | 0x800000u);
    const int exponent2 = (biased == 0 ? 1 : biased) - 150;  // value = mantissa * 2^exponent2
    if (exponent2 >= 0) {
        // An integer: |value| >= 2^23. Up to 2^64 it needs no 128-bit division.
        if (exponent2 <= 40) {
            length += WriteUnsigned(out + length, mantissa << exponent2);
        } else {
            length += WriteUnsigned(out + length, u128{mantissa} << exponent2);
        }
        std::memcpy(out + length, ".000000", 7);
        return length + 7;
    }
    // value * 10^6 = mantissa * 10^6 / 2^shift, where mantissa * 10^6 < 2^44:
    // shifts of 45 or more leave less than one half, which rounds to 0.
    const auto shift = static_cast<unsigned>(-exponent2);
    const uint64_t micros =
        shift >= 45 ? 0
                    : static_cast<uint64_t>(ShiftRoundHalfEven(u128{mantissa} * 1000000, shift));
    length += WriteUnsigned(out + length, micros / 1000000);
    out[length++] = '.';
    WriteSixDigits(out + length, static_cast<uint32_t>(micros % 1000000));
    return length + 6;
}

size_t FormatDecimal(int32_t value, char* out) {
    size_t length = 0;
    auto magnitude = static_cast<uint32_t>(value);
    if (value < 0) {
        out[length++] = '-';
        magnitude = 0u - magnitude;
    }
    return length + WriteUnsigned(out + length, magnitude);
}

size_t FormatHex(uint32_t value, char* out) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    const int digits = value == 0 ? 1 : (32 - std::countl_zero(value) + 3) / 4;
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = kHexDigits[value & 0xF];
        value >>= 4;
    }
    return static_cast<size_t>(digits);
}

}  // namespace quillwave
