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

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text_output/digits.h"

namespace quillwave {

inline constexpr size_t kMaxExponentLength = 16;  // "-1.797693e+308"
inline constexpr size_t kMaxFixedLength = 48;  // "-340282346638528859811704183484516925440.000000"
inline constexpr size_t kMaxDecimalLength = 11;  // "-2147483648"
inline constexpr size_t kMaxHexLength = 8;       // "ffffffff"

size_t FormatExponent(double value, char* out);
size_t FormatFixed(float value, char* out);
size_t FormatDecimal(int32_t value, char* out);
size_t FormatHex(uint32_t value, char* out);

// "%x" of every byte, as two characters: "0".."f" then a spare byte, or
// "10".."ff".
inline constexpr auto kHexByteTexts = [] {
    std::array<std::array<char, 2>, 256> texts{};
    for (size_t value = 0; value < 256; ++value) {
        texts[value] = value < 16
                           ? std::array<char, 2>{kHexDigits[value], ' '}
                           : std::array<char, 2>{kHexDigits[value >> 4], kHexDigits[value & 0xF]};
    }
    return texts;
}();

// FormatHex of a byte, the only values logic lines hold, inline: one
// two-byte store from the table, and the length.
inline size_t FormatHexByte(uint8_t value, char* out) {
    std::memcpy(out, &kHexByteTexts[value], 2);
    return value < 16 ? 1 : 2;
}

}  // namespace quillwave
