#include "export_output/shortest_number.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace quillwave {
namespace {

// std::to_chars writes a negative NaN as "-nan"; every NaN is "nan" here.
template <typename Float>
size_t FormatShortest(Float value, char* out, size_t room) {
    if (std::isnan(value)) {
        std::memcpy(out, "nan", 3);
        return 3;
    }
    // The buffer is the longest text long, so this cannot fail.
    return static_cast<size_t>(std::to_chars(out, out + room, value).ptr - out);
}

// "0".."255" by table: a logic byte costs one copy.
struct ByteTexts {
    std::array<std::array<char, 4>, 256> texts{};  // digits, then the length
    constexpr ByteTexts() {
        for (unsigned v = 0; v < 256; ++v) {
            auto& text = texts[v];
            unsigned length = 0;
            if (v >= 100) text[length++] = static_cast<char>('0' + v / 100);
            if (v >= 10) text[length++] = static_cast<char>('0' + v / 10 % 10);
            text[length++] = static_cast<char>('0' + v % 10);
            text[3] = static_cast<char>(length);
        }
    }
};
constexpr ByteTexts kByteTexts;

}  // namespace

size_t FormatShortestDouble(double value, char* out) {
    return FormatShortest(value, out, kMaxShortestDoubleLength);
}

size_t FormatShortestFloat(float value, char* out) {
    return FormatShortest(value, out, kMaxShortestFloatLength);
}

size_t FormatInt32(int32_t value, char* out) {
    return static_cast<size_t>(std::to_chars(out, out + kMaxInt32Length, value).ptr - out);
}

size_t FormatByte(uint8_t value, char* out) {
    const auto& text = kByteTexts.texts[value];
    std::memcpy(out, text.data(), 3);  // the room is always there; only `length` count
    return static_cast<size_t>(text[3]);
}

}  // namespace quillwave
