// Telling valid UTF-8 from other bytes: for JSON strings, and for the
// programs' messages, which keep valid text and escape the rest.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillwave {

// Length of the valid UTF-8 sequence at the start of `bytes` (not empty),
// or 0 when its first byte does not begin one.
size_t Utf8SequenceLength(std::string_view bytes);

}  // namespace quillwave
