// Messages that name files reach a terminal: what the programs do to a
// name before it goes into a message.
#pragma once

#include <string>
#include <string_view>

namespace quillwave {

// A message's text with every byte that could end its line or that a
// terminal could take as a command written as an escape: "\n", "\t", and
// "\xHH" for the other C0 controls and DEL, for the C1 controls (U+0080 to
// U+009F, each of their two UTF-8 bytes) and for any byte that is not valid
// UTF-8. A backslash is doubled, so that an escape reads one way only. A
// name may hold any byte but "/" and NUL.
std::string WithoutControlCharacters(std::string_view line);

}  // namespace quillwave
