#include "format_cases.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "text_output/conversion.h"
#include "text_output/number_format.h"
#include "text_output/vector_fields.h"

namespace quillwave::testing {
namespace {

// "value 0x1.8p+0: printf "1.500000", ours "1.500001"", or empty when the
// two texts agree.
std::string Difference(const char* what, double printed, std::string_view expected,
                       std::string_view got) {
    if (expected == got) return {};
    char bits[64];
    std::snprintf(bits, sizeof bits, "%a", printed);
    return std::string(what) + " " + bits + ": printf \"" + std::string(expected) + "\", ours \"" +
           std::string(got) + "\"";
}

template <typename Format, typename Value>
std::string Compare(const char* printfFormat, double printed, Value value, Format format) {
    char expected[512];
    const int expectedLength = std::snprintf(expected, sizeof expected, printfFormat, printed);
    char got[512];
    const size_t gotLength = format(value, got);
    return Difference("value", printed,
                      std::string_view(expected, static_cast<size_t>(expectedLength)),
                      std::string_view(got, gotLength));
}

}  // namespace

std::string CompareExponent(double value) { return Compare("%e", value, value, FormatExponent); }

std::string CompareFixed(float value) {
    return Compare("%f", static_cast<double>(value), value, FormatFixed);
}

std::string CompareTimeQuads(int32_t firstIndex, double increment, double origin, bool* accepted) {
    TimeQuadPair pair;
    const bool took = FormatTimeQuads(firstIndex, increment, origin, pair);
    if (accepted != nullptr) *accepted = took;
    if (!took) return {};
    const WaveformHeader header{.timeIncrement = increment, .timeOrigin = origin};
    char expected[64] = "";
    double previous = 0;
    for (size_t line = 0; line < 8; ++line) {
        const double time = ComputeTimeFromIndex(firstIndex + static_cast<int32_t>(line), header);
        // With no increment all eight times are one: printf once.
        if (line == 0 || std::bit_cast<uint64_t>(time) != std::bit_cast<uint64_t>(previous)) {
            std::snprintf(expected, sizeof expected, "%e, ", time);
            previous = time;
        }
        char got[32];
        const char* end = WriteTimeField(pair.quads[line / 4], line % 4, got);
        std::string difference = Difference("time", time, expected,
                                            std::string_view(got, static_cast<size_t>(end - got)));
        if (!difference.empty()) return difference;
    }
    return {};
}

std::string CompareFixedQuad(const float (&values)[4], bool* accepted) {
    unsigned char stored[16];
    std::memcpy(stored, values, sizeof stored);  // little-endian, as in a capture
    FixedQuad quad;
    const bool took = FormatFixedQuad(stored, quad);
    if (accepted != nullptr) *accepted = took;
    if (!took) return {};
    for (size_t j = 0; j < 4; ++j) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%f", static_cast<double>(values[j]));
        char got[32];
        const char* end = WriteFixedField(quad, j, got);
        std::string difference = Difference("value", static_cast<double>(values[j]), expected,
                                            std::string_view(got, static_cast<size_t>(end - got)));
        if (!difference.empty()) return difference;
    }
    return {};
}

void ForEachExponentCase(uint64_t scale, uint64_t seed, const std::function<void(double)>& visit) {
    using limits = std::numeric_limits<double>;
    for (double special : {0.0, limits::infinity(), limits::quiet_NaN(), limits::max(),
                           limits::min(), limits::denorm_min(), limits::epsilon(), 1.0, 9.9999995,
                           9.9999994999999, 1e7, 1e-26, 9.99999949e-27}) {
        visit(special);
        visit(-special);
        visit(std::nextafter(special, 0.0));
        visit(std::nextafter(special, limits::infinity()));
    }
    // Exact ties: odd multiples of powers of two whose eighth significant
    // digit is a final 5 (for example 2^-11 = 4.8828125e-4).
    for (int k = -80; k <= 60; ++k) {
        for (uint64_t odd = 1; odd < 2000 * scale; odd += 2) {
            const double value = std::ldexp(static_cast<double>(odd), k);
            visit(value);
            visit(std::nextafter(value, 0.0));
            visit(std::nextafter(value, limits::infinity()));
        }
    }
    // Decimal boundaries: 10^k and 9.9999995 * 10^k (which rounds up to the
    // next power) with their neighbours.
    for (int k = -320; k <= 308; ++k) {
        for (double mantissa : {1.0, 9.9999995, 9.999999, 5.0000005}) {
            const double value = mantissa * std::pow(10.0, k);
            visit(value);
            visit(std::nextafter(value, 0.0));
            visit(std::nextafter(value, limits::infinity()));
        }
    }
    std::mt19937_64 random(seed);
    // Exact ties of large values: eight significant digits ending in 5,
    // times a power of ten, held exactly (below 2^53).
    for (uint64_t i = 0; i < 20000 * scale; ++i) {
        const auto tie = static_cast<double>((1000000 + random() % 9000000) * 10 + 5);
        for (double power = 1; power < 1e8; power *= 10) {
            visit(tie * power);
            visit(std::nextafter(tie * power, 0.0));
        }
    }
    for (uint64_t i = 0; i < 400000 * scale; ++i) visit(std::bit_cast<double>(random()));
    std::uniform_real_distribution<double> exponent(-110.0, 110.0);
    for (uint64_t i = 0; i < 400000 * scale; ++i) {
        const double magnitude = std::pow(10.0, exponent(random));
        visit((random() & 1) != 0 ? magnitude : -magnitude);
    }
    // Sample times of realistic captures, and of time bases in epoch
    // seconds or sample indices.
    const double increments[] = {1e-9, 2.5e-6, 4e-10, 1.0 / 3.0e9, 2e-3, 1e-6, 8e-11, 1.0};
    const double origins[] = {0.0, -0.0, -5e-4, -1.2345678e-6, 3.3e-3, -10.0, 1.7e9};
    const uint64_t span = 20000 * scale;
    for (double increment : increments) {
        for (double origin : origins) {
            const WaveformHeader header{.timeIncrement = increment, .timeOrigin = origin};
            const uint64_t start = random() % 100000000;
            for (uint64_t i = 0; i < span; ++i) {
                visit(ComputeTimeFromIndex(static_cast<int32_t>(start + i), header));
                visit(ComputeTimeFromIndex(static_cast<int32_t>(i), header));
            }
        }
    }
}

void ForEachTimeBase(uint64_t count, uint64_t seed,
                     const std::function<void(int32_t, double, double)>& visit) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> decades(-17.0, 13.0);
    const auto signedPowerOfTen = [&](double exponent) {
        const double magnitude = std::pow(10.0, exponent);
        return (random() & 1) != 0 ? magnitude : -magnitude;
    };
    for (uint64_t n = 0; n < count; ++n) {
        const double increment = signedPowerOfTen(decades(random) - 3);
        const double origin = (random() % 8 == 0) ? 0.0 : signedPowerOfTen(decades(random));
        const auto first = static_cast<int32_t>(random() % (uint64_t{1} << (random() % 31)));
        visit(first, increment, origin);
    }
}

}  // namespace quillwave::testing
