// Number fields four lines at a time, with the processor's 256-bit vector
// instructions (AVX2) where it has them: the "%e, " that begins every line,
// "%f" values and "%i" counts. Each function either formats all its fields
// exactly as FormatExponent / FormatFixed / FormatDecimal would, or declines
// (returns false) and leaves those lines to them. It declines whenever a field lies outside the
// range where its arithmetic is proven exact, so which path ran never shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillwave {

// "%e, " of the times of four consecutive sample indices, which share one
// sign (made in pairs of quads, below): texts[j] is "d.dddddd", suffixes[j] "e+XX, " and two spare
// bytes.
struct TimeQuad {
    uint64_t texts[4];
    uint64_t suffixes[4];
    bool negative;
};

// "%f" of four binary32 values: texts[j] is "d.dddddd" of the magnitude,
// bit j of `negative` says whether value j carries a minus sign.
struct FixedQuad {
    uint64_t texts[4];
    uint32_t negative;
};

// "%i" of four signed 32-bit counts: texts[j] holds the digits of the
// magnitude from its first byte (lengths[j] of them, the rest spare), bit j
// of `negative` whether count j is negative.
struct DecimalQuad {
    uint64_t texts[4];
    uint32_t lengths[4];
    uint32_t negative;
};

// Whether the functions below are in use: the processor runs them and they
// are not switched off. They decline otherwise.
bool VectorFieldsSupported();

// Switches the vector formatter off (or back on, where the processor has
// it), so that the scalar path every other processor takes can be run and
// tested here. Output never depends on the switch.
void SetVectorFieldsEnabled(bool enabled);

// Two quads of times, made together (they share sign and binary exponent).
struct TimeQuadPair {
    TimeQuad quads[2];
};

// Times of indices firstIndex..firstIndex+7, each index * increment + origin
// in binary64 (product rounded before the sum, as ComputeTimeFromIndex).
bool FormatTimeQuads(int32_t firstIndex, double increment, double origin, TimeQuadPair& pair);

// Four little-endian binary32 values stored at `samples`.
bool FormatFixedQuad(const unsigned char* samples, FixedQuad& quad);

// Four little-endian signed 32-bit counts stored at `samples`.
bool FormatDecimalQuad(const unsigned char* samples, DecimalQuad& quad);

// Writes time j of a quad, with its separator; returns the end.
inline char* WriteTimeField(const TimeQuad& quad, size_t j, char* out) {
    out[0] = '-';  // kept only for negative times
    out += quad.negative ? 1 : 0;
    std::memcpy(out, &quad.texts[j], 8);
    std::memcpy(out + 8, &quad.suffixes[j], 8);  // the two spare bytes are overwritten next
    return out + 14;
}

// Writes value j of a quad; returns the end.
inline char* WriteFixedField(const FixedQuad& quad, size_t j, char* out) {
    out[0] = '-';  // kept only for negative values
    out += (quad.negative >> j) & 1;
    std::memcpy(out, &quad.texts[j], 8);
    return out + 8;
}

// Writes count j of a quad; returns the end.
inline char* WriteDecimalField(const DecimalQuad& quad, size_t j, char* out) {
    out[0] = '-';  // kept only for negative counts
    out += (quad.negative >> j) & 1;
    std::memcpy(out, &quad.texts[j], 8);
    return out + quad.lengths[j];
}

}  // namespace quillwave
