// quillwave: turns a waveform capture file into text.
//
//   quillwave <input file>                       lists the file's version and
//                                                one summary line per waveform
//   quillwave <input file> <out 1> ... <out n>   writes waveform k to output k
//
// The mode is chosen by the number of output names: fewer than the file's
// declared waveform count means listing (and no output file is touched).
// `quillwave --help` (or -h) and `quillwave --version` answer alone.
// Every message goes to standard output. The exit status is 0, except that a
// failure to write an output file or standard output makes it 1, so that
// lost data is never reported as success.
#include "bin_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "text_output/conversion.h"
#include "text_output/summary.h"
#include "text_output/text_sink.h"
#include "waveform_file/header_readers.h"
#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_records.h"

namespace quillwave {
namespace {

constexpr const char* kUsageLine = "quillwave <input file> <output file 1> ... <output file n>\n";
constexpr const char* kInvalidFileLine = "Invalid Veltranix Public Waveform File\n";

// Messages are written out at once, so they appear while a long conversion
// goes on rather than at its end.
void WriteMessage(TextSink& out, const char* prefix, const char* name) {
    WriteText(out, prefix);
    WriteText(out, name);
    WriteText(out, "\n");
    FlushTextSink(out);
}

void RunListing(InputStream& input, const FileHeader& fileHeader, TextSink& out) {
    const std::string versionLine = std::string("Veltranix Public Waveform File version ") +
                                    fileHeader.version[0] + '.' + fileHeader.version[1] + '\n';
    WriteText(out, versionLine);
    for (int32_t i = 0; i < fileHeader.waveformCount && !out.failed; ++i) {
        const int64_t position = input.position;
        const uint64_t written = TextWritten(out);
        SummarizeWaveform(input, out);
        // Each waveform's walk depends only on where it starts. One that
        // wrote nothing and ended where it began would be repeated exactly
        // by every later one, so a file declaring 2^31 - 1 waveforms and
        // holding a few ends here instead of spinning.
        if (input.position == position && TextWritten(out) == written) break;
    }
}

// A progress line on standard error, for conversions that take more than a
// second while a person watches a terminal: redrawn at most ten times a
// second, after the output buffer is written out and after each waveform,
// and erased at the end. Never on standard output, never without a terminal.
struct Progress {
    bool enabled = false;
    const InputStream* input = nullptr;
    const TextSink* output = nullptr;
    int32_t waveform = 0;
    int32_t waveforms = 0;
    uint64_t earlierBytes = 0;  // text written to the outputs of earlier waveforms
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastDrawn;
    bool shown = false;
};

void DrawProgress(void* context) {
    using namespace std::chrono_literals;
    auto& progress = *static_cast<Progress*>(context);
    const auto now = std::chrono::steady_clock::now();
    if (now - progress.start < 1s || (progress.shown && now - progress.lastDrawn < 100ms)) return;
    const double seconds = std::chrono::duration<double>(now - progress.start).count();
    const InputStream& input = *progress.input;
    const int64_t read = std::min(input.furthestRead, input.size);
    const double percent = input.size > 0
                               ? 100.0 * static_cast<double>(read) / static_cast<double>(input.size)
                               : 100.0;
    const uint64_t written = progress.earlierBytes + TextWritten(*progress.output);
    char line[160];
    const int length = std::snprintf(
        line, sizeof line, "\rquillwave: waveform %d of %d, %.0f%% of input read, %.0f MB/s\033[K",
        progress.waveform + 1, progress.waveforms, percent,
        static_cast<double>(written) / 1e6 / seconds);
    if (length > 0 && write(STDERR_FILENO, line, static_cast<size_t>(length)) > 0) {
        progress.shown = true;
    }
    progress.lastDrawn = now;
}

void EraseProgress(const Progress& progress) {
    if (progress.shown && write(STDERR_FILENO, "\r\033[K", 4) < 0) return;
}

// Opens an output file for writing, created or emptied. An output that is
// the input file itself (by any path or link) is refused before anything is
// emptied, so a slip on the command line can never destroy the capture.
int OpenOutputFile(const char* name, const struct stat& inputIdentity) {
    const int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    struct stat info {};
    if (fstat(fd, &info) != 0 ||
        (info.st_dev == inputIdentity.st_dev && info.st_ino == inputIdentity.st_ino)) {
        close(fd);
        return -1;
    }
    // An empty file is left alone: on ext4, truncating a file to nothing
    // makes its close start writing every page back at once (a guard for
    // files replaced by truncation), which costs a new output a quarter of
    // its conversion time.
    if (S_ISREG(info.st_mode) && info.st_size != 0 && ftruncate(fd, 0) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Converts waveform i into output name i. Returns false if any output could
// not be written completely.
bool RunConversion(InputStream& input, const FileHeader& fileHeader, char** outputNames,
                   TextSink& out) {
    struct stat inputIdentity {};
    fstat(input.fd, &inputIdentity);
    bool allWritten = true;
    TextSink file;  // one buffer serves every output file in turn
    OpenTextSink(file, -1);
    Progress progress{.enabled = isatty(STDERR_FILENO) == 1,
                      .input = &input,
                      .output = &file,
                      .waveforms = fileHeader.waveformCount,
                      .start = std::chrono::steady_clock::now()};
    if (progress.enabled) {
        file.afterFlush = DrawProgress;
        file.afterFlushContext = &progress;
    }
    for (int32_t i = 0; i < fileHeader.waveformCount; ++i) {
        progress.waveform = i;
        if (progress.enabled) DrawProgress(&progress);
        const char* name = outputNames[i];
        const int fd = OpenOutputFile(name, inputIdentity);
        if (fd < 0) {
            WriteMessage(out, "Unable to open ", name);
            WaveformHeader skipped;
            if (ReadWaveformHeader(input, skipped)) {
                IgnoreWaveformBuffers(input, skipped.bufferCount);
            }
            continue;
        }
        RetargetTextSink(file, fd);
        OutputWaveform(input, file);
        const bool flushed = FlushTextSink(file);
        const bool closed = close(fd) == 0;
        progress.earlierBytes += TextWritten(file);
        if (!flushed || !closed) {
            WriteMessage(out, "Unable to write ", name);
            allWritten = false;
        }
    }
    EraseProgress(progress);
    return allWritten;
}

// "--help" or "-h" (a short usage) or "--version" as the only argument, on
// standard output. Any other argument names a file, and a capture called
// --help is still ./--help. Returns the exit status, or -1 when the command
// line asks neither.
int AnswerHelpOrVersion(int argc, char** argv, int stdoutFd) {
    if (argc != 2) return -1;
    const std::string_view argument = argv[1];
    std::string text;
    if (argument == "--help" || argument == "-h") {
        text = std::string(kUsageLine) +
               "\n"
               "Turns a waveform capture file into text.\n"
               "  Listing     fewer output names than the file has waveforms (usually none):\n"
               "              prints the file's version and one summary line per waveform.\n"
               "  Conversion  at least one output name per waveform: writes waveform k to\n"
               "              output file k, one line of time and value(s) per sample.\n"
               "\n"
               "Exit status: 0 when nothing failed; 1 when any failure message was printed\n"
               "(the usage line, \"Unable to open\", \"Invalid Veltranix Public Waveform File\",\n"
               "\"Unable to write\", \"Unable to read\").\n"
               "\n"
               "quillwave --version prints the version; a capture named --help is ./--help.\n"
               "The manual: man quillwave. To write every waveform losslessly as CSV or\n"
               "NumPy files, use quillwave-export (man quillwave-export).\n";
    } else if (argument == "--version") {
        text = "quillwave " QUILLWAVE_VERSION "\n";
    } else {
        return -1;
    }
    TextSink out;
    OpenTextSink(out, stdoutFd, text.size());
    WriteText(out, text);
    return FlushTextSink(out) ? 0 : 1;
}

}  // namespace

// The whole program, with its standard output given as a descriptor.
int RunQuillwave(int argc, char** argv, int stdoutFd) {
    const int answered = AnswerHelpOrVersion(argc, argv, stdoutFd);
    if (answered >= 0) return answered;
    TextSink out;
    OpenTextSink(out, stdoutFd, size_t{64} * 1024);
    int status = 0;
    InputStream input;
    FileHeader fileHeader;
    if (argc < 2) {
        WriteText(out, kUsageLine);
    } else if (!OpenInputStream(input, argv[1])) {
        WriteMessage(out, "Unable to open ", argv[1]);
    } else {
        if (!ReadFileHeader(input, fileHeader) || fileHeader.cookie != PB_COOKIE) {
            WriteText(out, kInvalidFileLine);
        } else if (argc - 2 < fileHeader.waveformCount) {
            RunListing(input, fileHeader, out);
        } else if (!RunConversion(input, fileHeader, argv + 2, out)) {
            status = 1;
        }
        CloseInputStream(input);
    }
    if (!FlushTextSink(out)) status = 1;
    return status;
}

}  // namespace quillwave

#ifndef QUILLWAVE_NO_MAIN
int main(int argc, char** argv) { return quillwave::RunQuillwave(argc, argv, STDOUT_FILENO); }
#endif
