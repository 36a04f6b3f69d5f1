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
#include "export_output/shortest_number.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace quillwave {
namespace {

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
};

// A non-negative integer as 32-bit words, least significant first.
using BigNumber = std::vector<uint32_t>;

void MultiplyBy(BigNumber& number, uint32_t factor) {
    uint64_t carry = 0;
    for (uint32_t& word : number) {
        const uint64_t product = uint64_t{word} * factor + carry;
        word = static_cast<uint32_t>(product);
        carry = product >> 32;
    }
    if (carry != 0) number.push_back(static_cast<uint32_t>(carry));
}

void DivideBy(BigNumber& number, uint32_t divisor) {
    uint64_t remainder = 0;
    for (size_t i = number.size(); i-- > 0;) {
        const uint64_t current = (remainder << 32) | number[i];
        number[i] = static_cast<uint32_t>(current / divisor);
        remainder = current % divisor;
    }
    while (!number.empty() && number.back() == 0) number.pop_back();
}

int BitLength(const BigNumber& number) {
    if (number.empty()) return 0;
    return static_cast<int>(32 * (number.size() - 1) + std::bit_width(number.back()));
}

bool Bit(const BigNumber& number, int index) {
    return ((number[static_cast<size_t>(index / 32)] >> (index % 32)) & 1u) != 0;
}

// The top 128 bits of `number`, rounded up when `roundUp` says any of the
// value below them is non-zero (or, with `always`, in any case).
PowerOfTen Top128(const BigNumber& number, int32_t exponent, bool always) {
    const int length = BitLength(number);
    u128 top = 0;
    bool inexact = always;
    for (int i = length - 1; i >= 0; --i) {
        if (i >= length - 128) {
            top = (top << 1) | u128{Bit(number, i)};
        } else if (Bit(number, i)) {
            inexact = true;
            break;
        }
    }
    if (length < 128) top <<= (128 - length);
    if (inexact) ++top;
    return {static_cast<uint64_t>(top >> 64), static_cast<uint64_t>(top), exponent};
}

struct PowerTable {
    std::array<PowerOfTen, kMaxK - kMinK + 1> entries{};
    PowerTable() {
        // 10^n for n = 0..-kMinK, exactly.
        BigNumber power = {1};
        for (int n = 0; n <= -kMinK; ++n) {
            entries[static_cast<size_t>(-n - kMinK)] = Top128(power, BitLength(power) - 1, false);
            MultiplyBy(power, 10);
        }
        // 10^-n for n = 1..kMaxK: floor(2^M / 10^n), never exact.
        constexpr int M = 1216;
        BigNumber quotient(M / 32 + 1, 0);
        quotient.back() = 1;
        for (int n = 1; n <= kMaxK; ++n) {
            DivideBy(quotient, 10);
            entries[static_cast<size_t>(n - kMinK)] =
                Top128(quotient, BitLength(quotient) - 1 - M, true);
        }
    }
};

const PowerOfTen& PowerFor(int k) {
    static const PowerTable table;
    return table.entries[static_cast<size_t>(k - kMinK)];
}

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
// 129 up form the integer part, the 64 below them the fraction.
Scaled Scale(uint64_t shiftedX, const PowerOfTen& power) {
    const u128 low = u128{shiftedX} * power.low;
    const u128 high = u128{shiftedX} * power.high;
    const u128 upper = high + static_cast<uint64_t>(low >> 64);  // the product >> 64
    const auto w2 = static_cast<uint64_t>(upper >> 64);
    const auto w1 = static_cast<uint64_t>(upper);
    return {w2 >> 1, (w2 << 63) | (w1 >> 1)};
}

// The true value lies within 2^-64 of the computed one (the margin of 2
// leaves room): a bound this far from an integer is surely not one, and
// its integer part is surely `integer`.
constexpr uint64_t kMargin = 2;
bool SurelyNotInteger(const Scaled& value) {
    return value.fraction >= kMargin && value.fraction <= ~uint64_t{0} - kMargin;
}

struct Decimal {
    uint64_t digits = 0;
    int exponent = 0;  // value = digits * 10^exponent
};

// The shortest decimal in the rounding interval of c * 2^q (closest to it
// among the shortest), or false when the fixed-point arithmetic cannot tell.
// `irregular`: c is the smallest significand of a binade above the lowest,
// so the gap below is half the gap above.
bool FindShortest(uint64_t c, int q, bool irregular, Decimal& result) {
    const int k = irregular ? FloorLog10ThreeQuartersPow2(q) : FloorLog10Pow2(q);
    const PowerOfTen& power = PowerFor(k);
    // x * 2^(q-2) * 10^-k = x * G * 2^(q - 2 + exponent - 127) = (x << h) * G >> 129
    // with h = q + exponent, in 0..3 by the choice of k.
    const int h = q + power.exponent;
    const uint64_t cb = c << 2;
    const Scaled lower = Scale((cb - (irregular ? 1 : 2)) << h, power);
    const Scaled upper = Scale((cb + 2) << h, power);
    // The integers inside the interval (its bounds are surely not integers,
    // so whether the bounds belong to it does not matter). s <= value < upper
    // puts s below the top and t = s + 1 > value > lower above the bottom.
    const uint64_t lowest = lower.integer + 1;
    const uint64_t highest = upper.integer;
    const Scaled value = Scale(cb << h, power);
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
    // Undecidable: a bound within reach of an integer, or a choice between s
    // and t with the value within reach of their midpoint.
    const bool nearHalf = value.fraction + kMargin >= kHalf && value.fraction <= kHalf + kMargin;
    return SurelyNotInteger(lower) && SurelyNotInteger(upper) && (sInside || tInside) &&
           (tenInside || !(sInside && tInside && nearHalf));
}

// ---------------------------------------------------------------------------
// The text

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr std::array<uint64_t, 20> kPowersOfTen = [] {
    std::array<uint64_t, 20> powers{};
    uint64_t power = 1;
    for (uint64_t& p : powers) {
        p = power;
        power *= 10;
    }
    return powers;
}();

int CountDigits(uint64_t n) {
    // log10 from the bit length (1233 / 4096 ~ log10(2)), then one correction.
    const auto guess = static_cast<int>((std::bit_width(n | 1) * 1233) >> 12);
    return guess + (n >= kPowersOfTen[static_cast<size_t>(guess)] ? 1 : 0);
}

// Writes n < 10^8 as exactly 8 digits, in 32-bit arithmetic.
void WriteEightDigits(uint32_t n, char* out) {
    const uint32_t high = n / 10000;
    const uint32_t low = n % 10000;
    std::memcpy(out, kDigitPairs + 2 * (high / 100), 2);
    std::memcpy(out + 2, kDigitPairs + 2 * (high % 100), 2);
    std::memcpy(out + 4, kDigitPairs + 2 * (low / 100), 2);
    std::memcpy(out + 6, kDigitPairs + 2 * (low % 100), 2);
}

// Writes n < 10^8, of `count` digits, ending at out + count.
void WriteShortDigits(uint32_t n, int count, char* out) {
    char* end = out + count;
    while (n >= 100) {
        end -= 2;
        std::memcpy(end, kDigitPairs + 2 * (n % 100), 2);
        n /= 100;
    }
    if (n >= 10) {
        std::memcpy(end - 2, kDigitPairs + 2 * n, 2);
    } else {
        end[-1] = static_cast<char>('0' + n);
    }
}

// Writes the `count` digits of n (count = CountDigits(n)) at out.
void WriteDigits(uint64_t n, int count, char* out) {
    if (count > 16) {
        const uint64_t top = n / 100000000;
        const auto low = static_cast<uint32_t>(n - top * 100000000);
        const auto high = static_cast<uint32_t>(top / 100000000);
        const auto middle = static_cast<uint32_t>(top - uint64_t{high} * 100000000);
        WriteShortDigits(high, count - 16, out);
        WriteEightDigits(middle, out + count - 16);
        WriteEightDigits(low, out + count - 8);
    } else if (count > 8) {
        const uint64_t top = n / 100000000;
        WriteShortDigits(static_cast<uint32_t>(top), count - 8, out);
        WriteEightDigits(static_cast<uint32_t>(n - top * 100000000), out + count - 8);
    } else {
        WriteShortDigits(static_cast<uint32_t>(n), count, out);
    }
}

void StripTrailingZeros(Decimal& decimal) {
    if (decimal.digits == 0) return;
    while (decimal.digits % 100000000 == 0) {
        decimal.digits /= 100000000;
        decimal.exponent += 8;
    }
    while (decimal.digits % 100 == 0) {
        decimal.digits /= 100;
        decimal.exponent += 2;
    }
    if (decimal.digits % 10 == 0) {
        decimal.digits /= 10;
        decimal.exponent += 1;
    }
}

// digits * 10^exponent as std::to_chars writes it: fixed or scientific,
// whichever is shorter, fixed on a tie.
size_t WriteDecimal(bool negative, Decimal decimal, char* out) {
    char* p = out;
    if (negative) *p++ = '-';
    const int n = CountDigits(decimal.digits);
    const int exponent = decimal.exponent;
    const int scientificExponent = exponent + n - 1;
    const int exponentDigits = std::abs(scientificExponent) >= 100 ? 3 : 2;
    const int scientificLength = n + (n > 1 ? 1 : 0) + 2 + exponentDigits;
    int fixedLength = 0;
    if (exponent >= 0) {
        fixedLength = n + exponent;
    } else if (n + exponent > 0) {
        fixedLength = n + 1;
    } else {
        fixedLength = 2 - exponent;
    }
    if (fixedLength <= scientificLength) {
        if (exponent >= 0) {
            WriteDigits(decimal.digits, n, p);
            std::memset(p + n, '0', static_cast<size_t>(exponent));
        } else if (n + exponent > 0) {
            // Digits with the point moved in: write them, then open a gap.
            const int whole = n + exponent;
            WriteDigits(decimal.digits, n, p + 1);
            std::memmove(p, p + 1, static_cast<size_t>(whole));
            p[whole] = '.';
        } else {
            const int zeros = -(n + exponent);
            p[0] = '0';
            p[1] = '.';
            std::memset(p + 2, '0', static_cast<size_t>(zeros));
            WriteDigits(decimal.digits, n, p + 2 + zeros);
        }
        return static_cast<size_t>(p - out + fixedLength);
    }
    WriteDigits(decimal.digits, n, p + 1);
    p[0] = p[1];
    if (n > 1) {
        p[1] = '.';
        p += n + 1;
    } else {
        p += 1;
    }
    *p++ = 'e';
    int e = scientificExponent;
    *p++ = e < 0 ? '-' : '+';
    if (e < 0) e = -e;
    if (e >= 100) {
        *p++ = static_cast<char>('0' + e / 100);
        e %= 100;
    }
    std::memcpy(p, kDigitPairs + 2 * e, 2);
    p += 2;
    return static_cast<size_t>(p - out);
}

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

// Formats the IEEE binary value of these field widths from its bits; leaves
// `handled` false (and writes nothing) when the fast path cannot decide.
template <int MantissaBits, int ExponentBits>
size_t FormatBinary(uint64_t bits, char* out, bool& handled) {
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
    if (!FindShortest(c, q, irregular, decimal)) {
        handled = false;
        return 0;
    }
    StripTrailingZeros(decimal);
    return WriteDecimal(negative, decimal, out);
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
    const size_t length = FormatBinary<23, 8>(std::bit_cast<uint32_t>(value), out, handled);
    return handled ? length : FormatWithToChars(value, out, kMaxShortestFloatLength);
}

size_t FormatShortestDoubleWithToChars(double value, char* out) {
    return FormatWithToChars(value, out, kMaxShortestDoubleLength);
}

size_t FormatShortestFloatWithToChars(float value, char* out) {
    return FormatWithToChars(value, out, kMaxShortestFloatLength);
}

size_t FormatInt32(int32_t value, char* out) {
    return static_cast<size_t>(std::to_chars(out, out + kMaxInt32Length, value).ptr - out);
}

size_t FormatByte(uint8_t value, char* out) {
    const auto& text = kByteTexts.texts[value];
    std::memcpy(out, text.data(), 3);  // the room is always there; only `length` count
    return static_cast<size_t>(text[3]);
}

}  // namespace quillwave
