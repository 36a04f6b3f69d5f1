// Exact, printf-identical number fields without printf.
//
// Both floating-point formats round the exact binary value to a fixed
// number of decimals, ties to even (glibc's behaviour in the default
// rounding mode), without printf's big-number arithmetic:
//
// "%e" of a binary64 time, for 4.3e-19 <= |t| < 1.6e7: one 64x64->128-bit
// multiplication by a per-exponent constant from a table (kExponentScales)
// leaves the wanted digits in the high word and the exact dropped fraction
// below them, so ties are seen exactly. Other times (subnormals, extremes,
// rare in captures) are formatted by std::to_chars.
//
// "%f" of a binary32 value: below 2^23 the value times 10^6 is exact in
// binary64, so one multiplication and one rounding to an integer give its
// millionths; above, it is an integer.
//
// Digits come from tables of two or three digits, or eight at a time in one
// register, and are stored with few writes. Words of packed digits hold the
// first character in their lowest byte (so leading zeros are dropped by a
// shift) and are stored in that byte order on any host.
#include "text_output/number_format.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "text_output/decimal_powers.h"
#include "text_output/digits.h"
#include "text_output/exponent_suffixes.h"
#include "text_output/wide_integer.h"
#include "waveform_file/little_endian.h"

namespace quillwave {
namespace {

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 u128;
#endif

inline void WritePair(char* out, uint32_t pair) {
    std::memcpy(out, kDigitPairs + size_t{2} * pair, 2);
}

// Stores the bytes of a packed word, lowest first.
inline void StorePacked(char* out, uint64_t packed) { StoreLE64(packed, out); }
inline void StorePacked(char* out, uint32_t packed) { StoreLE32(packed, out); }

// Exactly six digits, leading zeros kept: the fraction of "%f" and "%e".
inline void WriteSixDigits(char* out, uint32_t value) {
    const uint32_t high = value / 10000;
    const uint32_t low = value % 10000;
    WritePair(out, high);
    WritePair(out + 2, low / 100);
    WritePair(out + 4, low % 100);
}

// The three ASCII digits of 0..999 in the low three bytes of each entry.
constexpr auto kThreeDigits = [] {
    std::array<uint32_t, 1000> texts{};
    for (uint32_t n = 0; n < 1000; ++n) {
        texts[n] = ('0' + n / 100) | (('0' + n / 10 % 10) << 8) | (('0' + n % 10) << 16);
    }
    return texts;
}();

// Writes "d.dddddd" for n < 10^7 with one eight-byte store: the leading
// digit, the point, then two table lookups of three digits each.
inline void WritePointedSeven(char* out, uint32_t n) {
    const uint32_t leading = n / 1000000;
    const uint32_t rest = n - leading * 1000000;
    const uint32_t high = rest / 1000;
    const uint32_t low = rest - high * 1000;
    const uint64_t packed = (uint64_t{'0'} + leading) | (uint64_t{'.'} << 8) |
                            (uint64_t{kThreeDigits[high]} << 16) |
                            (uint64_t{kThreeDigits[low]} << 40);
    StorePacked(out, packed);
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

// Rare: kept out of line so the common path needs no stack frame.
[[gnu::noinline]] size_t WriteNonFinite(char* out, bool negative, bool isNan) {
    size_t length = 0;
    if (negative) out[length++] = '-';
    std::memcpy(out + length, isNan ? "nan" : "inf", 3);
    return length + 3;
}

// How "%e" scales a binary64 of each binary exponent. For a value
// m * 2^e (m the 53-bit mantissa) whose decimal exponent is k or k + 1,
// value * 10^p with p = 6 - k is m * scale / 2^88, where scale = 5^p * 2^(p+e+88)
// is an exact 64-bit integer for every e with 4.3e-19 <= |value| < 1.6e7.
// The 128-bit product m * scale then holds the seven or eight digits in the
// upper 24..51 bits of its high word and the dropped fraction below them,
// so digits and exact rounding need no variable shifts.
struct ExponentScale {
    uint64_t scale = 0;       // 0: outside the fast range
    int decimalExponent = 0;  // k, the decimal exponent or one less
};

constexpr auto kExponentScales = [] {
    std::array<ExponentScale, 2048> scales{};
    for (int biased = 1; biased < 2047; ++biased) {
        const int exponent2 = biased - 1075;
        const int k = ((exponent2 + 52) * 78913) >> 18;  // floor(log10(2^(e+52)))
        const int p = 6 - k;
        const int shift = p + exponent2 + 88;
        if (p < 0 || p > 27 || shift < 0) continue;
        uint64_t power = 1;
        for (int i = 0; i < p; ++i) power *= 5;
        if (shift >= std::countl_zero(power)) continue;  // would not fit in 64 bits
        scales[static_cast<size_t>(biased)] = {power << shift, k};
    }
    return scales;
}();

// Rare: kept out of line so the common path needs no stack frame. The
// standard library's exact conversion, which unlike printf never follows
// the locale (a comma locale would otherwise put "," in some times).
[[gnu::noinline]] size_t FormatExponentExactly(double value, char* out) {
    const std::to_chars_result result =
        std::to_chars(out, out + kMaxExponentLength, value, std::chars_format::scientific, 6);
    return static_cast<size_t>(result.ptr - out);
}

// "e", the sign and two or three digits of any decimal exponent.
size_t WriteExponentSuffix(int decimalExponent, char* out) {
    if (decimalExponent >= -99 && decimalExponent <= 99) {
        StorePacked(out, ExponentSuffix(decimalExponent));
        return 4;
    }
    out[0] = 'e';
    out[1] = decimalExponent < 0 ? '-' : '+';
    const int magnitude = decimalExponent < 0 ? -decimalExponent : decimalExponent;
    out[2] = static_cast<char>('0' + magnitude / 100);
    WritePair(out + 3, static_cast<uint32_t>(magnitude % 100));
    return 5;
}

// "%e" of a finite nonzero value outside the table's range (subnormal, tiny
// or large) by one product with a rounded power of ten: y = |v| * 10^(6-k)
// rounded, with 10^(6-k) itself rounded, is within 2^-28 of the exact value
// (two roundings of 2^-53 each, and y < 2^24), so wherever y is farther than
// 2^-27 from a half-integer, rounding y gives printf's seven digits. Exact
// ties and near-ties (one value in tens of millions) are left to the exact
// conversion. Values below 2^-722 are first multiplied by 2^256, exactly.
[[gnu::noinline]] size_t FormatExponentByRoundedPower(double value, char* out) {
    double magnitude = std::fabs(value);
    const double* powers = kDecimalPowers;
    int firstPower = kFirstDecimalPower;
    int binaryExponent = static_cast<int>((std::bit_cast<uint64_t>(magnitude) >> 52) & 0x7FF);
    if (binaryExponent < 300) {
        magnitude *= 0x1p256;
        binaryExponent = static_cast<int>(std::bit_cast<uint64_t>(magnitude) >> 52) - 256;
        powers = kScaledDecimalPowers;
        firstPower = kFirstScaledPower;
    }
    const auto power = [&](int p) { return powers[static_cast<size_t>(p - firstPower)]; };
    // floor(log10(2^e)): the decimal exponent, or one less.
    int decimalExponent = ((binaryExponent - 1023) * 78913) >> 18;
    double scaled = magnitude * power(6 - decimalExponent);
    if (scaled >= 1e7) {
        ++decimalExponent;
        scaled = magnitude * power(6 - decimalExponent);
    }
    const double digits = std::nearbyint(scaled);
    if (std::fabs(scaled - digits) > 0.5 - 0x1p-27) return FormatExponentExactly(value, out);
    auto kept = static_cast<uint32_t>(digits);
    if (kept == 10000000) {  // rounded up to the next power of ten
        kept = 1000000;
        ++decimalExponent;
    }
    size_t length = 0;
    if (std::signbit(value)) out[length++] = '-';
    WritePointedSeven(out + length, kept);
    return length + 8 + WriteExponentSuffix(decimalExponent, out + length + 8);
}

// "%f" digits of a value given in millionths, any size.
size_t WriteMicros(uint64_t micros, char* out) {
    const uint64_t units = micros / 1000000;
    size_t length = WriteUnsigned(out, units);
    out[length++] = '.';
    WriteSixDigits(out + length, static_cast<uint32_t>(micros - units * 1000000));
    return length + 6;
}

// Rare: kept out of line so the common path needs no stack frame. "%f" of
// a finite magnitude of 2^23 or more, which a binary32 holds only as an
// integer (up to 2^128, so it may need 128 bits).
[[gnu::noinline]] size_t FormatFixedInteger(float magnitude, char* out) {
    const auto bits = std::bit_cast<uint32_t>(magnitude);
    const int exponent2 = static_cast<int>(bits >> 23) - 150;  // >= 0 here
    const uint64_t mantissa = (bits & 0x7FFFFF) | 0x800000u;
#if defined(__SIZEOF_INT128__)
    const size_t length = exponent2 <= 40 ? WriteUnsigned(out, mantissa << exponent2)
                                          : WriteUnsigned(out, u128{mantissa} << exponent2);
#else
    const size_t length =
        exponent2 <= 40
            ? WriteUnsigned(out, mantissa << exponent2)
            : WriteWideDecimal(ShiftLeftWide(mantissa, static_cast<unsigned>(exponent2)), out);
#endif
    std::memcpy(out + length, ".000000", 7);
    return length + 7;
}

// The integer nearest to `value`, ties to even: the current rounding mode,
// which (like printf) the program assumes to be the default.
inline int64_t RoundHalfToEven(double value) {
#if defined(__x86_64__)
    return _mm_cvtsd_si64(_mm_set_sd(value));
#else
    return static_cast<int64_t>(std::nearbyint(value));
#endif
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
        if (fraction != 0) return FormatExponentByRoundedPower(value, out);  // subnormal
        std::memcpy(out + length, "0.000000e+00", 12);
        return length + 12;
    }
    const ExponentScale& entry = kExponentScales[static_cast<size_t>(biased)];
    if (entry.scale == 0) return FormatExponentByRoundedPower(value, out);
    const uint64_t mantissa = fraction | (uint64_t{1} << 52);
    const Wide128 product = MultiplyWide(mantissa, entry.scale);
    const uint64_t high = product.high;
    const uint64_t low = product.low;
    // value * 10^p = high / 2^24 + (high's low 24 bits, then low) as fraction.
    const uint64_t whole = high >> 24;
    const uint64_t fractionHigh = high & 0xFFFFFF;
    // Round half to even: up when the fraction exceeds one half, or equals
    // it and the kept digits are odd. With x = 1 for "low != 0 or odd",
    // that is exactly fractionHigh + x > half.
    uint64_t digits;
    int decimalExponent = entry.decimalExponent;
    if (whole < 10000000) {
        const uint64_t sticky = (low != 0) | (whole & 1);
        digits = whole + (fractionHigh + sticky > (uint64_t{1} << 23) ? 1 : 0);
    } else {
        // Eight digits: the decimal exponent is one more. Round whole / 10,
        // the dropped part being (whole % 10 + fraction) / 10.
        ++decimalExponent;
        const uint64_t tenth = whole / 10;
        const uint64_t dropped = ((whole - tenth * 10) << 24) + fractionHigh;
        const uint64_t sticky = (low != 0) | (tenth & 1);
        digits = tenth + (dropped + sticky > (uint64_t{5} << 24) ? 1 : 0);
    }
    if (digits == 10000000) {  // rounded up to the next power of ten
        digits = 1000000;
        ++decimalExponent;
    }
    WritePointedSeven(out + length, static_cast<uint32_t>(digits));
    StorePacked(out + length + 8, ExponentSuffix(decimalExponent));
    return length + 12;
}

size_t FormatFixed(float value, char* out) {
    const bool negative = std::signbit(value);
    const float magnitude = std::fabs(value);
    out[0] = '-';  // kept only for negative values
    const size_t length = negative ? 1 : 0;
    if (magnitude < 8388608.0f) {  // 2^23; false for inf and nan
        // A binary32 has 24 significant bits and 10^6 = 15625 * 2^6 has
        // 14, so the binary64 product is exact and rounding it to an
        // integer rounds the exact value in millionths, as printf does.
        const auto micros =
            static_cast<uint64_t>(RoundHalfToEven(static_cast<double>(magnitude) * 1e6));
        if (micros >= 10000000) return length + WriteMicros(micros, out + length);
        WritePointedSeven(out + length,
                          static_cast<uint32_t>(micros));  // one digit before the point
        return length + 8;
    }
    if (std::isfinite(magnitude)) return length + FormatFixedInteger(magnitude, out + length);
    return WriteNonFinite(out, negative, std::isnan(magnitude));
}

size_t FormatDecimal(int32_t value, char* out) {
    out[0] = '-';  // kept only for negative values
    const size_t length = value < 0 ? 1 : 0;
    auto magnitude = static_cast<uint32_t>(value);
    if (value < 0) magnitude = 0u - magnitude;
    if (magnitude >= 1000000) {
        if (magnitude >= 100000000) return length + WriteUnsigned(out + length, magnitude);
        // Eight digits at once, then drop the leading zeros.
        const uint64_t digits = EightDigits(magnitude);
        const int zeros = std::countr_zero(digits - 0x3030303030303030) / 8;
        const uint64_t kept = digits >> (8 * zeros);
        StorePacked(out + length, kept);
        return length + static_cast<size_t>(8 - zeros);
    }
    // Counts below a million, the usual case: six digits from two table
    // lookups, then drop the leading zeros (keeping one for 0).
    const uint32_t high = magnitude / 1000;
    const uint64_t digits = uint64_t{kThreeDigits[high]} |
                            (uint64_t{kThreeDigits[magnitude - high * 1000]} << 24) |
                            (uint64_t{0x3030} << 48);
    const int zeros = std::min(std::countr_zero(digits - 0x3030303030303030) / 8, 5);
    const uint64_t kept = digits >> (8 * zeros);
    StorePacked(out + length, kept);
    return length + static_cast<size_t>(6 - zeros);
}

size_t FormatHex(uint32_t value, char* out) {
    if (value < 256) return FormatHexByte(static_cast<uint8_t>(value), out);
    const int digits = (32 - std::countl_zero(value) + 3) / 4;
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = kHexDigits[value & 0xF];
        value >>= 4;
    }
    return static_cast<size_t>(digits);
}

}  // namespace quillwave
