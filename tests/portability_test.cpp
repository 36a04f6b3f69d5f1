// What must come out the same on every processor: 128-bit arithmetic done
// in 32-bit pieces where the compiler has no __int128, and the sign of NaN
// times, which the processors' own arithmetic does not agree on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "text_output/conversion.h"
#include "text_output/number_format.h"
#include "text_output/wide_integer.h"

namespace quillwave {
namespace {

// An independent product: the compiler's own where it has one, else
// schoolbook on 16-bit digits (column sums stay far below 2^64).
Wide128 ReferenceProduct(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 u128;
    const u128 product = static_cast<u128>(a) * b;
    return {static_cast<uint64_t>(product >> 64), static_cast<uint64_t>(product)};
#else
    uint64_t columns[8] = {};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            columns[i + j] += ((a >> (16 * i)) & 0xFFFF) * ((b >> (16 * j)) & 0xFFFF);
        }
    }
    Wide128 product;
    uint64_t carry = 0;
    for (int k = 0; k < 8; ++k) {
        const uint64_t total = columns[k] + carry;
        uint64_t& word = k < 4 ? product.low : product.high;
        word |= (total & 0xFFFF) << (16 * (k % 4));
        carry = total >> 16;
    }
    return product;
#endif
}

TEST(WideInteger, PortableProductOfEdgeAndRandomOperands) {
    std::vector<uint64_t> operands = {0,
                                      1,
                                      2,
                                      0xFFFFFFFF,
                                      uint64_t{1} << 32,
                                      (uint64_t{1} << 32) + 1,
                                      uint64_t{1} << 63,
                                      ~uint64_t{0},
                                      ~uint64_t{0} - 1,
                                      0xFFFFFFFF00000000,
                                      0x00000000FFFFFFFF,
                                      0x8000000080000000,
                                      0x7FFFFFFFFFFFFFFF,
                                      0x10000000000000,  // 2^52, the hidden bit of a binary64
                                      0x1FFFFFFFFFFFFF};
    std::mt19937_64 random(12);
    for (int i = 0; i < 200; ++i) operands.push_back(random() >> (random() % 64));
    uint64_t mismatches = 0;
    const auto check = [&](uint64_t a, uint64_t b) {
        const Wide128 got = MultiplyWidePortable(a, b);
        const Wide128 expected = ReferenceProduct(a, b);
        if ((got.high != expected.high || got.low != expected.low) && ++mismatches <= 10) {
            ADD_FAILURE() << std::hex << a << " * " << b << ": " << got.high << ":" << got.low
                          << ", expected " << expected.high << ":" << expected.low;
        }
    };
    for (uint64_t a : operands) {
        for (uint64_t b : operands) check(a, b);
    }
    for (int i = 0; i < 250000; ++i) check(random(), random());
    EXPECT_EQ(mismatches, 0u);
}

TEST(WideInteger, KnownProducts) {
    struct Case {
        uint64_t a, b, high, low;
    };
    const Case cases[] = {
        {~uint64_t{0}, ~uint64_t{0}, 0xFFFFFFFFFFFFFFFE, 1},
        {uint64_t{1} << 32, uint64_t{1} << 32, 1, 0},
        {uint64_t{1} << 63, 2, 1, 0},
        {0xFFFFFFFF, 0xFFFFFFFF, 0, 0xFFFFFFFE00000001},
        // Both middle products carry into the high word.
        {0xFFFFFFFFFFFFFFFF, 0xFFFFFFFF00000001, 0xFFFFFFFF00000000, 0x00000000FFFFFFFF},
        {0x123456789ABCDEF0, 0x0FEDCBA987654321, 0x0121FA00AD77D742, 0x2236D88FE5618CF0},
    };
    for (const Case& c : cases) {
        for (const Wide128 product : {MultiplyWidePortable(c.a, c.b), MultiplyWide(c.a, c.b)}) {
            EXPECT_EQ(product.high, c.high) << std::hex << c.a << " * " << c.b;
            EXPECT_EQ(product.low, c.low) << std::hex << c.a << " * " << c.b;
        }
    }
}

// The portable decimal writer on every value "%f" of a large binary32 can
// hold (a 24-bit mantissa shifted by up to 104), against printf.
TEST(WideInteger, DecimalOfShiftedValuesMatchesPrintf) {
    std::mt19937 random(5);
    for (unsigned shift = 0; shift <= 104; ++shift) {
        for (uint64_t mantissa : {uint64_t{0}, uint64_t{1}, uint64_t{0x800000}, uint64_t{0xFFFFFF},
                                  uint64_t{random() & 0xFFFFFF}, uint64_t{0xF4240}}) {
            char expected[64];
            const int expectedLength =
                std::snprintf(expected, sizeof expected, "%.0f",
                              std::ldexp(static_cast<double>(mantissa), static_cast<int>(shift)));
            char got[40];
            const size_t gotLength = WriteWideDecimal(ShiftLeftWide(mantissa, shift), got);
            EXPECT_EQ(std::string(got, gotLength),
                      std::string(expected, static_cast<size_t>(expectedLength)))
                << mantissa << " << " << shift;
        }
    }
    // Every 128-bit shape where the compiler can check it: random words
    // of every length.
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 u128;
    std::mt19937_64 words(6);
    for (int i = 0; i < 3000; ++i) {
        const Wide128 value{words() >> (words() % 64), words()};
        u128 rest = (static_cast<u128>(value.high) << 64) | value.low;
        std::string expected;
        do {
            expected.insert(expected.begin(), static_cast<char>('0' + static_cast<int>(rest % 10)));
            rest /= 10;
        } while (rest != 0);
        char got[40];
        ASSERT_EQ(std::string(got, WriteWideDecimal(value, got)), expected);
    }
#endif
}

// The sign of a NaN time is in the text ("nan" or "-nan"). These are x86's
// results (its default NaN is negative, and of two NaNs the first operand's
// is kept); other processors make a positive NaN, or prefer a signaling one.
TEST(TimeFromIndex, NanTimesHaveTheSameSignOnEveryProcessor) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double signaling = std::numeric_limits<double>::signaling_NaN();
    struct Case {
        int32_t index;
        double increment;
        double origin;
        const char* text;
    };
    const Case cases[] = {
        {0, inf, 0.0, "-nan"},                                // 0 x inf
        {0, -inf, 1.0, "-nan"},                               // 0 x -inf
        {1, inf, -inf, "-nan"},                               // inf - inf
        {-1, inf, inf, "-nan"},                               // -inf + inf
        {3, nan, 0.0, "nan"},                                 // a NaN increment keeps its sign
        {3, -nan, 0.0, "-nan"},       {3, 1.0, nan, "nan"},   // so does a NaN origin
        {3, 1.0, -nan, "-nan"},       {1, inf, nan, "nan"},   // inf + NaN: the NaN's sign
        {3, nan, -nan, "nan"},                                // two NaNs: the increment's
        {3, -nan, nan, "-nan"},       {0, inf, nan, "-nan"},  // the NaN of 0 x inf comes first
        {3, nan, -signaling, "nan"},                          // a signaling NaN takes no precedence
        {3, -signaling, nan, "-nan"}, {3, 1.0, -signaling, "-nan"}, {3, signaling, 0.0, "nan"},
    };
    for (const Case& c : cases) {
        const WaveformHeader header{.timeIncrement = c.increment, .timeOrigin = c.origin};
        char text[kMaxExponentLength];
        EXPECT_EQ(std::string(text, FormatExponent(ComputeTimeFromIndex(c.index, header), text)),
                  c.text)
            << c.index << " x " << c.increment << " + " << c.origin;
    }
}

}  // namespace
}  // namespace quillwave
