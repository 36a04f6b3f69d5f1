#include "text_output/number_format.h"

#include <cstdio>

namespace quillwave {
namespace {

template <typename T>
size_t FormatWith(char* out, size_t room, const char* format, T value) {
    char field[64];
    const int length = std::snprintf(field, sizeof field, format, value);
    for (int i = 0; i < length && static_cast<size_t>(i) < room; ++i) out[i] = field[i];
    return static_cast<size_t>(length);
}

}  // namespace

size_t FormatExponent(double value, char* out) {
    return FormatWith(out, kMaxExponentLength, "%e", value);
}

size_t FormatFixed(float value, char* out) {
    return FormatWith(out, kMaxFixedLength, "%f", static_cast<double>(value));
}

size_t FormatDecimal(int32_t value, char* out) {
    return FormatWith(out, kMaxDecimalLength, "%d", value);
}

size_t FormatHex(uint32_t value, char* out) {
    return FormatWith(out, kMaxHexLength, "%x", value);
}

}  // namespace quillwave
