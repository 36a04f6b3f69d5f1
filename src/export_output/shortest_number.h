// Numbers as the export writes them: each the shortest text that reads back
// to exactly the same value, so that no two distinct samples or times share
// a text and every reader (numpy, pandas, strtod) recovers the stored bits.
//
//   binary64 (times)      the shortest round-trip text, laid out as
//                         std::to_chars does: "-0.0005", "1e-09",
//                         "0.0012345678901234567", "5e-04"
//   binary32 (values)     the same for binary32: "0.1" is the float nearest
//                         0.1, not the double
//   non-finite            "nan", "inf", "-inf": the spellings numpy and pandas
//                         read. Every NaN is written "nan", whatever its sign
//                         and payload: a sign on a NaN carries no value,
//                         readers disagree on "-nan", and the NPY files keep
//                         the exact bits for anyone who needs them
//   int32 (counts)        decimal, "-" for negatives
//   bytes (logic)         decimal 0-255
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillwave {

// Longest texts: sign, 17 or 9 significant digits, point, exponent.
inline constexpr size_t kMaxShortestDoubleLength = 24;  // -2.2250738585072014e-308
inline constexpr size_t kMaxShortestFloatLength = 15;   // -1.17549435e-38
inline constexpr size_t kMaxInt32Length = 11;           // -2147483648
inline constexpr size_t kMaxByteLength = 3;             // 255

// Each writes the text at `out` (no terminator) and returns its length. The
// number formatters store whole words, so they may write scratch bytes past
// the text: `out` must have kNumberRoom bytes of room.
inline constexpr size_t kNumberRoom = 48;
size_t FormatShortestDouble(double value, char* out);
size_t FormatShortestFloat(float value, char* out);
size_t FormatInt32(int32_t value, char* out);

// Times on a decimal grid. A time is computed from its sample index as
// index * increment + origin in binary64; when the increment and the origin
// are short decimals, it is mostly the binary64 nearest to the decimal
// (first + index * step) * 10^exponent, and then that decimal is its
// shortest text (the rounding interval is too narrow to hold a shorter one).
// Checking that takes a few integer operations, far fewer than searching
// for the shortest text; the times off the grid are searched as usual.
struct TimeGrid {
    int64_t first = 0;
    int64_t step = 0;
    uint64_t scale = 0;  // 10^-exponent
    int exponent = 0;    // -19..0
    bool usable = false;
};
TimeGrid MakeTimeGrid(double increment, double origin);
// FormatShortestDouble(time, out), for the time of sample `index`.
size_t FormatTimeOnGrid(double time, int32_t index, const TimeGrid& grid, char* out);

// The reference: std::to_chars' shortest text, with every NaN as "nan".
// The two above give the same text (they fall back on it whenever their
// own arithmetic cannot decide).
size_t FormatShortestDoubleWithToChars(double value, char* out);
size_t FormatShortestFloatWithToChars(float value, char* out);
size_t FormatByte(uint8_t value, char* out);

}  // namespace quillwave
