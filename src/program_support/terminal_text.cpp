#include "program_support/terminal_text.h"

#include "export_output/utf8.h"
#include "text_output/digits.h"

namespace quillwave {

std::string WithoutControlCharacters(std::string_view line) {
    std::string text;
    text.reserve(line.size());
    while (!line.empty()) {
        const auto byte = static_cast<unsigned char>(line[0]);
        const size_t length = Utf8SequenceLength(line);
        const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(line[1]) < 0xA0;
        if ((length == 1 && byte >= 0x20 && byte != 0x7f) || (length > 1 && !c1)) {
            if (byte == '\\') text += '\\';
            text.append(line.substr(0, length));
            line.remove_prefix(length);
            continue;
        }
        for (size_t i = 0; i < (c1 ? 2 : 1); ++i) {
            const auto escaped = static_cast<unsigned char>(line[i]);
            if (escaped == '\n') {
                text += "\\n";
            } else if (escaped == '\t') {
                text += "\\t";
            } else {
                text += "\\x";
                text += kHexDigits[escaped >> 4];
                text += kHexDigits[escaped & 0xF];
            }
        }
        line.remove_prefix(c1 ? 2 : 1);
    }
    return text;
}

}  // namespace quillwave
