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
//  1e-21 <= |v| < 1e7 (every realistic sample time), q lies in -27..0 and
//  v / 10^q = m * 5^-q * 2^(e-q) is an exact 64x64-bit product and shift.
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

// The eight decimal digits of n < 10^8 as ASCII, most significant first in
// memory order, computed in one register (SIMD within a register): split
// into two halves of four digits, each into two pairs, each into digits.
static_assert(std::endian::native == std::endian::little, "digit packing assumes little-endian");
inline uint64_t EightDigits(uint32_t n) {
    const uint64_t high = (uint64_t{n} * 109951163) >> 40;  // n / 10000
    uint64_t v = high | ((n - high * 10000) << 32);
    const uint64_t hundreds = ((v * 10486) >> 20) & 0x0000007F0000007F;  // each lane / 100
    v = hundreds | ((v - hundreds * 100) << 16);
    const uint64_t tens = ((v * 103) >> 10) & 0x000F000F000F000F;  // each lane / 10
    v = tens | ((v - tens * 10) << 8);
    return v + 0x3030303030303030;
}

// Writes "d.dddddd" for n < 10^7 with one eight-byte store: n's digits are
// "0ddddddd", whose leading zero is dropped and a point put after the first.
inline void WritePointedSeven(char* out, uint32_t n) {
    const uint64_t digits = EightDigits(n);
    const uint64_t packed = ((digits >> 8) & 0xFF) | (uint64_t{'.'} << 8) |
                            (digits & 0xFFFFFFFFFFFF0000);
    std::memcpy(out, &packed, 8);
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

// 5^p for p in 0..27 (the powers that fit in 64 bits), each shifted left
// until its top bit is bit 63. Multiplying a 53-bit mantissa by such a power
// puts the seven or eight wanted digits inside the upper 64 bits of the
// 128-bit product, so the digits and the exact rounding need only 64-bit
// operations on the two halves.
struct NormalizedPower {
    uint64_t power;  // 5^p << extraShift
    int extraShift;
};

constexpr auto kNormalizedPowersOfFive = [] {
    std::array<NormalizedPower, 28> powers{};
    uint64_t power = 1;
    for (size_t p = 0; p < powers.size(); ++p) {
        const int extra = std::countl_zero(power);
        powers[p] = {power << extra, extra};
        power *= 5;
    }
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
    const int p = 6 - decimalExponent;  // scale the value by 10^p
    if (p < 0 || p > 27) return FormatExponentWithPrintf(value, out);
    const NormalizedPower& power = kNormalizedPowersOfFive[static_cast<size_t>(p)];
    const u128 product = u128{mantissa} * power.power;
    const auto high = static_cast<uint64_t>(product >> 64);
    const auto low = static_cast<uint64_t>(product);
    // value * 10^p = product / 2^(64 + cut): the digits are high >> cut and
    // the dropped fraction is high's low `cut` bits followed by all of low.
    // The product has 116 or 117 bits and value * 10^p seven or eight digits
    // before the point, so cut lies within 24..34 (the guard keeps the shifts
    // below from overflowing whatever happens).
    const int cut = -(exponent2 + p) + power.extraShift - 64;
    if (cut < 1 || cut > 40) return FormatExponentWithPrintf(value, out);
    const auto c = static_cast<unsigned>(cut);
    const uint64_t whole = high >> c;
    const uint64_t fractionHigh = high & ((uint64_t{1} << c) - 1);
    uint64_t digits;
    if (whole < 10000000) {
        const uint64_t half = uint64_t{1} << (c - 1);
        const bool up = fractionHigh > half ||
                        (fractionHigh == half && (low != 0 || (whole & 1) != 0));
        digits = whole + (up ? 1 : 0);
    } else {
        // Eight digits: the estimate was one low. Round whole / 10 exactly,
        // the dropped part being (whole % 10 + fraction) / 10.
        ++decimalExponent;
        const uint64_t tenth = whole / 10;
        const uint64_t dropped = ((whole - tenth * 10) << c) + fractionHigh;
        const uint64_t half = uint64_t{5} << c;
        const bool up = dropped > half || (dropped == half && (low != 0 || (tenth & 1) != 0));
        digits = tenth + (up ? 1 : 0);
    }
    if (digits == 10000000) {  // rounded up to the next power of ten
        digits = 1000000;
        ++decimalExponent;
    }
    WritePointedSeven(out + length, static_cast<uint32_t>(digits));
    length += 8;
    const auto magnitude = static_cast<uint32_t>(decimalExponent < 0 ? -decimalExponent
                                                                     : decimalExponent);
    // "e", the sign and two digits (|exponent| <= 26 on this path), one store.
    uint16_t pair = 0;
    std::memcpy(&pair, kDigitPairs + 2 * magnitude, 2);
    const uint32_t suffix = (uint32_t{pair} << 16) |
                            (decimalExponent < 0 ? uint32_t{'-'} << 8 : uint32_t{'+'} << 8) | 'e';
    std::memcpy(out + length, &suffix, 4);
    return length + 4;
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
    uint64_t micros = 0;
    if (shift < 45) {
        const uint64_t scaled = mantissa * 1000000;
        const uint64_t quotient = scaled >> shift;
        const uint64_t remainder = scaled & ((uint64_t{1} << shift) - 1);
        const uint64_t half = uint64_t{1} << (shift - 1);
        micros = quotient + ((remainder > half || (remainder == half && (quotient & 1) != 0)) ? 1 : 0);
    }
    if (micros < 10000000) {  // one digit before the point: the usual case
        WritePointedSeven(out + length, static_cast<uint32_t>(micros));
        return length + 8;
    }
    const uint64_t units = micros / 1000000;
    length += WriteUnsigned(out + length, units);
    out[length++] = '.';
    WriteSixDigits(out + length, static_cast<uint32_t>(micros - units * 1000000));
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
