// The number formatters against snprintf, the definition of their output.
// A sample here; tests/format_exhaustive.cpp checks every binary32 value and
// tens of millions of binary64 values (CTest label "exhaustive").
#include "text_output/number_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <limits>
#include <random>

#include "format_cases.h"
#include "test_support.h"

namespace quillwave {
namespace {

using testing::CompareExponent;
using testing::CompareFixed;

TEST(FormatExponent, MatchesPrintfOnEveryFamilyOfValues) {
    uint64_t checked = 0;
    uint64_t mismatches = 0;
    testing::ForEachExponentCase(1, 7, [&](double value) {
        ++checked;
        const std::string difference = CompareExponent(value);
        if (!difference.empty() && ++mismatches <= 10) ADD_FAILURE() << difference;
    });
    EXPECT_EQ(mismatches, 0u) << "of " << checked;
    EXPECT_GT(checked, 1000000u);
}

TEST(FormatExponent, KnownTexts) {
    const std::pair<double, const char*> cases[] = {
        {-0.001, "-1.000000e-03"},
        {-0.000999, "-9.990000e-04"},
        {-0.0, "-0.000000e+00"},
        {0.00048828125, "4.882812e-04"},  // tie, rounded to even
        {0.00146484375, "1.464844e-03"},  // tie, rounded to even (up)
        {9.9999996, "1.000000e+01"},      // rounds up into the next decade
        {123456789.0, "1.234568e+08"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::quiet_NaN(), "-nan"},
    };
    for (const auto& [value, expected] : cases) {
        char text[kMaxExponentLength];
        EXPECT_EQ(std::string(text, FormatExponent(value, text)), expected);
    }
}

TEST(FormatFixed, MatchesPrintfOnASpreadOfAllBinary32Values) {
    uint64_t mismatches = 0;
    // A stride coprime to 2^32 visits values of every exponent and sign.
    for (uint64_t bits = 0; bits < (uint64_t{1} << 32); bits += 4093) {
        const std::string difference =
            CompareFixed(std::bit_cast<float>(static_cast<uint32_t>(bits)));
        if (!difference.empty() && ++mismatches <= 10) ADD_FAILURE() << difference;
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(FormatFixed, TiesAndBoundaries) {
    using limits = std::numeric_limits<float>;
    const float cases[] = {0.0f,
                           -0.0f,
                           0.0000005f,
                           0.0000015f,
                           0.0000025f,
                           -0.0000005f,
                           0.5f,
                           2.5e-7f,
                           1e-9f,
                           -1e-9f,
                           8388607.5f,
                           8388608.0f,
                           16777217.0f,
                           limits::max(),
                           -limits::max(),
                           limits::min(),
                           limits::denorm_min(),
                           limits::infinity(),
                           -limits::infinity(),
                           limits::quiet_NaN(),
                           -limits::quiet_NaN(),
                           0.99999994f,
                           999999.94f};
    for (float value : cases) {
        EXPECT_EQ(CompareFixed(value), "");
        EXPECT_EQ(CompareFixed(std::nextafter(value, 0.0f)), "");
        EXPECT_EQ(CompareFixed(std::nextafter(value, limits::infinity())), "");
    }
}

TEST(FormatDecimalAndHex, MatchPrintf) {
    std::mt19937 random(99);
    std::vector<uint32_t> values = {0, 1, 9, 10, 99, 100, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    for (uint32_t v = 0; v < 1100000; ++v) {  // every count of the table-driven path, both signs
        values.push_back(v);
        values.push_back(0u - v);
    }
    for (int i = 0; i < 200000; ++i) values.push_back(static_cast<uint32_t>(random()));
    for (uint32_t value : values) {
        char text[16];
        const auto signedValue = static_cast<int32_t>(value);
        ASSERT_EQ(std::string(text, FormatDecimal(signedValue, text)),
                  testing::Printf("%d", signedValue));
        ASSERT_EQ(std::string(text, FormatHex(value, text)), testing::Printf("%x", value));
    }
}

TEST(FormatExponent, RareTimesIgnoreACommaLocale) {
    // Times outside the table's range go through the library; printf would
    // write "1,000000e+300" under a locale with a decimal comma, and a
    // program embedding these formatters may run under one.
    const double values[] = {1e300, -2.5e-320 /* subnormal */, 1.7e9};
    std::vector<std::string> expected;  // printf's text in the C locale
    for (double value : values) expected.push_back(testing::Printf("%e", value));
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
        GTEST_SKIP() << "no de_DE.UTF-8 locale here (localedef -i de_DE -f UTF-8 de_DE.UTF-8)";
    }
    ASSERT_EQ(testing::Printf("%e", 1.5), "1,500000e+00");  // the locale is in force
    for (size_t i = 0; i < std::size(values); ++i) {
        char text[kMaxExponentLength];
        EXPECT_EQ(std::string(text, FormatExponent(values[i], text)), expected[i]);
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
}

}  // namespace
}  // namespace quillwave
