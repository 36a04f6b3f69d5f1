#include "program_support/progress_line.h"

#include <unistd.h>

#include <string>

#include "waveform_file/descriptor_io.h"

namespace quillwave {

ProgressLine StartProgressLine(int fd) {
    ProgressLine progress;
    progress.enabled = isatty(fd) == 1;
    progress.fd = fd;
    progress.start = std::chrono::steady_clock::now();
    return progress;
}

bool ProgressLineDue(const ProgressLine& progress, double& seconds) {
    using namespace std::chrono_literals;
    if (!progress.enabled) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - progress.start < 1s || (progress.shown && now - progress.lastDrawn < 100ms)) {
        return false;
    }
    seconds = std::chrono::duration<double>(now - progress.start).count();
    return true;
}

void DrawProgressLine(ProgressLine& progress, const char* text, size_t length) {
    std::string line = "\r";
    line.append(text, length);
    line += "\033[K";
    if (WriteAll(progress.fd, line.data(), line.size())) progress.shown = true;
    progress.lastDrawn = std::chrono::steady_clock::now();
}

void EraseProgressLine(ProgressLine& progress) {
    if (!progress.shown) return;
    WriteAll(progress.fd, "\r\033[K", 4);
    progress.shown = false;
}

}  // namespace quillwave
