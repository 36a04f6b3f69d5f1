// Fuzz target: the number formatters against snprintf, on fuzzed bit
// patterns, and the four-at-a-time formatters against the scalar ones, on
// fuzzed time bases. Any difference aborts.
//
// Input: increment (8 bytes), origin (8), first index (4), then any number
// of 16-byte groups, each read as two binary64 values, as four binary32
// values and as four 32-bit counts (all little-endian).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "text_output/number_format.h"
#include "text_output/vector_fields.h"
#include "waveform_file/little_endian.h"
#include "waveform_file/waveform_samples.h"

namespace {

using namespace quillwave;

void Same(const std::string& ours, const std::string& reference) {
    if (ours != reference) {
        std::fprintf(stderr, "ours \"%s\", reference \"%s\"\n", ours.c_str(), reference.c_str());
        std::abort();
    }
}

std::string Printed(const char* format, double value) {
    char text[512];
    const int length = std::snprintf(text, sizeof text, format, value);
    return {text, static_cast<size_t>(length)};
}

std::string Exponent(double value) {
    char text[kMaxExponentLength];
    return {text, FormatExponent(value, text)};
}

std::string Fixed(float value) {
    char text[kMaxFixedLength];
    return {text, FormatFixed(value, text)};
}

std::string Decimal(int32_t value) {
    char text[kMaxDecimalLength];
    return {text, FormatDecimal(value, text)};
}

void CheckTimes(double increment, double origin, int32_t first) {
    if (first > INT32_MAX - 8) return;
    TimeQuadPair pair;
    if (!FormatTimeQuads(first, increment, origin, pair)) return;
    const WaveformHeader base{.timeIncrement = increment, .timeOrigin = origin};
    for (int j = 0; j < 8; ++j) {
        char text[32];
        const char* end = WriteTimeField(pair.quads[j / 4], static_cast<size_t>(j % 4), text);
        Same({text, static_cast<size_t>(end - text)},
             Exponent(ComputeTimeFromIndex(first + j, base)) + ", ");
    }
}

void CheckGroup(const unsigned char* group) {
    for (size_t i = 0; i < 2; ++i) {
        const double value = LoadF64(group + 8 * i);
        Same(Exponent(value), Printed("%e", value));
    }
    FixedQuad fixed;
    const bool fixedTaken = FormatFixedQuad(group, fixed);
    DecimalQuad decimal;
    const bool decimalTaken = FormatDecimalQuad(group, decimal);
    for (size_t j = 0; j < 4; ++j) {
        const float value = LoadF32(group + 4 * j);
        Same(Fixed(value), Printed("%f", static_cast<double>(value)));
        const int32_t count = LoadI32(group + 4 * j);
        Same(Decimal(count), std::to_string(count));
        char text[64];
        if (fixedTaken) {
            const char* end = WriteFixedField(fixed, j, text);
            Same({text, static_cast<size_t>(end - text)}, Fixed(value));
        }
        if (decimalTaken) {
            const char* end = WriteDecimalField(decimal, j, text);
            Same({text, static_cast<size_t>(end - text)}, Decimal(count));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 20) return 0;
    const double increment = LoadF64(data);
    const double origin = LoadF64(data + 8);
    const int32_t first = LoadI32(data + 16);
    CheckTimes(increment, origin, first);
    for (size_t offset = 20; offset + 16 <= size; offset += 16) CheckGroup(data + offset);
    return 0;
}
