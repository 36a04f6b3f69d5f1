// Shortest round-trip formatting.
//
// std::to_chars gives the right text but costs 50-100 ns a number, which
// makes a CSV line of a time and a value cost more than writing it out. The
// digits are found here by the interval method (as in Ryu and Schubfach):
//
// A binary value v = c * 2^q reads back from any decimal in its rounding
// interval [v - gap below / 2, v + gap above / 2]. Scaled by 10^-k, with k
// chosen so that the interval is between 1 and 10 units wide, the interval
// holds one or two integers next to v (s = floor(v * 10^-k) or s + 1) and
// at most one multiple of ten. A multiple of ten inside is the shortest
// text (one digit fewer); otherwise the integer inside, or of two the one
// closer to v.
//
// The scaled bounds are computed with a 128-bit approximation of 10^-k
// (rounded up) in fixed point with 64 fraction bits; the error is below
// 2^-64 of a unit. Whenever a bound lies that close to an integer, or v that
// close to a midpoint, the comparisons could go either way, and the number
// is handed to std::to_chars instead: such numbers are rare (one in
// millions of random values, besides exact decimals whose bounds are
// integers), and every other decision is exact.
//
// The text is laid out as std::to_chars lays it out: fixed notation or
// scientific ("1e+30", "5e-04"), whichever is shorter, fixed on a tie.
//
// Times have two faster ways (FormatTimeOnGrid): most lie on the decimal
// grid of their increment and origin, which is checked in a few integer
// operations; and a time of ordinary size has a scale 10^-k small enough
// for the interval to be computed in exact 128-bit integers.
#include "export_output/shortest_number.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "text_output/digits.h"
#include "waveform_file/little_endian.h"

namespace quillwave {
namespace {

// The fast path needs a 128-bit integer type; where the compiler has none
// (32-bit processors) every number takes std::to_chars, the same text.
#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 u128;

// ---------------------------------------------------------------------------
// Powers of ten, 10^-k for k in [kMinK, kMaxK]: G in [2^127, 2^128) and e
// with 10^-k <= G * 2^(e - 127) < 10^-k * (1 + 2^-127) (G rounded up).

constexpr int kMinK = -324;  // binary64 subnormals: 10^324
constexpr int kMaxK = 292;   // the largest binary64: 10^-292

struct PowerOfTen {
    uint64_t high = 0;
    uint64_t low = 0;
    int32_t exponent = 0;  // floor(log2(10^-k))
    // The top 64 bits of G rounded up, for binary32 (0 if that overflows).
    uint64_t narrow = 0;
};

// A non-negative integer as 32-bit words, least significant first: enough
// for 2^1216, the largest number the table is made from.
struct BigNumber {
    std::array<uint32_t, 40> words{};
    size_t size = 0;  // words in use; the top one is non-zero
};

constexpr void MultiplyBy(BigNumber& number, uint32_t factor) {
    uint64_t carry = 0;
    for (size_t i = 0; i < number.size; ++i) {
        const uint64_t product = uint64_t{number.words[i]} * factor + carry;
        number.words[i] = static_cast<uint32_t>(product);
        carry = product >> 32;
    }
    if (carry != 0) number.words[number.size++] = static_cast<uint32_t>(carry);
}

constexpr void DivideBy(BigNumber& number, uint32_t divisor) {
    uint64_t remainder = 0;
    for (size_t i = number.size; i-- > 0;) {
        const uint64_t current = (remainder << 32) | number.words[i];
        number.words[i] = static_cast<uint32_t>(current / divisor);
        remainder = current % divisor;
    }
    while (number.size > 0 && number.words[number.size - 1] == 0) --number.size;
}

constexpr int BitLength(const BigNumber& number) {
    if (number.size == 0) return 0;
    return static_cast<int>(32 * (number.size - 1) +
                            static_cast<size_t>(std::bit_width(number.words[number.size - 1])));
}

constexpr uint32_t WordAt(const BigNumber& number, size_t index) {
    return index < number.size ? number.words[index] : 0;
}

// The top 128 bits of `number`, rounded up when any bit below them is set
// (or, with `always`, in any case: the number stands for a larger value).
constexpr PowerOfTen Top128(const BigNumber& number, int32_t exponent, bool always) {
    const int length = BitLength(number);
    u128 top = 0;
    bool inexact = always;
    if (length <= 128) {
        for (size_t i = number.size; i-- > 0;) top = (top << 32) | number.words[i];
        top <<= (128 - length);
    } else {
        const auto shift = static_cast<size_t>(length - 128);
        const size_t first = shift / 32;
        const size_t bit = shift % 32;
        for (size_t i = first + 4; i-- > first;) top = (top << 32) | WordAt(number, i);
        if (bit != 0) top = (top >> bit) | (u128{WordAt(number, first + 4)} << (128 - bit));
        for (size_t i = 0; i < first; ++i) inexact = inexact || number.words[i] != 0;
        inexact = inexact || (number.words[first] & ((uint32_t{1} << bit) - 1)) != 0;
    }
    if (inexact) ++top;
    const auto high = static_cast<uint64_t>(top >> 64);
    const auto low = static_cast<uint64_t>(top);
    const uint64_t narrow = high == ~uint64_t{0} ? 0 : high + (low != 0 ? 1 : 0);
    return {high, low, exponent, narrow};
}

// Made by the compiler, so no number pays for building it.
struct PowerTable {
    std::array<PowerOfTen, kMaxK - kMinK + 1> entries{};
    constexpr PowerTable() {
        // 10^n for n = 0..-kMinK, exactly.
        BigNumber power;
        power.words[0] = 1;
        power.size = 1;
        for (int n = 0; n <= -kMinK; ++n) {
            entries[static_cast<size_t>(-n - kMinK)] = Top128(power, BitLength(power) - 1, false);
            MultiplyBy(power, 10);
        }
        // 10^-n for n = 1..kMaxK: floor(2^M / 10^n), never exact.
        constexpr int M = 1216;
        BigNumber quotient;
        quotient.words[M / 32] = 1;
        quotient.size = M / 32 + 1;
        for (int n = 1; n <= kMaxK; ++n) {
            DivideBy(quotient, 10);
            entries[static_cast<size_t>(n - kMinK)] =
                Top128(quotient, BitLength(quotient) - 1 - M, true);
        }
    }
};

constexpr PowerTable kPowerTable;

const PowerOfTen& PowerFor(int k) { return kPowerTable.entries[static_cast<size_t>(k - kMinK)]; }

// floor(log10(2^q)) and floor(log10(3/4 * 2^q)), exact for |q| <= 1200.
int FloorLog10Pow2(int q) { return static_cast<int>((int64_t{q} * 661971961083) >> 41); }
int FloorLog10ThreeQuartersPow2(int q) {
    return static_cast<int>((int64_t{q} * 661971961083 - 274743187321) >> 41);
}

// ---------------------------------------------------------------------------
// The digits

// x * 2^(q-2) * 10^-k in fixed point: integer part and 64 fraction bits.
struct Scaled {
    uint64_t integer = 0;
    uint64_t fraction = 0;
};

// (x << h) * G >> 129, x << h below 2^58: the 192-bit product's bits from
// 129 up form the integer part, the 64 below them the fraction. The error is
// below 2^-64 of a unit (G is 10^-k rounded up by less than 2^-127 of it).
struct WideScale {
    static constexpr uint64_t kMargin = 2;
    static bool Usable(const PowerOfTen& /*power*/) { return true; }
    static Scaled Apply(uint64_t shiftedX, const PowerOfTen& power);
};

// For binary32 (x << h below 2^29): (x << h) * G' >> 65 with G' the top 64
// bits of G rounded up, in one 64x64-bit product. Its error, below 2^-35 of
// a unit, is what the wider margin allows for.
struct NarrowScale {
    static constexpr uint64_t kMargin = uint64_t{1} << 30;
    static bool Usable(const PowerOfTen& power) { return power.narrow != 0; }
    static Scaled Apply(uint64_t shiftedX, const PowerOfTen& power) {
        const u128 product = u128{shiftedX} * power.narrow;
        return {static_cast<uint64_t>(product >> 65), static_cast<uint64_t>(product >> 1)};
    }
};

Scaled WideScale::Apply(uint64_t shiftedX, const PowerOfTen& power) {
    const u128 low = u128{shiftedX} * power.low;
    const u128 high = u128{shiftedX} * power.high;
    const u128 upper = high + static_cast<uint64_t>(low >> 64);  // the product >> 64
    const auto w2 = static_cast<uint64_t>(upper >> 64);
    const auto w1 = static_cast<uint64_t>(upper);
    return {w2 >> 1, (w2 << 63) | (w1 >> 1)};
}

// The true value lies within the margin (in units of 2^-64) of the computed
// one: a bound this far from an integer is surely not one, and its integer
// part is surely `integer`.
bool SurelyNotInteger(const Scaled& value, uint64_t margin) {
    return value.fraction >= margin && value.fraction <= ~uint64_t{0} - margin;
}

struct Decimal {
    uint64_t digits = 0;
    int exponent = 0;  // value = digits * 10^exponent
    // Within 2^-24 of a unit of a bound of the interval: a reader that goes
    // through binary64 first may land on the bound (see FormatShortestFloat).
    bool nearBound = false;
};

// Removes the trailing zeros of a non-zero decimal (at most 16 of them).
void StripTrailingZeros(Decimal& decimal) {
    for (int pass = 0; pass < 2 && decimal.digits % 100000000 == 0; ++pass) {
        decimal.digits /= 100000000;
        decimal.exponent += 8;
    }
    if (decimal.digits % 10000 == 0) {
        decimal.digits /= 10000;
        decimal.exponent += 4;
    }
    if (decimal.digits % 100 == 0) {
        decimal.digits /= 100;
        decimal.exponent += 2;
    }
    if (decimal.digits % 10 == 0) {
        decimal.digits /= 10;
        decimal.exponent += 1;
    }
}

// The shortest decimal in the rounding interval of c * 2^q (closest to it
// among the shortest), or false when the fixed-point arithmetic cannot tell.
// `irregular`: c is the smallest significand of a binade above the lowest,
// so the gap below is half the gap above.
template <typename Scale>
bool FindShortest(uint64_t c, int q, bool irregular, Decimal& result) {
    constexpr uint64_t kMargin = Scale::kMargin;
    const int k = irregular ? FloorLog10ThreeQuartersPow2(q) : FloorLog10Pow2(q);
    const PowerOfTen& power = PowerFor(k);
    if (!Scale::Usable(power)) return false;
    // x * 2^(q-2) * 10^-k = x * G * 2^(q - 2 + exponent - 127) = (x << h) * G >> 129
    // with h = q + exponent, in 0..3 by the choice of k.
    const int h = q + power.exponent;
    const uint64_t cb = c << 2;
    const Scaled lower = Scale::Apply((cb - (irregular ? 1 : 2)) << h, power);
    const Scaled upper = Scale::Apply((cb + 2) << h, power);
    // The integers inside the interval (its bounds are surely not integers,
    // so whether the bounds belong to it does not matter). s <= value < upper
    // puts s below the top and t = s + 1 > value > lower above the bottom.
    const uint64_t lowest = lower.integer + 1;
    const uint64_t highest = upper.integer;
    const Scaled value = Scale::Apply(cb << h, power);
    const uint64_t s = value.integer;
    const uint64_t t = s + 1;
    // Which candidate wins varies from number to number, so the choice is
    // made with selects rather than branches.
    const uint64_t down = s / 10 * 10;
    const uint64_t up = down + 10;
    const bool downInside = down >= lowest;
    const bool upInside = up <= highest;
    const bool tenInside = s >= 10 && downInside != upInside;
    const bool sInside = s >= lowest;
    const bool tInside = t <= highest;
    constexpr uint64_t kHalf = uint64_t{1} << 63;
    const uint64_t closer = value.fraction < kHalf ? s : t;
    const uint64_t single = sInside ? s : t;
    const uint64_t unit = sInside && tInside ? closer : single;
    const uint64_t ten = (downInside ? down : up) / 10;
    result.digits = tenInside ? ten : unit;
    result.exponent = k + (tenInside ? 1 : 0);
    const uint64_t chosen = tenInside ? result.digits * 10 : result.digits;
    constexpr uint64_t kNear = uint64_t{1} << 40;
    result.nearBound = (chosen == lowest && lower.fraction > ~uint64_t{0} - kNear) ||
                       (chosen == highest && upper.fraction < kNear);
    // Only a multiple of ten can have more trailing zeros: an integer of the
    // interval ending in 0 is its one multiple of ten, taken above, except
    // t = 10 after s = 9 (the smallest subnormals), not looked at there.
    // binary32 digits go to WriteShortDecimal, which drops the zeros itself.
    if (!std::is_same_v<Scale, NarrowScale> && (tenInside || result.digits == 10)) {
        StripTrailingZeros(result);
    }
    // Undecidable: a bound within reach of an integer, or a choice between s
    // and t with the value within reach of their midpoint.
    const bool nearHalf = value.fraction + kMargin >= kHalf && value.fraction <= kHalf + kMargin;
    return SurelyNotInteger(lower, kMargin) && SurelyNotInteger(upper, kMargin) &&
           (sInside || tInside) && (tenInside || !(sInside && tInside && nearHalf));
}

// ---------------------------------------------------------------------------
// The text

constexpr std::array<uint64_t, 20> kPowersOfTen = [] {
    std::array<uint64_t, 20> powers{};
    uint64_t power = 1;
    for (uint64_t& p : powers) {
        p = power;
        power *= 10;
    }
    return powers;
}();

// What FindShortest finds, for c * 2^q with c a binary64 significand (at
// least 2^52, not the lowest of its binade) and -72 <= q <= 0, when
// 10^-k (k as FindShortest chooses it) is below 2^64: the scaled value
// c * 2^q * 10^-k = c * 10^-k / 2^-q and its bounds are then fractions of
// 128-bit integers over a power of two, and every comparison is exact. False
// when a bound is an integer or the value a midpoint (whether the bound
// belongs to the interval, or which of two is closer, is then a tie that
// std::to_chars settles), or when 10^-k is too large.
bool FindShortestExactly(uint64_t c, int q, Decimal& result) {
    const int k = FloorLog10Pow2(q);
    if (k < -19) return false;
    const uint64_t power = kPowersOfTen[static_cast<size_t>(-k)];
    const int shift = 1 - q;  // the bounds are (2c -+ 1) * 10^-k / 2^shift
    const u128 mask = (u128{1} << shift) - 1;
    const uint64_t twice = 2 * c;
    const u128 lower = u128{twice - 1} * power;
    const u128 value = u128{twice} * power;
    const u128 upper = u128{twice + 1} * power;
    const u128 half = u128{1} << (shift - 1);
    const u128 fraction = value & mask;
    if ((lower & mask) == 0 || (upper & mask) == 0 || fraction == half) return false;
    const auto lowest = static_cast<uint64_t>(lower >> shift) + 1;
    const auto highest = static_cast<uint64_t>(upper >> shift);
    const auto s = static_cast<uint64_t>(value >> shift);
    const uint64_t t = s + 1;
    // As in FindShortest; s >= 2^52 here.
    const uint64_t down = s / 10 * 10;
    const uint64_t up = down + 10;
    const bool downInside = down >= lowest;
    const bool tenInside = downInside != (up <= highest);
    const bool sInside = s >= lowest;
    const bool tInside = t <= highest;
    if (!sInside && !tInside) return false;
    const uint64_t closer = fraction < half ? s : t;
    const uint64_t unit = sInside && tInside ? closer : (sInside ? s : t);
    result.digits = tenInside ? (downInside ? down : up) / 10 : unit;
    result.exponent = k + (tenInside ? 1 : 0);
    return true;
}

int CountDigits(uint64_t n) {
    // log10 from the bit length (1233 / 4096 ~ log10(2)), then one correction.
    const auto guess = static_cast<int>((std::bit_width(n | 1) * 1233) >> 12);
    return guess + (n >= kPowersOfTen[static_cast<size_t>(guess)] ? 1 : 0);
}

// A word of packed characters stored lowest byte first.
void StoreWord(uint64_t word, char* out) { StoreLE64(word, out); }

// Writes the leading group of 1-8 digits of n < 10^8 (count of them) at out:
// its 8-digit form without the leading zeros, and scratch after it.
void WriteLeadingDigits(uint32_t n, int count, char* out) {
    StoreWord(EightDigits(n) >> (8 * (8 - count)), out);
}

// Writes the `count` digits of n (count = CountDigits(n), at most 17) at
// out, and up to 8 bytes of scratch after them. The divisors are constants,
// so no division is a division instruction.
void WriteDigits(uint64_t n, int count, char* out) {
    constexpr uint64_t k1e8 = 100000000;
    if (count > 16) {
        const uint64_t top = n / (k1e8 * k1e8);
        const uint64_t low = n - top * (k1e8 * k1e8);
        const uint64_t middle = low / k1e8;
        WriteLeadingDigits(static_cast<uint32_t>(top), count - 16, out);
        StoreWord(EightDigits(static_cast<uint32_t>(middle)), out + count - 16);
        StoreWord(EightDigits(static_cast<uint32_t>(low - middle * k1e8)), out + count - 8);
    } else if (count > 8) {
        const uint64_t top = n / k1e8;
        WriteLeadingDigits(static_cast<uint32_t>(top), count - 8, out);
        StoreWord(EightDigits(static_cast<uint32_t>(n - top * k1e8)), out + count - 8);
    } else {
        WriteLeadingDigits(static_cast<uint32_t>(n), count, out);
    }
}

// How n significant digits times 10^exponent are laid out: the exponent of
// scientific notation, the digits before the point in fixed notation, and
// the length of each notation (the shorter one is written, fixed on a tie).
struct Layout {
    int scientificExponent;
    int whole;
    int fixedLength;
    int scientificLength;
};

Layout LayOut(int n, int exponent) {
    Layout layout{};
    layout.scientificExponent = exponent + n - 1;
    const int exponentDigits =
        layout.scientificExponent >= 100 || layout.scientificExponent <= -100 ? 3 : 2;
    layout.scientificLength = n + (n > 1 ? 1 : 0) + 2 + exponentDigits;
    layout.whole = n + exponent;
    if (exponent >= 0) {
        layout.fixedLength = layout.whole;
    } else if (layout.whole > 0) {
        layout.fixedLength = n + 1;
    } else {
        layout.fixedLength = 2 - exponent;
    }
    return layout;
}

// "e+05", "e-123": the exponent as std::to_chars writes it, at least two
// digits. Returns the end.
char* WriteExponent(int e, char* p) {
    p[0] = 'e';
    p[1] = e < 0 ? '-' : '+';
    e = e < 0 ? -e : e;
    if (e >= 100) {
        p[2] = static_cast<char>('0' + e / 100);
        e %= 100;
        ++p;
    }
    p[2] = static_cast<char>('0' + e / 10);
    p[3] = static_cast<char>('0' + e % 10);
    return p + 4;
}

// digits * 10^exponent as std::to_chars writes it: fixed or scientific,
// whichever is shorter, fixed on a tie. Writes at most kNumberRoom bytes.
size_t WriteDecimal(bool negative, Decimal decimal, char* out) {
    char* p = out;
    *p = '-';
    p += negative ? 1 : 0;
    const int n = CountDigits(decimal.digits);
    const int exponent = decimal.exponent;
    const auto [scientificExponent, whole, fixedLength, scientificLength] = LayOut(n, exponent);
    // The copies below move fixed-size blocks; only `length` bytes count.
    if (fixedLength <= scientificLength) {
        if (exponent >= 0) {
            // At most a few zeros follow, or scientific would be shorter.
            WriteDigits(decimal.digits, n, p);
            StoreWord(0x3030303030303030, p + n);
        } else if (whole > 0) {
            char digits[kNumberRoom] = {};
            WriteDigits(decimal.digits, n, digits);
            std::memcpy(p, digits, 24);
            p[whole] = '.';
            std::memcpy(p + whole + 1, digits + whole, 24);
        } else {
            // "0." and a few zeros, or scientific would be shorter.
            StoreWord(0x3030303030302e30, p);  // "0.000000"
            WriteDigits(decimal.digits, n, p + 2 - whole);
        }
        return static_cast<size_t>(p - out + fixedLength);
    }
    WriteDigits(decimal.digits, n, p + 1);
    p[0] = p[1];
    p[1] = '.';
    p += n > 1 ? n + 1 : 1;
    return static_cast<size_t>(WriteExponent(scientificExponent, p) - out);
}

void StoreWide(u128 word, char* out) {
    StoreWord(static_cast<uint64_t>(word), out);
    StoreWord(static_cast<uint64_t>(word >> 64), out + 8);
}

int CountTrailingZeroBits(u128 word) {
    const auto low = static_cast<uint64_t>(word);
    const int inHigh = 64 + std::countr_zero(static_cast<uint64_t>(word >> 64));
    return low != 0 ? std::countr_zero(low) : inHigh;
}

int CountLeadingZeroBits(u128 word) {
    const auto high = static_cast<uint64_t>(word >> 64);
    const int inLow = 64 + std::countl_zero(static_cast<uint64_t>(word));
    return high != 0 ? std::countl_zero(high) : inLow;
}

constexpr uint64_t kShortDigitsLimit = 10000000000000000;  // 10^16

// What WriteDecimal writes, for digits in 1..10^16 - 1 that may end in
// zeros. The digits are made as 16 ASCII bytes in one 128-bit word (the
// first in the lowest byte), the zeros before and after them are counted
// from its bits, and each part of the text is one shift and one store of
// that word: no digit is counted, stripped or copied one by one, and the
// only branches are the layout's.
size_t WriteShortDecimal(bool negative, uint64_t digits, int exponent, char* out) {
    constexpr uint64_t k1e8 = 100000000;
    constexpr uint64_t kZeros = 0x3030303030303030;
    u128 text = kZeros;
    if (digits < k1e8) {
        // Mostly so on a grid of times, and for many binary32 values: one
        // half of the digits only.
        text |= u128{EightDigits(static_cast<uint32_t>(digits))} << 64;
    } else {
        const uint64_t top = digits / k1e8;
        text = u128{EightDigits(static_cast<uint32_t>(top))} |
               (u128{EightDigits(static_cast<uint32_t>(digits - top * k1e8))} << 64);
    }
    const u128 marks = text ^ ((u128{kZeros} << 64) | kZeros);  // zero where a '0' is
    const int leading = CountTrailingZeroBits(marks) / 8;
    const int trailing = CountLeadingZeroBits(marks) / 8;
    const int n = 16 - leading - trailing;
    exponent += trailing;
    const u128 significant = text >> (8 * leading);  // the n digits, then '0's and NULs
    char* p = out;
    *p = '-';
    p += negative ? 1 : 0;
    const auto [scientificExponent, whole, fixedLength, scientificLength] = LayOut(n, exponent);
    if (fixedLength <= scientificLength) {
        if (exponent >= 0) {
            StoreWide(significant, p);
            StoreWord(kZeros, p + n);  // a few zeros at most, as in WriteDecimal
        } else if (whole > 0) {
            StoreWide(significant, p);
            p[whole] = '.';
            StoreWide(significant >> (8 * whole), p + whole + 1);
        } else {
            StoreWord(0x3030303030302e30, p);  // "0.000000"
            StoreWide(significant, p + 2 - whole);
        }
        return static_cast<size_t>(p - out + fixedLength);
    }
    p[0] = static_cast<char>(significant & 0xFF);
    p[1] = '.';
    StoreWide(significant >> 8, p + 2);
    p += n > 1 ? n + 1 : 1;
    return static_cast<size_t>(WriteExponent(scientificExponent, p) - out);
}

#endif  // __SIZEOF_INT128__

// std::to_chars writes a negative NaN as "-nan"; every NaN is "nan" here.
template <typename Float>
size_t FormatWithToChars(Float value, char* out, size_t room) {
    if (std::isnan(value)) {
        std::memcpy(out, "nan", 3);
        return 3;
    }
    // The buffer is the longest text long, so this cannot fail.
    return static_cast<size_t>(std::to_chars(out, out + room, value).ptr - out);
}

#if defined(__SIZEOF_INT128__)
// Formats the IEEE binary value of these field widths from its bits; leaves
// `handled` false (and writes nothing) when the fast path cannot decide.
template <int MantissaBits, int ExponentBits>
size_t FormatBinary(uint64_t bits, char* out, bool& handled, bool* nearBound = nullptr) {
    constexpr uint64_t kMantissaMask = (uint64_t{1} << MantissaBits) - 1;
    constexpr int kExponentMask = (1 << ExponentBits) - 1;
    constexpr int kBias = (1 << (ExponentBits - 1)) - 1 + MantissaBits;
    const bool negative = (bits >> (MantissaBits + ExponentBits)) != 0;
    const int field = static_cast<int>((bits >> MantissaBits) & kExponentMask);
    const uint64_t mantissa = bits & kMantissaMask;
    handled = true;
    if (field == kExponentMask) {  // infinities and NaNs
        if (mantissa != 0) {
            std::memcpy(out, "nan", 3);
            return 3;
        }
        if (negative) {
            std::memcpy(out, "-inf", 4);
            return 4;
        }
        std::memcpy(out, "inf", 3);
        return 3;
    }
    if (field == 0 && mantissa == 0) {
        if (negative) {
            std::memcpy(out, "-0", 2);
            return 2;
        }
        out[0] = '0';
        return 1;
    }
    uint64_t c = mantissa;
    int q = 1 - kBias;
    bool irregular = false;
    if (field != 0) {
        c |= uint64_t{1} << MantissaBits;
        q = field - kBias;
        irregular = mantissa == 0 && field > 1;
    }
    Decimal decimal;
    // binary64 needs the 128-bit powers; binary32 is exact enough with 64.
    using Scale = std::conditional_t<(MantissaBits > 23), WideScale, NarrowScale>;
    if (!FindShortest<Scale>(c, q, irregular, decimal)) {
        handled = false;
        return 0;
    }
    if (nearBound != nullptr) *nearBound = decimal.nearBound;
    if constexpr (MantissaBits <= 23) {
        return WriteShortDecimal(negative, decimal.digits, decimal.exponent, out);
    }
    return WriteDecimal(negative, decimal, out);
}
#else
// Without the fast path nothing is decided here: std::to_chars takes all.
template <int MantissaBits, int ExponentBits>
size_t FormatBinary(uint64_t, char*, bool& handled, bool* nearBound = nullptr) {
    handled = false;
    if (nearBound != nullptr) *nearBound = false;
    return 0;
}
#endif  // __SIZEOF_INT128__

// True when `text` reads back as `value` both directly and through binary64
// then binary32, as numpy and pandas read float32 columns.
bool ReadsBackAsFloat(float value, const char* text, size_t length) {
    float direct = 0;
    double wide = 0;
    std::from_chars(text, text + length, direct);
    std::from_chars(text, text + length, wide);
    const auto throughDouble = static_cast<float>(wide);
    return std::bit_cast<uint32_t>(direct) == std::bit_cast<uint32_t>(value) &&
           std::bit_cast<uint32_t>(throughDouble) == std::bit_cast<uint32_t>(value);
}

// A decimal of a binary32 value that lies next to the edge of its rounding
// interval can read back as the neighbour through binary64: rounded to
// binary64 it lands on the midpoint between the two binary32 values, and the
// tie goes to the even one (7.038531e-26 is such a text: +-0x15ae43fd are
// the only binary32 values whose shortest text fails this way). Such a text
// is replaced by the shortest with more digits that reads back both ways;
// nine digits always do.
size_t EnsureReadableThroughDouble(float value, char* out, size_t length) {
    if (!std::isfinite(value) || ReadsBackAsFloat(value, out, length)) return length;
    for (int precision = 1; precision <= 9; ++precision) {
        const auto [end, problem] = std::to_chars(out, out + kMaxShortestFloatLength, value,
                                                  std::chars_format::general, precision);
        const auto written = static_cast<size_t>(end - out);
        if (problem == std::errc() && written > length && ReadsBackAsFloat(value, out, written)) {
            return written;
        }
    }
    return static_cast<size_t>(
        std::to_chars(out, out + kMaxShortestFloatLength, value, std::chars_format::general, 9)
            .ptr -
        out);
}

// "0".."255" by table: a logic byte costs one copy.
struct ByteTexts {
    std::array<std::array<char, 4>, 256> texts{};  // digits, then the length
    constexpr ByteTexts() {
        for (unsigned v = 0; v < 256; ++v) {
            auto& text = texts[v];
            unsigned length = 0;
            if (v >= 100) text[length++] = static_cast<char>('0' + v / 100);
            if (v >= 10) text[length++] = static_cast<char>('0' + v / 10 % 10);
            text[length++] = static_cast<char>('0' + v % 10);
            text[3] = static_cast<char>(length);
        }
    }
};
constexpr ByteTexts kByteTexts;

}  // namespace

size_t FormatShortestDouble(double value, char* out) {
    bool handled = false;
    const size_t length = FormatBinary<52, 11>(std::bit_cast<uint64_t>(value), out, handled);
    return handled ? length : FormatWithToChars(value, out, kMaxShortestDoubleLength);
}

size_t FormatShortestFloat(float value, char* out) {
    bool handled = false;
    bool nearBound = false;
    size_t length = FormatBinary<23, 8>(std::bit_cast<uint32_t>(value), out, handled, &nearBound);
    if (!handled) length = FormatWithToChars(value, out, kMaxShortestFloatLength);
    return handled && !nearBound ? length : EnsureReadableThroughDouble(value, out, length);
}

namespace {

// The shortest decimal of a finite value as digits * 10^exponent, read back
// from its text; false when the digits do not fit.
bool ShortestDecimalOf(double value, int64_t& digits, int& exponent) {
    char text[kNumberRoom];
    const size_t length = FormatShortestDouble(value, text);
    size_t i = text[0] == '-' ? 1 : 0;
    digits = 0;
    exponent = 0;
    int significant = 0;
    for (; i < length && text[i] != 'e'; ++i) {
        if (text[i] == '.') {
            exponent = 1;  // counts the digits after the point, plus one
            continue;
        }
        if (text[i] < '0' || text[i] > '9' || ++significant > 17) return false;
        digits = digits * 10 + (text[i] - '0');
        exponent += exponent > 0 ? 1 : 0;
    }
    exponent = exponent > 0 ? 1 - exponent : 0;
    if (i < length) {
        int power = 0;
        const auto [end, problem] =
            std::from_chars(text + i + (text[i + 1] == '+' ? 2 : 1), text + length, power);
        if (problem != std::errc() || end != text + length) return false;
        exponent += power;
    }
    if (text[0] == '-') digits = -digits;
    for (; digits != 0 && digits % 10 == 0; digits /= 10) ++exponent;
    return true;
}

// digits * 10^(from - to), when it stays below 2^53 in magnitude.
bool Rescale(int64_t& digits, int from, int to) {
    constexpr int64_t kLimit = int64_t{1} << 53;
    for (int e = from; e > to; --e) {
        if (digits >= kLimit / 10 || digits <= -kLimit / 10) return false;
        digits *= 10;
    }
    return digits < kLimit && digits > -kLimit;
}

}  // namespace

TimeGrid MakeTimeGrid(double increment, double origin) {
    TimeGrid grid;
    int stepExponent = 0;
    int firstExponent = 0;
    if (!std::isfinite(increment) || !std::isfinite(origin) ||
        !ShortestDecimalOf(increment, grid.step, stepExponent) ||
        !ShortestDecimalOf(origin, grid.first, firstExponent)) {
        return grid;
    }
    // The finer of the two, and no coarser than units.
    int exponent = 0;
    if (grid.step != 0) exponent = std::min(exponent, stepExponent);
    if (grid.first != 0) exponent = std::min(exponent, firstExponent);
    constexpr int64_t kStepLimit = int64_t{1} << 31;  // index * step stays far from overflow
    if (exponent < -19 || !Rescale(grid.step, stepExponent, exponent) ||
        !Rescale(grid.first, firstExponent, exponent) || grid.step >= kStepLimit ||
        grid.step <= -kStepLimit) {
        return grid;
    }
    grid.exponent = exponent;
    grid.scale = 1;
    for (int e = exponent; e < 0; ++e) grid.scale *= 10;
    grid.usable = true;
    return grid;
}

size_t FormatTimeOnGrid(double time, int32_t index, const TimeGrid& grid, char* out) {
#if defined(__SIZEOF_INT128__)
    // time = c * 2^q, normal, not a power of two (whose interval is lopsided),
    // and -72 <= q <= 0 so that the products below fit in 128 bits.
    const auto bits = std::bit_cast<uint64_t>(time);
    const bool negative = (bits >> 63) != 0;
    const int field = static_cast<int>((bits >> 52) & 0x7FF);
    const uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    constexpr int kBias = 1075;
    if (field >= kBias - 72 && field <= kBias && mantissa != 0) {
        const uint64_t c = mantissa | (uint64_t{1} << 52);
        const int up = kBias + 1 - field;  // 1 - q, 1..73
        // The grid's decimal for this index, as a magnitude of the time's sign
        // (index * step stays below 2^62, the sum below 2^63).
        const int64_t n = grid.usable ? grid.first + int64_t{index} * grid.step : 0;
        const uint64_t a = negative ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
        if (a != 0 && a < (uint64_t{1} << 53)) {
            // D = a * 10^exponent lies strictly inside the rounding interval
            // (|time - D| < 2^(q-1), one half of the gap around time) when
            // |2c * scale - a * 2^(1-q)| < scale, in integers.
            const u128 binary = u128{c} * (2 * u128{grid.scale});
            const u128 decimal = u128{a} << up;
            const bool inside = (decimal < binary + grid.scale) & (binary < decimal + grid.scale);
            // And the gap 2^q is below 10^(exponent - 1): the interval holds no
            // other multiple of 10^(exponent - 1), so no decimal as short as D.
            const bool narrow = u128{grid.scale} * 10 < (u128{1} << (up - 1));
            if (inside & narrow) return WriteShortDecimal(negative, a, grid.exponent, out);
        }
        // Off the grid (a rounding of the time's arithmetic away from it):
        // searched in exact integers, which times of these sizes allow.
        Decimal decimal;
        if (FindShortestExactly(c, 1 - up, decimal)) {
            if (decimal.digits < kShortDigitsLimit) {
                return WriteShortDecimal(negative, decimal.digits, decimal.exponent, out);
            }
            StripTrailingZeros(decimal);
            return WriteDecimal(negative, decimal, out);
        }
    }
#else
    (void)index;
    (void)grid;
#endif
    return FormatShortestDouble(time, out);
}

size_t FormatShortestDoubleWithToChars(double value, char* out) {
    return FormatWithToChars(value, out, kMaxShortestDoubleLength);
}

size_t FormatShortestFloatWithToChars(float value, char* out) {
    return FormatWithToChars(value, out, kMaxShortestFloatLength);
}

size_t FormatInt32(int32_t value, char* out) {
#if defined(__SIZEOF_INT128__)
    // The digits by words, as for the other numbers.
    const bool negative = value < 0;
    const uint32_t magnitude =
        negative ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    *out = '-';
    char* const digits = out + (negative ? 1 : 0);
    const int count = magnitude == 0 ? 1 : CountDigits(magnitude);
    if (magnitude < 100000000) {
        WriteLeadingDigits(magnitude, count, digits);  // counts are mostly short
    } else {
        WriteDigits(magnitude, count, digits);
    }
    return static_cast<size_t>(digits - out + count);
#else
    return static_cast<size_t>(std::to_chars(out, out + kMaxInt32Length, value).ptr - out);
#endif
}

size_t FormatByte(uint8_t value, char* out) {
    const auto& text = kByteTexts.texts[value];
    std::memcpy(out, text.data(), 3);  // the room is always there; only `length` count
    return static_cast<size_t>(text[3]);
}

}  // namespace quillwave
