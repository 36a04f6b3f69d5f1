// quillwave-export: writes every waveform of many captures as exact CSV,
// NumPy or MAT files (or sigrok sessions, WAV files), with a JSON
// description of each capture beside them.
//
//   quillwave-export [OPTION]... CAPTURE...
//
// The export itself is libquillwave's (quillwave_export_*); this file is
// the program around it: the command line, the messages (escaped for the
// terminal), the progress line, the signals and the exit status.
//
// Exit status: 0 when every waveform of every capture was exported, 1 when
// anything was not (each such thing has a message), 2 for a usage error,
// 128 + N when signal N interrupted the run.
#include "quillwave_export.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "program_support/processors.h"
#include "program_support/progress_line.h"
#include "program_support/terminal_text.h"
#include "quillwave/quillwave.h"
#include "waveform_file/descriptor_io.h"

#ifndef QUILLWAVE_VERSION
#define QUILLWAVE_VERSION "unknown"
#endif

namespace quillwave {
namespace {

constexpr const char* kProgram = "quillwave-export";
constexpr unsigned kMaxJobs = 1024;

constexpr const char* kHelp =
    "Usage: quillwave-export [OPTION]... CAPTURE...\n"
    "Write every waveform of each waveform capture file as a CSV, NumPy or MAT\n"
    "file of exact numbers (or a sigrok session or WAV file of the samples as\n"
    "stored), with a JSON description of the capture beside them.\n"
    "\n"
    "  -o, --output-dir=DIR  write the files into DIR (created if missing);\n"
    "                          default: the current folder\n"
    "  -f, --format=FORMAT   csv (the default), npy, sr (a sigrok session, for\n"
    "                          PulseView and sigrok-cli), wav or mat (for\n"
    "                          MATLAB, Octave and scipy.io.loadmat)\n"
    "  -j, --jobs=N          convert N waveforms at a time (default: the number\n"
    "                          of processors)\n"
    "      --force           replace existing output files\n"
    "      --info            print each capture's description (JSON) to standard\n"
    "                          output and write no files\n"
    "  -q, --quiet           show no progress line\n"
    "  -h, --help            display this help and exit\n"
    "  -V, --version         output version information and exit\n"
    "\n"
    "For a capture PATH/NAME.EXT, waveform K is written to NAME.wK.csv (or .npy,\n"
    ".sr, .wav, .mat) when quillwave converts it (one of no samples gives just\n"
    "the header), and the description to NAME.json. A CAPTURE of - reads\n"
    "standard input, whose files are named stdin.*.\n"
    "\n"
    "Each file appears under its name only once it is complete; an interrupted\n"
    "run leaves no partial file.\n"
    "\n"
    "Exit status: 0 if every waveform and description was written, 1 if\n"
    "anything was not (each with a message on standard error), 2 for a usage\n"
    "error, 128+N when interrupted by signal N.\n";

// ---------------------------------------------------------------------------
// Command line (GNU style: options anywhere, clustered short options, long
// options by any unambiguous prefix, "--" ends the options).

struct Options {
    std::string outputDir;  // empty: the current folder
    int format = QUILLWAVE_FORMAT_CSV;
    unsigned jobs = 0;  // 0: the number of processors
    bool force = false;
    bool info = false;
    bool quiet = false;
    std::vector<std::string> captures;
};

enum class OptionId : uint8_t { OutputDir, Format, Jobs, Force, Info, Quiet, Help, Version };

struct OptionSpec {
    OptionId id;
    const char* longName;
    char shortName;  // 0: long form only
    bool takesArgument;
};

constexpr OptionSpec kOptionSpecs[] = {
    {OptionId::OutputDir, "output-dir", 'o', true},
    {OptionId::Format, "format", 'f', true},
    {OptionId::Jobs, "jobs", 'j', true},
    {OptionId::Force, "force", 0, false},
    {OptionId::Info, "info", 0, false},
    {OptionId::Quiet, "quiet", 'q', false},
    {OptionId::Help, "help", 'h', false},
    {OptionId::Version, "version", 'V', false},
};

enum class ParseOutcome : uint8_t { Run, Help, Version, UsageError };

struct ParseState {
    Options options;
    std::string error;  // for UsageError
};

ParseOutcome ApplyOption(const OptionSpec& spec, std::string_view argument, ParseState& state) {
    Options& options = state.options;
    switch (spec.id) {
        case OptionId::OutputDir:
            if (argument.empty()) {
                state.error = "the output folder name is empty";
                return ParseOutcome::UsageError;
            }
            options.outputDir = argument;
            break;
        case OptionId::Format:
            if (argument == "csv") {
                options.format = QUILLWAVE_FORMAT_CSV;
            } else if (argument == "npy") {
                options.format = QUILLWAVE_FORMAT_NPY;
            } else if (argument == "mat") {
                options.format = QUILLWAVE_FORMAT_MAT;
            } else if (argument == "sr" || argument == "wav") {
                options.format = argument == "sr" ? QUILLWAVE_FORMAT_SR : QUILLWAVE_FORMAT_WAV;
                if (quillwave_format_available(options.format) == 0) {
                    state.error = "format '" + std::string(argument) +
                                  "' is not built into this quillwave-export (its library, " +
                                  (argument == "sr" ? "libzip" : "libsndfile") +
                                  ", was missing when it was built)";
                    return ParseOutcome::UsageError;
                }
            } else {
                state.error =
                    "invalid format '" + std::string(argument) + "' (csv, npy, sr, wav or mat)";
                return ParseOutcome::UsageError;
            }
            break;
        case OptionId::Jobs: {
            unsigned jobs = 0;
            const auto [end, problem] =
                std::from_chars(argument.data(), argument.data() + argument.size(), jobs);
            if (problem != std::errc() || end != argument.data() + argument.size() || jobs == 0 ||
                jobs > kMaxJobs) {
                state.error = "invalid number of jobs '" + std::string(argument) + "' (1 to " +
                              std::to_string(kMaxJobs) + ")";
                return ParseOutcome::UsageError;
            }
            options.jobs = jobs;
            break;
        }
        case OptionId::Force:
            options.force = true;
            break;
        case OptionId::Info:
            options.info = true;
            break;
        case OptionId::Quiet:
            options.quiet = true;
            break;
        case OptionId::Help:
            return ParseOutcome::Help;
        case OptionId::Version:
            return ParseOutcome::Version;
    }
    return ParseOutcome::Run;
}

ParseOutcome ParseLongOption(std::string_view text, int& i, int argc, char** argv,
                             ParseState& state) {
    const size_t equals = text.find('=');
    const std::string_view name = text.substr(0, equals);
    const OptionSpec* match = nullptr;
    std::string candidates;
    int prefixMatches = 0;
    for (const OptionSpec& spec : kOptionSpecs) {
        const std::string_view longName = spec.longName;
        if (longName == name) {
            match = &spec;
            prefixMatches = 1;
            break;
        }
        if (!name.empty() && longName.starts_with(name)) {
            match = &spec;
            ++prefixMatches;
            candidates += " '--" + std::string(longName) + "'";
        }
    }
    if (match == nullptr) {
        state.error = "unrecognized option '--" + std::string(name) + "'";
        return ParseOutcome::UsageError;
    }
    if (prefixMatches > 1) {
        state.error =
            "option '--" + std::string(name) + "' is ambiguous; possibilities:" + candidates;
        return ParseOutcome::UsageError;
    }
    const std::string fullName = std::string("--") + match->longName;
    if (!match->takesArgument) {
        if (equals != std::string_view::npos) {
            state.error = "option '" + fullName + "' doesn't allow an argument";
            return ParseOutcome::UsageError;
        }
        return ApplyOption(*match, {}, state);
    }
    if (equals != std::string_view::npos) {
        return ApplyOption(*match, text.substr(equals + 1), state);
    }
    if (i + 1 >= argc) {
        state.error = "option '" + fullName + "' requires an argument";
        return ParseOutcome::UsageError;
    }
    return ApplyOption(*match, argv[++i], state);
}

ParseOutcome ParseShortOptions(std::string_view cluster, int& i, int argc, char** argv,
                               ParseState& state) {
    for (size_t j = 0; j < cluster.size(); ++j) {
        const OptionSpec* match = nullptr;
        for (const OptionSpec& spec : kOptionSpecs) {
            if (spec.shortName != 0 && spec.shortName == cluster[j]) match = &spec;
        }
        if (match == nullptr) {
            state.error = std::string("invalid option -- '") + cluster[j] + "'";
            return ParseOutcome::UsageError;
        }
        if (!match->takesArgument) {
            const ParseOutcome outcome = ApplyOption(*match, {}, state);
            if (outcome != ParseOutcome::Run) return outcome;
            continue;
        }
        // The rest of the cluster, else the next argument, is the value.
        if (j + 1 < cluster.size()) return ApplyOption(*match, cluster.substr(j + 1), state);
        if (i + 1 >= argc) {
            state.error = std::string("option requires an argument -- '") + cluster[j] + "'";
            return ParseOutcome::UsageError;
        }
        return ApplyOption(*match, argv[++i], state);
    }
    return ParseOutcome::Run;
}

ParseOutcome ParseCommandLine(int argc, char** argv, ParseState& state) {
    bool onlyOperands = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        ParseOutcome outcome = ParseOutcome::Run;
        if (onlyOperands || argument.size() < 2 || argument[0] != '-') {
            state.options.captures.emplace_back(argument);  // "-" included
        } else if (argument == "--") {
            onlyOperands = true;
        } else if (argument[1] == '-') {
            outcome = ParseLongOption(argument.substr(2), i, argc, argv, state);
        } else {
            outcome = ParseShortOptions(argument.substr(1), i, argc, argv, state);
        }
        if (outcome != ParseOutcome::Run) return outcome;
    }
    if (state.options.captures.empty()) {
        state.error = "missing capture operand";
        return ParseOutcome::UsageError;
    }
    return ParseOutcome::Run;
}

// ---------------------------------------------------------------------------
// The run, as the library reports it

// The run the signal handlers cancel, and the signal that came (0: none).
std::atomic<quillwave_export*> gInterruptible{nullptr};
volatile std::sig_atomic_t gSignal = 0;

struct Report {
    ExportEnvironment environment;
    size_t captures = 0;
    ProgressLine progress;
    size_t capture = 0;  // 1-based: the one whose waveforms are being told
    bool anyFailure = false;
    bool describeOnly = false;
    int stdoutError = 0;  // the first failed write of a description
    std::string out;      // descriptions not yet written to standard output
};

constexpr size_t kStdoutBuffer = size_t{64} * 1024;

// Writes what standard output holds; after a failed write, nothing more (a
// closed pipe ends the program, as any other's).
void FlushStdout(Report& report) {
    if (report.stdoutError == 0 && !report.out.empty() &&
        !WriteAll(report.environment.stdoutFd, report.out.data(), report.out.size())) {
        report.stdoutError = errno != 0 ? errno : EIO;
    }
    report.out.clear();
}

// A description comes in pieces as it is made: gathered into few writes,
// or written as it comes where no buffer can be had.
void WriteStdout(Report& report, std::string_view text) {
    if (report.stdoutError != 0) return;
    if (report.out.size() + text.size() > kStdoutBuffer) FlushStdout(report);
    if (text.size() < kStdoutBuffer) {
        try {
            if (report.out.capacity() < kStdoutBuffer) report.out.reserve(kStdoutBuffer);
            report.out += text;
            return;
        } catch (const std::bad_alloc&) {
            FlushStdout(report);
        }
    }
    if (!WriteAll(report.environment.stdoutFd, text.data(), text.size())) {
        report.stdoutError = errno != 0 ? errno : EIO;
    }
}

void Say(Report& report, std::string_view line) {
    EraseProgressLine(report.progress);
    const std::string text = std::string(kProgram) + ": " + WithoutControlCharacters(line) + "\n";
    WriteAll(report.environment.stderrFd, text.data(), text.size());
    report.anyFailure = true;
}

void DrawProgress(Report& report, const quillwave_event* event) {
    double seconds = 0;
    if (!ProgressLineDue(report.progress, seconds)) return;
    const double megabytes = static_cast<double>(quillwave_event_bytes_written(event)) / 1e6;
    char line[200];
    const int length =
        std::snprintf(line, sizeof line,
                      "%s: capture %zu of %zu, %llu waveforms done, %.0f MB written, %.0f MB/s",
                      kProgram, report.capture, report.captures,
                      static_cast<unsigned long long>(quillwave_event_waveforms_done(event)),
                      megabytes, megabytes / seconds);
    if (length > 0) {
        DrawProgressLine(report.progress, line,
                         std::min(static_cast<size_t>(length), sizeof line - 1));
    }
}

void OnEvent(const quillwave_event* event, void* context) {
    auto& report = *static_cast<Report*>(context);
    switch (quillwave_event_kind(event)) {
        case QUILLWAVE_EVENT_PROGRESS:
            DrawProgress(report, event);
            return;
        case QUILLWAVE_EVENT_CAPTURE_BEGIN:
            report.capture = quillwave_event_capture(event) + 1;
            return;
        case QUILLWAVE_EVENT_DESCRIPTION:
            WriteStdout(report, quillwave_event_text(event));
            return;
        case QUILLWAVE_EVENT_CAPTURE_END:
            FlushStdout(report);  // each document as soon as it is complete
            [[fallthrough]];
        default: {
            const std::string_view text = quillwave_event_text(event);
            if (!text.empty()) Say(report, text);
            return;
        }
    }
}

// How many descriptors the run may still open: the limit, less those open
// now (the standard ones, any the parent left open). 0: no limit.
unsigned DescriptorBudget() {
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0 || descriptors.rlim_cur == RLIM_INFINITY) {
        return 0;
    }
    rlim_t open = 0;
    // The kernel's list of them, less the one reading it; where /proc is
    // missing, each possible number asked (4096 calls: a tenth of the
    // start-up time of a small export).
    if (DIR* list = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(list)) {
            if (entry->d_name[0] != '.') ++open;
        }
        closedir(list);
        open = open > 0 ? open - 1 : 0;
    } else {
        const rlim_t counted = std::min<rlim_t>(descriptors.rlim_cur, 4096);
        for (rlim_t fd = 0; fd < counted; ++fd) {
            if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++open;
        }
    }
    const rlim_t left = descriptors.rlim_cur > open ? descriptors.rlim_cur - open : 0;
    return static_cast<unsigned>(std::clamp<rlim_t>(left, 4, 1u << 30));
}

// Hands the options to a new export: false when memory cannot be had.
bool Configure(quillwave_export* exporter, const Options& options,
               const ExportEnvironment& environment) {
    const unsigned processors = std::max(environment.processorCount, 1u);
    const unsigned jobs = options.jobs != 0 ? options.jobs : std::clamp(processors, 1u, kMaxJobs);
    int failed = quillwave_export_set_format(exporter, options.format);
    failed |= quillwave_export_set_output_dir(exporter, options.outputDir.c_str());
    failed |= quillwave_export_set_jobs(exporter, jobs);
    failed |= quillwave_export_set_processors(exporter, processors);
    failed |= quillwave_export_set_force(exporter, options.force ? 1 : 0);
    failed |= quillwave_export_set_describe_only(exporter, options.info ? 1 : 0);
    failed |= quillwave_export_set_open_files(exporter, DescriptorBudget());
    failed |= quillwave_export_set_spool_folder(exporter, environment.spoolFolder);
    for (const std::string& capture : options.captures) {
        failed |= capture == "-"
                      ? quillwave_export_add_fd(exporter, environment.stdinFd, "-", "stdin")
                      : quillwave_export_add_path(exporter, capture.c_str());
    }
    return failed == 0;
}

int RunParsed(const Options& options, const ExportEnvironment& environment) {
    Report report;
    report.environment = environment;
    report.captures = options.captures.size();
    report.describeOnly = options.info;
    quillwave_export* exporter = quillwave_export_new();
    if (exporter == nullptr || !Configure(exporter, options, environment)) {
        quillwave_export_free(exporter);
        Say(report, "out of memory");
        return 1;
    }
    report.progress = StartProgressLine(environment.stderrFd);
    report.progress.enabled = report.progress.enabled && !options.quiet;
    // An output that is a pipe whose reader quit (a FIFO) is one file that
    // failed, told and counted as any other; the library keeps the signal
    // from its own writes, and a message to a closed standard error must
    // not end the run either. With --info the only output is standard
    // output, and a closed pipe there ends the run as it ends any other
    // tool's.
    const auto previousPipeHandler = options.info ? SIG_ERR : std::signal(SIGPIPE, SIG_IGN);
    gInterruptible.store(exporter);
    int osError = 0;
    const int status = gSignal != 0 ? QUILLWAVE_E_CANCELLED
                                    : quillwave_export_run(exporter, OnEvent, &report, &osError);
    gInterruptible.store(nullptr);
    quillwave_export_free(exporter);
    EraseProgressLine(report.progress);
    if (previousPipeHandler != SIG_ERR) std::signal(SIGPIPE, previousPipeHandler);
    if (status == QUILLWAVE_E_CANCELLED || gSignal != 0) {
        Say(report, "interrupted");
        return 128 + (gSignal != 0 ? static_cast<int>(gSignal) : SIGINT);
    }
    if (status == QUILLWAVE_E_CREATE) {
        Say(report, options.outputDir +
                        ": cannot create the folder: " + std::system_category().message(osError));
    } else if (status == QUILLWAVE_E_NO_MEMORY) {
        Say(report, "out of memory");
    }
    if (report.stdoutError != 0) {
        Say(report,
            "standard output: cannot write: " + std::system_category().message(report.stdoutError));
    }
    return report.anyFailure || status != QUILLWAVE_OK ? 1 : 0;
}

}  // namespace

int RunExport(int argc, char** argv, const ExportEnvironment& environment) {
    try {
        ParseState state;
        const ParseOutcome outcome = ParseCommandLine(argc, argv, state);
        switch (outcome) {
            case ParseOutcome::Help:
                return WriteAll(environment.stdoutFd, kHelp, std::strlen(kHelp)) ? 0 : 1;
            case ParseOutcome::Version: {
                const std::string text =
                    std::string(kProgram) + " (quillwave) " + QUILLWAVE_VERSION + "\n";
                return WriteAll(environment.stdoutFd, text.data(), text.size()) ? 0 : 1;
            }
            case ParseOutcome::UsageError: {
                const std::string text = std::string(kProgram) + ": " +
                                         WithoutControlCharacters(state.error) + "\nTry '" +
                                         kProgram + " --help' for more information.\n";
                WriteAll(environment.stderrFd, text.data(), text.size());
                return 2;
            }
            case ParseOutcome::Run:
                break;
        }
        return RunParsed(state.options, environment);
    } catch (const std::bad_alloc&) {
        constexpr std::string_view kOutOfMemory = "quillwave-export: out of memory\n";
        WriteAll(environment.stderrFd, kOutOfMemory.data(), kOutOfMemory.size());
        return 1;
    }
}

}  // namespace quillwave

#ifndef QUILLWAVE_NO_MAIN
namespace {

// Cancels the run: files being written are removed, complete ones stay.
void Interrupt(int signal) {
    quillwave::gSignal = signal;
    quillwave_export_cancel(quillwave::gInterruptible.load());
}

}  // namespace

int main(int argc, char** argv) {
    // Past a file size limit a write fails with its reason (EFBIG) instead
    // of the signal ending the program with files half written.
    std::signal(SIGXFSZ, SIG_IGN);
    if (!quillwave::MemoryToStartWith()) {
        constexpr char kMessage[] = "quillwave-export: out of memory\n";
        quillwave::WriteAll(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        return 1;
    }
    struct sigaction interrupt {};
    interrupt.sa_handler = Interrupt;
    sigemptyset(&interrupt.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &interrupt, nullptr);
    quillwave::ExportEnvironment environment;
    const char* folder = std::getenv("TMPDIR");
    environment.spoolFolder = folder != nullptr && *folder != '\0' ? folder : "/tmp";
    environment.processorCount = static_cast<unsigned>(quillwave::UsableProcessors());
    return quillwave::RunExport(argc, argv, environment);
}
#endif
