// Built with -ffp-contract=fast, as GCC builds code by default: a caller's
// own flags must not change the times the library gives (on arm64, s390x
// and any processor with fused multiply-add, a time computed in the
// caller's code would be fused).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "quillwave/quillwave.h"

namespace {

// index * increment + origin with the product rounded on its own: volatile
// keeps the compiler from fusing the two.
double Unfused(double increment, double origin, int64_t index) {
    volatile double product = static_cast<double>(index) * increment;
    return product + origin;
}

TEST(LibraryTime, IsNeverFusedWhateverTheCallersFlags) {
    struct Case {
        double increment;
        double origin;
        int64_t index;
    };
    // Each chosen so that a fused multiply-add gives another last bit.
    const Case cases[] = {
        {0.1, -0.3, 3}, {1.0 / 3.0, -1.0, 3}, {2.5e-6, -5e-4, 511555}, {1e-9, -5e-4, 681099}};
    for (const Case& c : cases) {
        const double expected = Unfused(c.increment, c.origin, c.index);
        ASSERT_NE(std::fma(static_cast<double>(c.index), c.increment, c.origin), expected)
            << "not a case that tells fused from unfused";
        EXPECT_EQ(quillwave_time(c.increment, c.origin, c.index), expected) << c.index;
    }
}

TEST(LibraryTime, NaNsHaveTheSignOfEveryArchitecture) {
    const double inf = INFINITY;
    const double positiveNan = std::bit_cast<double>(uint64_t{0x7FF8000000000001});
    const double negativeNan = std::bit_cast<double>(uint64_t{0xFFF8000000000001});
    struct Case {
        double increment;
        double origin;
        int64_t index;
        bool negative;
    };
    const Case cases[] = {
        {inf, -inf, 1, true},                  // made here (inf - inf): negative
        {inf, 1.0, 0, true},                   // 0 x inf, made here
        {1.0, positiveNan, 2, false},          // the origin's own sign
        {positiveNan, negativeNan, 2, false},  // the increment's before the origin's
        {negativeNan, positiveNan, 2, true},
    };
    for (const Case& c : cases) {
        const double time = quillwave_time(c.increment, c.origin, c.index);
        EXPECT_TRUE(std::isnan(time));
        EXPECT_EQ(std::signbit(time), c.negative) << c.increment << " " << c.origin;
    }
}

}  // namespace
