// The four-at-a-time formatters against snprintf. They may decline a quad
// (the scalar formatters then write it), but whatever they accept must be
// exact, and they must accept the values captures are made of, or the fast
// path would silently never run.
#include "text_output/vector_fields.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "format_cases.h"
#include "text_output/number_format.h"

namespace quillwave {
namespace {

using testing::CompareFixedQuad;
using testing::CompareTimeQuads;

class VectorFields : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!VectorFieldsSupported()) GTEST_SKIP() << "no AVX2 on this processor";
    }
};

TEST_F(VectorFields, TimesOfEveryFamilyOfValues) {
    uint64_t mismatches = 0;
    testing::ForEachExponentCase(1, 11, [&](double value) {
        const std::string difference = CompareTimeQuads(0, 0.0, value);
        if (!difference.empty() && ++mismatches <= 10) ADD_FAILURE() << difference;
    });
    EXPECT_EQ(mismatches, 0u);
}

TEST_F(VectorFields, TimesOfCapturesAreTakenAndExact) {
    struct Case {
        double increment;
        double origin;
        int32_t firstIndex;
    };
    const Case cases[] = {
        {1e-9, -1e-5, 0},             // negative times, down to 1e-14 near zero
        {1e-9, 0.0, 1},               // positive, through several decades
        {2.5e-6, -0.5, 0},            // a negative decade boundary: -1.000000e-01
        {1.0 / 3.0e9, 1.2345e-3, 0},  // increments without a short decimal form
        {4e-10, 3.3e-3, 100000000},   // large indices
        {-2e-3, 1.5, 0},              // decreasing times
        {8e-11, -1.2345678e-6, 0},
    };
    for (const Case& c : cases) {
        uint64_t quads = 0;
        uint64_t taken = 0;
        for (int32_t first = c.firstIndex; first < c.firstIndex + 200000; first += 8) {
            bool accepted = false;
            const std::string difference =
                CompareTimeQuads(first, c.increment, c.origin, &accepted);
            ASSERT_EQ(difference, "") << c.increment << " " << c.origin << " " << first;
            ++quads;
            taken += accepted ? 1 : 0;
        }
        // Only quads across zero (or at it) go to the scalar formatter here.
        EXPECT_GT(taken, quads * 99 / 100) << c.increment << " " << c.origin;
    }
}

TEST_F(VectorFields, TimesOfRandomTimeBases) {
    uint64_t taken = 0;
    constexpr uint64_t kBases = 200000;
    testing::ForEachTimeBase(kBases, 29, [&](int32_t first, double increment, double origin) {
        bool accepted = false;
        const std::string difference = CompareTimeQuads(first, increment, origin, &accepted);
        if (!difference.empty()) ADD_FAILURE() << difference;
        taken += accepted ? 1 : 0;
    });
    EXPECT_GT(taken, kBases / 2);  // the vector formatter is really exercised
}

TEST_F(VectorFields, TimesOutsideTheExactRangeAreDeclined) {
    const double infinity = std::numeric_limits<double>::infinity();
    struct Case {
        double increment;
        double origin;
        const char* why;
    };
    const Case cases[] = {
        {1.0, -2.0, "signs differ: -2, -1, 0, 1"},
        {0.0, 0.0, "zero"},
        {0.0, 2e99, "three exponent digits"},
        {1e-3, -1e100, "decimal exponent 100"},
        {0.0, 1e-100, "decimal exponent below -99"},
        {0.0, std::numeric_limits<double>::denorm_min(), "subnormal"},
        {infinity, 1.0, "infinite times"},
        {0.0, std::numeric_limits<double>::quiet_NaN(), "nan"},
    };
    for (const Case& c : cases) {
        bool accepted = true;
        EXPECT_EQ(CompareTimeQuads(0, c.increment, c.origin, &accepted), "") << c.why;
        EXPECT_FALSE(accepted) << c.why;
    }
}

TEST_F(VectorFields, TimesAtTiesAndDecimalBoundaries) {
    // Exact ties of the seventh digit (123456.25 -> 1.234562e+05, 0.10546875
    // -> 1.054688e-01), rounding up into the next decade, and neighbours.
    for (double value : {123456.25, 123456.75, 0.10546875, 0.00048828125, 9.9999996, 9.9999995,
                         99999.995, 1e-16, 1.0, 0.1}) {
        for (double time : {value, std::nextafter(value, 0.0), std::nextafter(value, 1e9)}) {
            EXPECT_EQ(CompareTimeQuads(0, 0.0, time), "");
            EXPECT_EQ(CompareTimeQuads(0, 0.0, -time), "");
            // Lanes of one binary exponent but of different decimal exponents.
            EXPECT_EQ(CompareTimeQuads(0, time * 1e-7, time), "");
        }
    }
}

TEST_F(VectorFields, ValuesAreTakenAndExact) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    const float denormal = std::numeric_limits<float>::denorm_min();
    struct Case {
        float values[4];
        bool taken;
    };
    const Case cases[] = {
        {{0.5f, -0.25f, 1.0f, -9.5f}, true},
        {{0.0078125f, 0.0234375f, -0.0078125f, 9.999999f}, true},  // ties of the sixth decimal
        {{-0.0f, 0.0f, -1e-9f, denormal}, true},                   // "-0.000000" keeps its sign
        {{std::nextafter(10.0f, 0.0f), 1.0f, 2.0f, 3.0f}, true},   // 9.999999
        {{10.0f, 1.0f, 2.0f, 3.0f}, false},                        // eight digits
        {{1.0f, 2.0f, 3.0f, -12.5f}, false},
        {{1.0f, nan, 2.0f, 3.0f}, false},
        {{1.0f, 2.0f, 3.0f, -infinity}, false},
    };
    for (const Case& c : cases) {
        bool accepted = !c.taken;
        EXPECT_EQ(CompareFixedQuad(c.values, &accepted), "") << c.values[0];
        EXPECT_EQ(accepted, c.taken) << c.values[0];
    }
}

TEST_F(VectorFields, ValuesOfASpreadOfAllBinary32Values) {
    uint64_t mismatches = 0;
    for (uint64_t bits = 0; bits < (uint64_t{1} << 32); bits += uint64_t{4} * 4093) {
        float values[4];
        for (uint32_t j = 0; j < 4; ++j) {
            values[j] = std::bit_cast<float>(static_cast<uint32_t>(bits + uint64_t{j} * 977));
        }
        const std::string difference = CompareFixedQuad(values);
        if (!difference.empty() && ++mismatches <= 10) ADD_FAILURE() << difference;
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST_F(VectorFields, CountsAreTakenAndExact) {
    struct Case {
        int32_t counts[4];
        bool taken;
    };
    const Case cases[] = {
        {{0, 7, -1, 10}, true},
        {{99999999, -99999999, 12345678, -1000000}, true},  // eight digits
        {{100, -20, 3, 4567}, true},
        {{100000000, 0, 0, 0}, false},  // nine digits
        {{0, 0, 0, 2147483647}, false},
        {{0, -2147483647 - 1, 0, 0}, false},
    };
    for (const Case& c : cases) {
        unsigned char stored[16];
        std::memcpy(stored, c.counts, sizeof stored);
        DecimalQuad quad;
        const bool accepted = FormatDecimalQuad(stored, quad);
        EXPECT_EQ(accepted, c.taken) << c.counts[0];
        if (!accepted) continue;
        for (size_t j = 0; j < 4; ++j) {
            char expected[16];
            std::snprintf(expected, sizeof expected, "%i", c.counts[j]);
            char got[16];
            EXPECT_EQ(std::string(got, WriteDecimalField(quad, j, got)), expected);
        }
    }
}

TEST_F(VectorFields, CountsOfEveryLengthMatchTheScalarFormatter) {
    // Every count below 1.1 million and each power of ten (to 10^8) with its
    // neighbours, both signs, against FormatDecimal (itself checked against
    // printf on all of them).
    std::vector<int32_t> counts(1100000);
    std::iota(counts.begin(), counts.end(), 0);
    for (int32_t power = 10; power <= 100000000; power *= 10) {
        for (int32_t v : {power - 1, power, power + 1}) counts.push_back(v);
    }
    const size_t positives = counts.size();
    for (size_t i = 0; i < positives; ++i) counts.push_back(-counts[i]);
    while (counts.size() % 4 != 0) counts.push_back(0);
    for (size_t first = 0; first < counts.size(); first += 4) {
        unsigned char stored[16];
        std::memcpy(stored, &counts[first], sizeof stored);
        DecimalQuad quad;
        if (!FormatDecimalQuad(stored, quad)) {
            bool nineDigits = false;  // the only reason to decline here
            for (size_t j = 0; j < 4; ++j) {
                nineDigits |= counts[first + j] >= 100000000 || counts[first + j] <= -100000000;
            }
            ASSERT_TRUE(nineDigits) << counts[first];
            continue;
        }
        for (size_t j = 0; j < 4; ++j) {
            char expected[16];
            char got[16];
            ASSERT_EQ(std::string(got, WriteDecimalField(quad, j, got)),
                      std::string(expected, FormatDecimal(counts[first + j], expected)));
        }
    }
}

}  // namespace
}  // namespace quillwave
