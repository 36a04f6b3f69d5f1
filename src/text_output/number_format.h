// The number fields of output lines, each byte for byte what C's printf
// writes for its conversion in the C locale:
//   FormatExponent  "%e" of a binary64 value   (sample times)
//   FormatFixed     "%f" of a binary32 value widened to binary64 (analog values)
//   FormatDecimal   "%d" / "%i" of a signed 32-bit value
//   FormatHex       "%x" of an unsigned value
// Each writes into `out`, which must have room for the field's maximum
// length below, and returns the number of characters written. No zero byte
// is appended.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillwave {

inline constexpr size_t kMaxExponentLength = 16;  // "-1.797693e+308"
inline constexpr size_t kMaxFixedLength = 48;  // "-340282346638528859811704183484516925440.000000"
inline constexpr size_t kMaxDecimalLength = 11;  // "-2147483648"
inline constexpr size_t kMaxHexLength = 8;       // "ffffffff"

size_t FormatExponent(double value, char* out);
size_t FormatFixed(float value, char* out);
size_t FormatDecimal(int32_t value, char* out);
size_t FormatHex(uint32_t value, char* out);

}  // namespace quillwave
