// The progress line both programs draw on standard error, for work that
// takes more than a second while a person watches a terminal: redrawn at
// most ten times a second, erased before any message and at the end. Each
// program words its own line; the drawing is this one.
#pragma once

#include <chrono>
#include <cstddef>

namespace quillwave {

struct ProgressLine {
    bool enabled = false;  // only when the descriptor is a terminal
    int fd = -1;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastDrawn;
    bool shown = false;
};

// A line on `fd` when it is a terminal, timed from now.
ProgressLine StartProgressLine(int fd);

// Whether the line is to be redrawn now; `seconds` is then the time since
// the start.
bool ProgressLineDue(const ProgressLine& progress, double& seconds);

// Draws `text` (without the leading "\r" and the trailing erase, which are
// added) and notes the time.
void DrawProgressLine(ProgressLine& progress, const char* text, size_t length);

void EraseProgressLine(ProgressLine& progress);

}  // namespace quillwave
