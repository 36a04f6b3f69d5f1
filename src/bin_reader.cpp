// quillwave: turns a waveform capture file into text.
//
//   quillwave <input file>                       lists the file's version and
//                                                one summary line per waveform
//   quillwave <input file> <out 1> ... <out n>   writes waveform k to output k
//
// The mode is chosen by the number of output names: fewer than the file's
// declared waveform count means listing (and no output file is touched).
// Every message goes to standard output, and every message is a failure:
// the exit status is 0 only when none was printed (and standard output
// could be written), else 1, so that a script can tell a lost waveform
// from a converted one. `quillwave --help` (or -h) and `quillwave
// --version` answer alone.
//
// Environment: TMPDIR names the folder where an input that cannot seek is
// copied first (default /tmp); QUILLWAVE_SCALAR=1 switches the vector
// formatter off, so the path of processors without it can be tested here.
#include "bin_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "export_output/output_file.h"
#include "program_support/processors.h"
#include "program_support/progress_line.h"
#include "text_output/conversion.h"
#include "text_output/summary.h"
#include "text_output/text_sink.h"
#include "text_output/vector_fields.h"
#include "waveform_file/header_readers.h"
#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_records.h"
#include "waveform_file/waveform_samples.h"

namespace quillwave {
namespace {

constexpr const char* kUsageLine = "quillwave <input file> <output file 1> ... <output file n>\n";
constexpr const char* kInvalidFileLine = "Invalid Veltranix Public Waveform File\n";

// Standard output, where every message goes, and whether a message (a
// failure) was written.
struct Messages {
    TextSink out;
    bool anyFailure = false;
};

// Messages are written out at once, so they appear while a long conversion
// goes on rather than at its end.
void WriteMessage(Messages& messages, const char* prefix, const char* name) {
    WriteText(messages.out, prefix);
    WriteText(messages.out, name);
    WriteText(messages.out, "\n");
    FlushTextSink(messages.out);
    messages.anyFailure = true;
}

// The input yielded less than it held when opened (it shrank, or a read
// failed): told once, after the waveform in which it happened.
void TellReadFailure(Messages& messages, const InputStream& input, const char* inputName,
                     bool& told) {
    if (!input.readFailed || told) return;
    told = true;
    WriteMessage(messages, "Unable to read ", inputName);
}

void RunListing(InputStream& input, const char* inputName, const FileHeader& fileHeader,
                Messages& messages) {
    TextSink& out = messages.out;
    const std::string versionLine = std::string("Veltranix Public Waveform File version ") +
                                    fileHeader.version[0] + '.' + fileHeader.version[1] + '\n';
    WriteText(out, versionLine);
    WaveformWalkMemo memo;
    bool readFailureTold = false;
    for (int32_t i = 0; i < fileHeader.waveformCount && out.error == 0; ++i) {
        const int64_t position = input.position;
        const uint64_t written = TextWritten(out);
        SummarizeWaveform(input, out, &memo);
        TellReadFailure(messages, input, inputName, readFailureTold);
        // Each waveform's walk depends only on where it starts. One that
        // wrote nothing and ended where it began would be repeated exactly
        // by every later one, so a file declaring 2^31 - 1 waveforms and
        // holding a few ends here instead of spinning.
        if (input.position == position && TextWritten(out) == written) break;
    }
}

// A progress line on standard error (the programs' shared drawer), for
// conversions that take more than a second while a person watches a
// terminal: redrawn after the output buffer is written out and after each
// waveform, and erased at the end.
struct Progress {
    ProgressLine line;
    const InputStream* input = nullptr;
    const TextSink* output = nullptr;
    int32_t waveform = 0;
    int32_t waveforms = 0;
    uint64_t earlierBytes = 0;  // text written to the outputs of earlier waveforms
};

void DrawProgress(void* context) {
    auto& progress = *static_cast<Progress*>(context);
    double seconds = 0;
    if (!ProgressLineDue(progress.line, seconds)) return;
    const InputStream& input = *progress.input;
    const int64_t read = std::min(input.furthestRead, input.size);
    const double percent = input.size > 0
                               ? 100.0 * static_cast<double>(read) / static_cast<double>(input.size)
                               : 100.0;
    const uint64_t written = progress.earlierBytes + TextWritten(*progress.output);
    char line[160];
    const int length = std::snprintf(
        line, sizeof line, "quillwave: waveform %d of %d, %.0f%% of input read, %.0f MB/s",
        progress.waveform + 1, progress.waveforms, percent,
        static_cast<double>(written) / 1e6 / seconds);
    if (length > 0) {
        DrawProgressLine(progress.line, line,
                         std::min(static_cast<size_t>(length), sizeof line - 1));
    }
}

// Opens an output file for writing, created or emptied. An output that is
// the input (by any path or link, or the pipe an input was copied from) is
// refused before anything is emptied, so a slip on the command line can
// never destroy the capture. A FIFO is opened without waiting for a reader:
// with none, the open fails at once instead of blocking forever. Symbolic
// links are followed, as the shell's ">" follows them.
int OpenOutputFile(const char* name, const InputStream& input) {
    struct stat info {};
    const int fd = OpenOutputInPlace(name, true, &info);
    if (fd < 0) return -1;
    if (IsSameFileAsInput(input, info)) {
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

// Converts waveform i into output name i.
void RunConversion(InputStream& input, const char* inputName, const FileHeader& fileHeader,
                   char** outputNames, Messages& messages, const ProgramEnvironment& environment) {
    bool readFailureTold = false;
    WaveformWalkMemo memo;
    TextSink file;  // one sink (and writer thread) serves every output file in turn
    // Under a memory limit, smaller buffers; with none to be had, each
    // output is a write that failed.
    const bool opened =
        OpenTextSinkAsMemoryAllows(file, -1, kDefaultSinkCapacity, kDefaultRingBuffers,
                                   environment.processors > 1 && fileHeader.waveformCount > 0);
    Progress progress{.line = StartProgressLine(environment.stderrFd),
                      .input = &input,
                      .output = &file,
                      .waveforms = fileHeader.waveformCount};
    if (progress.line.enabled) {
        file.afterFlush = DrawProgress;
        file.afterFlushContext = &progress;
    }
    for (int32_t i = 0; i < fileHeader.waveformCount; ++i) {
        progress.waveform = i;
        if (progress.line.enabled) DrawProgress(&progress);
        const char* name = outputNames[i];
        const int fd = OpenOutputFile(name, input);
        if (fd < 0 || !opened) {
            if (fd >= 0) close(fd);
            WriteMessage(messages, fd < 0 ? "Unable to open " : "Unable to write ", name);
            WaveformHeader skipped;
            IgnoreWaveform(input, skipped, &memo);
            TellReadFailure(messages, input, inputName, readFailureTold);
            continue;
        }
        RetargetTextSink(file, fd);
        // Memory that runs out while a waveform's lines are written costs
        // that output alone (its walk is done by then), told as a failed
        // write; the next waveform starts afresh.
        const WaveformSamples samples = ReadWaveformSamples(input, &memo);
        bool written = true;
        try {
            WriteWaveformLines(input, samples, file);
        } catch (const std::bad_alloc&) {
            written = false;
        }
        const bool flushed = FlushTextSink(file);
        const bool closed = close(fd) == 0;
        progress.earlierBytes += TextWritten(file);
        if (!written || !flushed || !closed) WriteMessage(messages, "Unable to write ", name);
        TellReadFailure(messages, input, inputName, readFailureTold);
    }
    EraseProgressLine(progress.line);
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

// The run once the messages' sink is open: the exit status.
int RunWithMessages(int argc, char** argv, const ProgramEnvironment& environment,
                    Messages& messages) {
    TextSink& out = messages.out;
    InputStream input;
    FileHeader fileHeader;
    if (argc < 2) {
        WriteText(out, kUsageLine);
        messages.anyFailure = true;
    } else if (!OpenInputStream(input, argv[1], environment.spoolFolder)) {
        WriteMessage(messages, "Unable to open ", argv[1]);
    } else {
        if (!ReadFileHeader(input, fileHeader) || fileHeader.cookie != PB_COOKIE) {
            WriteText(out, kInvalidFileLine);
            messages.anyFailure = true;
        } else if (argc - 2 < fileHeader.waveformCount) {
            RunListing(input, argv[1], fileHeader, messages);
        } else {
            RunConversion(input, argv[1], fileHeader, argv + 2, messages, environment);
        }
        CloseInputStream(input);
    }
    const bool outWritten = FlushTextSink(out);
    return messages.anyFailure || !outWritten ? 1 : 0;
}

}  // namespace

// The whole program, with what it takes from outside given as parameters.
int RunQuillwave(int argc, char** argv, const ProgramEnvironment& environment) {
    try {
        const int answered = AnswerHelpOrVersion(argc, argv, environment.stdoutFd);
        if (answered >= 0) return answered;
        Messages messages;
        if (!OpenTextSinkAsMemoryAllows(messages.out, environment.stdoutFd, size_t{64} * 1024, 0,
                                        false)) {
            return 1;
        }
        try {
            return RunWithMessages(argc, argv, environment, messages);
        } catch (const std::bad_alloc&) {
            // Memory ran out where no smaller buffer would do: what was
            // said is said, and the run failed.
            FlushTextSink(messages.out);
            return 1;
        }
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

}  // namespace quillwave

#ifndef QUILLWAVE_NO_MAIN
int main(int argc, char** argv) {
    // Past a file size limit a write fails (EFBIG) and is told as any
    // failed write, instead of the signal ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    // No room to work in: the run fails before anything is touched.
    if (!quillwave::MemoryToStartWith()) return 1;
    const char* scalar = std::getenv("QUILLWAVE_SCALAR");
    if (scalar != nullptr && *scalar != '\0' && std::string(scalar) != "0") {
        quillwave::SetVectorFieldsEnabled(false);
    }
    const char* tmpdir = std::getenv("TMPDIR");
    return quillwave::RunQuillwave(
        argc, argv,
        {.stdoutFd = STDOUT_FILENO,
         .stderrFd = STDERR_FILENO,
         .spoolFolder = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp",
         .processors = quillwave::UsableProcessors()});
}
#endif
