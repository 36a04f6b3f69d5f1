// Values on which the number formatters are compared with snprintf, and the
// comparison itself. Shared by the unit tests (small samples) and the
// exhaustive checker (all binary32 values, tens of millions of binary64).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quillwave::testing {

// Formats `value` with the program's formatter and with snprintf; returns
// an empty string when they agree, else a description of the difference.
std::string CompareExponent(double value);
std::string CompareFixed(float value);

// The same for the four-at-a-time formatters: each field of an accepted
// quad (or pair of quads of times, eight indices from firstIndex) is
// compared with snprintf; `accepted` (when given) tells whether the
// vector formatter took the quad. A declined quad is no difference.
std::string CompareTimeQuads(int32_t firstIndex, double increment, double origin,
                             bool* accepted = nullptr);
std::string CompareFixedQuad(const float (&values)[4], bool* accepted = nullptr);

// Calls `visit` with binary64 values of every kind that matters for "%e":
// `scale` multiplies how many of each random family are made.
//  - specials: zeros, infinities, NaNs of both signs, the extremes, subnormals
//  - exact ties: m * 2^-k with eight significant digits ending in 5, and
//    their neighbours one unit in the last place away
//  - decimal boundaries: powers of ten and their neighbours
//  - exact ties of large values (below 2^53)
//  - random bit patterns, and random values of decimal exponents -110..110
//  - sample times as the program computes them: index * increment + origin
void ForEachExponentCase(uint64_t scale, uint64_t seed, const std::function<void(double)>& visit);

// Calls `visit` with `count` random time bases (first index, increment,
// origin) of every plausible size and sign: increments 1e-20..1e10, origins
// 1e-17..1e13 or zero, and eight indices from the first below 2^31.
void ForEachTimeBase(uint64_t count, uint64_t seed,
                     const std::function<void(int32_t, double, double)>& visit);

}  // namespace quillwave::testing
