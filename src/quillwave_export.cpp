// quillwave-export: writes every waveform of many captures as exact CSV or
// NumPy files, with a JSON description of each capture beside them.
//
//   quillwave-export [OPTION]... CAPTURE...
//
// The main thread takes the captures in turn: it opens one, walks its
// waveforms (headers only, cheap) and queues a conversion for each waveform
// that yields samples; a pool of worker threads converts them, each through
// its own stream over its own descriptor. Everything the user sees is
// emitted by the main thread in one fixed order (a capture's messages, then
// per waveform its message and its JSON entry) as the conversions finish,
// so files, messages and descriptions are the same for every job count.
// A job whose processor has an idle partner (fewer jobs converting than
// half the processors) shares each CSV file's formatting with its sink's
// writer thread; the bytes are the same either way.
//
// Exit status: 0 when every waveform of every capture was exported, 1 when
// anything was not (each such thing has a message), 2 for a usage error.
#include "quillwave_export.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "export_output/capture_walk.h"
#include "export_output/json_description.h"
#include "export_output/sample_files.h"
#include "text_output/text_sink.h"
#include "waveform_file/descriptor_io.h"
#include "waveform_file/header_readers.h"
#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_records.h"
#include "waveform_file/waveform_samples.h"

#ifndef QUILLWAVE_VERSION
#define QUILLWAVE_VERSION "unknown"
#endif

namespace quillwave {
namespace {

constexpr const char* kProgram = "quillwave-export";
constexpr unsigned kMaxJobs = 1024;
// Each job's output sink: a ring of a few large buffers, so that the writer
// thread is woken rarely (a wake-up costs more than a write call).
constexpr size_t kJobSinkCapacity = size_t{2} << 20;
constexpr size_t kJobSinkBuffers = 3;

constexpr const char* kHelp =
    "Usage: quillwave-export [OPTION]... CAPTURE...\n"
    "Write every waveform of each waveform capture file as a CSV or NumPy file of\n"
    "exact numbers, with a JSON description of the capture beside them.\n"
    "\n"
    "  -o, --output-dir=DIR  write the files into DIR (created if missing);\n"
    "                          default: the current folder\n"
    "  -f, --format=FORMAT   csv (the default) or npy\n"
    "  -j, --jobs=N          convert N waveforms at a time (default: the number\n"
    "                          of processors)\n"
    "      --force           overwrite existing output files\n"
    "      --info            print each capture's description (JSON) to standard\n"
    "                          output and write no files\n"
    "  -q, --quiet           show no progress line\n"
    "  -h, --help            display this help and exit\n"
    "  -V, --version         output version information and exit\n"
    "\n"
    "For a capture PATH/NAME.EXT, waveform K is written to NAME.wK.csv (or .npy)\n"
    "when quillwave converts it (one of no samples gives just the header), and\n"
    "the description to NAME.json. A CAPTURE of - reads standard input, whose\n"
    "files are named stdin.*.\n"
    "\n"
    "Exit status: 0 if every waveform and description was written, 1 if\n"
    "anything was not (each with a message on standard error), 2 for a usage\n"
    "error.\n";

// ---------------------------------------------------------------------------
// Command line (GNU style: options anywhere, clustered short options, long
// options by any unambiguous prefix, "--" ends the options).

struct Options {
    std::string outputDir;  // empty: the current folder
    ExportFormat format = ExportFormat::Csv;
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
                options.format = ExportFormat::Csv;
            } else if (argument == "npy") {
                options.format = ExportFormat::Npy;
            } else {
                state.error = "invalid format '" + std::string(argument) + "' (csv or npy)";
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
// Output files

std::string ErrorText(int error) {
    char buffer[256];
    // GNU strerror_r: thread-safe, returns the text (not always in buffer).
    return strerror_r(error, buffer, sizeof buffer);
}

using FileIdentity = std::pair<dev_t, ino_t>;

struct CreatedOutput {
    int fd = -1;
    bool regular = false;  // a regular file: removed again if it cannot be completed
    std::string failure;   // why it could not be created, when fd < 0
};

// Creates an output file: a new one (O_EXCL, so an existing file or link is
// never touched) or, with --force, an existing one emptied. An output that
// is one of the captures being read is refused before anything is emptied.
// An existing FIFO is opened without waiting for a reader (with none, the
// open fails at once instead of hanging the run).
CreatedOutput CreateOutput(const std::string& path, bool force,
                           const std::set<FileIdentity>& inputs) {
    CreatedOutput created;
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (force ? 0 : O_EXCL);
    const int fd = open(path.c_str(), flags, 0666);
    if (fd < 0) {
        created.failure = errno == EEXIST && !force
                              ? path + " exists (use --force to overwrite)"
                              : "cannot create " + path + ": " + ErrorText(errno);
        return created;
    }
    struct stat info {};
    const int fileFlags = fcntl(fd, F_GETFL);
    if (fileFlags < 0 || fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK) != 0 ||
        fstat(fd, &info) != 0) {
        created.failure = "cannot create " + path + ": " + ErrorText(errno);
        close(fd);
        return created;
    }
    if (inputs.contains({info.st_dev, info.st_ino})) {
        created.failure = path + " is one of the captures being read; not overwritten";
        close(fd);
        return created;
    }
    // Only a non-empty file is emptied: truncating an empty one costs ext4 a
    // write-back of the whole new file at close.
    if (S_ISREG(info.st_mode) && info.st_size != 0 && ftruncate(fd, 0) != 0) {
        created.failure = "cannot write " + path + ": " + ErrorText(errno);
        close(fd);
        return created;
    }
    created.fd = fd;
    created.regular = S_ISREG(info.st_mode);
    return created;
}

// Closes an output after its bytes were written; on any failure the file,
// when a regular one, is removed so no partial file looks complete.
// Returns the failure text, empty when all went well.
std::string FinishOutput(const std::string& path, const CreatedOutput& created, TextSink& sink,
                         std::string failure) {
    const bool flushed = FlushTextSink(sink);
    const int writeError = sink.error;
    const int closed = close(created.fd);
    if (failure.empty() && !flushed) {
        failure = "cannot write " + path + ": " + ErrorText(writeError);
    }
    if (failure.empty() && closed != 0) failure = "cannot write " + path + ": " + ErrorText(errno);
    if (!failure.empty() && created.regular) unlink(path.c_str());
    return failure;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// ---------------------------------------------------------------------------
// Conversions and the pool that runs them

struct CaptureFile {
    InputStream stream;  // the main thread's walk; conversions read through dups
    CaptureFile() = default;
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;
    ~CaptureFile() { CloseInputStream(stream); }
};

struct Settings {
    ExportFormat format = ExportFormat::Csv;
    bool force = false;
    const char* spoolFolder = "/tmp";
    std::set<FileIdentity> inputs;
    unsigned processors = 1;
    std::atomic<uint64_t> bytesWritten{0};
    std::atomic<unsigned> converting{0};  // conversions running now
};

// Where a job writes its files: one sink, retargeted from file to file, so
// that its writer thread and buffers serve the whole run.
struct JobSink {
    TextSink sink;
    uint64_t counted = 0;  // of sink.flushed, already added to bytesWritten
    std::atomic<uint64_t>* bytesWritten = nullptr;
};

// Called by the sink after each buffer it hands on: feeds the progress line.
void CountFlushed(void* context) {
    auto& job = *static_cast<JobSink*>(context);
    job.bytesWritten->fetch_add(job.sink.flushed - job.counted, std::memory_order_relaxed);
    job.counted = job.sink.flushed;
}

// Opens the job's sink on its first use (a job that gets no conversion
// starts no writer thread): a pipelined one when a thread can be had, the
// same bytes otherwise.
void OpenJobSink(JobSink& job, Settings& settings) {
    if (job.bytesWritten != nullptr) return;
    if (!OpenPipelinedTextSink(job.sink, -1, kJobSinkCapacity, kJobSinkBuffers)) {
        OpenTextSink(job.sink, -1, kJobSinkCapacity);
    }
    job.bytesWritten = &settings.bytesWritten;
    job.sink.afterFlush = CountFlushed;
    job.sink.afterFlushContext = &job;
}

struct Conversion {
    std::shared_ptr<CaptureFile> capture;
    WaveformSamples samples;
    std::string outputPath;
    std::string failure;  // the result: empty when exported
    bool done = false;    // guarded by the pool's mutex
};

void Convert(Conversion& conversion, Settings& settings, JobSink& job) {
    const CreatedOutput created =
        CreateOutput(conversion.outputPath, settings.force, settings.inputs);
    if (created.fd < 0) {
        conversion.failure = created.failure;
        return;
    }
    OpenJobSink(job, settings);
    TextSink& sink = job.sink;
    RetargetTextSink(sink, created.fd);
    job.counted = 0;
    // Decided once per file: sharing while every processor is busy would
    // only make the threads wait for each other.
    const unsigned running = settings.converting.fetch_add(1) + 1;
    const bool share = 2 * running <= settings.processors;
    std::string failure;
    // Each conversion has its own stream: a stream's read-ahead window is
    // not to be shared between threads.
    InputStream stream;
    const int fd = dup(conversion.capture->stream.fd);
    if (fd < 0 || !OpenInputStreamFromFd(stream, fd, settings.spoolFolder)) {
        failure = "cannot read the capture again: " + ErrorText(errno);
    } else if ((!WriteSampleFile(stream, conversion.samples, settings.format, sink, share) &&
                sink.error == 0) ||
               stream.readFailed) {
        failure = kCaptureReadFailure;  // a failed write has its own message (FinishOutput)
    }
    settings.converting.fetch_sub(1);
    CloseInputStream(stream);
    conversion.failure = FinishOutput(conversion.outputPath, created, sink, failure);
}

struct Pool {
    std::mutex mutex;
    std::condition_variable queued;    // a conversion was queued, or the pool stops
    std::condition_variable finished;  // a conversion finished
    std::deque<Conversion*> waiting;
    bool stopping = false;
    std::vector<std::thread> threads;
};

void RunWorker(Pool& pool, Settings& settings) {
    JobSink job;
    for (;;) {
        Conversion* conversion = nullptr;
        {
            std::unique_lock<std::mutex> lock(pool.mutex);
            pool.queued.wait(lock, [&] { return pool.stopping || !pool.waiting.empty(); });
            if (pool.waiting.empty()) return;
            conversion = pool.waiting.front();
            pool.waiting.pop_front();
        }
        Convert(*conversion, settings, job);
        {
            const std::lock_guard<std::mutex> lock(pool.mutex);
            conversion->done = true;
        }
        pool.finished.notify_all();
    }
}

// ---------------------------------------------------------------------------
// What the user sees, in order

// A capture as the emitter writes its description.
struct CaptureReport {
    std::string path;                 // as named on the command line
    size_t number = 0;                // 1-based, for the progress line
    TextSink* description = nullptr;  // where its JSON document goes, if anywhere
    std::string jsonPath;
    CreatedOutput json;  // the file, unless --info
    TextSink jsonSink;
    size_t entries = 0;
};

enum class SlotKind : uint8_t { Message, CaptureStart, Waveform, CaptureEnd };

// One thing to emit. Slots are emitted strictly in the order queued; a
// waveform's slot waits for its conversion.
struct Slot {
    SlotKind kind = SlotKind::Message;
    std::shared_ptr<CaptureReport> capture;
    std::string text;  // Message: the line; CaptureStart: the document's start
    int64_t waveformNumber = 0;
    WaveformSamples samples;
    std::string fileName;  // the waveform's file, when it yields samples
    std::string status;    // without a conversion: "exported" or the reason
    std::unique_ptr<Conversion> conversion;
};

struct Progress {
    bool enabled = false;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastDrawn;
    bool shown = false;
    size_t captures = 0;
    size_t capture = 0;  // the one being emitted
    uint64_t waveforms = 0;
};

struct Run {
    Options options;
    ExportEnvironment environment;
    Settings settings;
    Pool pool;
    std::deque<std::unique_ptr<Slot>> slots;
    size_t maxSlots = 0;
    // Captures opened and not yet emitted to their end: each holds its own
    // descriptor and its description's until then.
    size_t heldCaptures = 0;
    size_t maxHeldCaptures = SIZE_MAX;
    std::map<std::string, std::string> stems;  // stem -> the capture that has it
    TextSink out;                              // standard output (--info)
    JobSink ownJob;                            // converting on this thread (no workers)
    bool anyFailure = false;
    Progress progress;
};

void EraseProgress(Run& run) {
    if (!run.progress.shown) return;
    WriteAll(run.environment.stderrFd, "\r\033[K", 4);
    run.progress.shown = false;
}

void DrawProgress(Run& run) {
    using namespace std::chrono_literals;
    Progress& progress = run.progress;
    if (!progress.enabled) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - progress.start < 1s || (progress.shown && now - progress.lastDrawn < 100ms)) return;
    const double seconds = std::chrono::duration<double>(now - progress.start).count();
    const double megabytes = static_cast<double>(run.settings.bytesWritten.load()) / 1e6;
    char line[200];
    const int length = std::snprintf(
        line, sizeof line,
        "\r%s: capture %zu of %zu, %llu waveforms done, %.0f MB written, %.0f MB/s\033[K", kProgram,
        progress.capture, progress.captures, static_cast<unsigned long long>(progress.waveforms),
        megabytes, megabytes / seconds);
    if (length > 0 && WriteAll(run.environment.stderrFd, line,
                               std::min(static_cast<size_t>(length), sizeof line - 1))) {
        progress.shown = true;
    }
    progress.lastDrawn = now;
}

// A message's text with every byte that could end its line or that a
// terminal could take as a command written as an escape: "\n", "\t", and
// "\xHH" for the other C0 controls and DEL, for the C1 controls (U+0080 to
// U+009F, each of their two UTF-8 bytes) and for any byte that is not valid
// UTF-8. A backslash is doubled, so that an escape reads one way only. A
// name may hold any byte but "/" and NUL.
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
                constexpr const char* kHex = "0123456789abcdef";
                text += "\\x";
                text += kHex[escaped >> 4];
                text += kHex[escaped & 0xF];
            }
        }
        line.remove_prefix(c1 ? 2 : 1);
    }
    return text;
}

void Say(Run& run, const std::string& line) {
    EraseProgress(run);
    const std::string text = std::string(kProgram) + ": " + WithoutControlCharacters(line) + "\n";
    WriteAll(run.environment.stderrFd, text.data(), text.size());
    run.anyFailure = true;
}

void AppendDescription(CaptureReport& capture, const std::string& text) {
    if (capture.description != nullptr) WriteText(*capture.description, text);
}

void EmitSlot(Run& run, Slot& slot) {
    CaptureReport* capture = slot.capture.get();
    switch (slot.kind) {
        case SlotKind::Message:
            Say(run, slot.text);
            break;
        case SlotKind::CaptureStart:
            run.progress.capture = capture->number;
            AppendDescription(*capture, slot.text);
            break;
        case SlotKind::Waveform: {
            const std::string& status = slot.conversion ? slot.conversion->failure.empty()
                                                              ? std::string("exported")
                                                              : slot.conversion->failure
                                                        : slot.status;
            const bool exported = status == "exported";
            if (!exported) {
                Say(run, capture->path + ": waveform " + std::to_string(slot.waveformNumber) +
                             ": " + status);
            }
            AppendDescription(*capture, DescribeWaveform(capture->entries++, slot.samples,
                                                         exported ? slot.fileName : "", status));
            ++run.progress.waveforms;
            break;
        }
        case SlotKind::CaptureEnd:
            --run.heldCaptures;
            AppendDescription(*capture, DescribeCaptureEnd(capture->entries));
            if (run.options.info) {
                FlushTextSink(run.out);  // each document as soon as it is complete
            } else if (capture->description != nullptr) {
                const std::string failure =
                    FinishOutput(capture->jsonPath, capture->json, capture->jsonSink, {});
                if (!failure.empty()) Say(run, capture->path + ": " + failure);
            }
            break;
    }
}

// Emits the slots at the front whose conversions are done. With `all`, waits
// for every slot; otherwise waits only while more than maxSlots are queued.
void EmitSlots(Run& run, bool all) {
    using namespace std::chrono_literals;
    while (!run.slots.empty()) {
        Slot& front = *run.slots.front();
        if (front.conversion) {
            std::unique_lock<std::mutex> lock(run.pool.mutex);
            if (!front.conversion->done) {
                if (!all && run.slots.size() <= run.maxSlots) return;
                run.pool.finished.wait_for(lock, 100ms);
                lock.unlock();
                DrawProgress(run);
                continue;
            }
        }
        EmitSlot(run, front);
        run.slots.pop_front();
        DrawProgress(run);
    }
}

void Queue(Run& run, std::unique_ptr<Slot> slot) {
    if (slot->conversion && run.pool.threads.empty()) {
        Convert(*slot->conversion, run.settings, run.ownJob);
        const std::lock_guard<std::mutex> lock(run.pool.mutex);
        slot->conversion->done = true;
    } else if (slot->conversion) {
        {
            const std::lock_guard<std::mutex> lock(run.pool.mutex);
            run.pool.waiting.push_back(slot->conversion.get());
        }
        run.pool.queued.notify_one();
    }
    run.slots.push_back(std::move(slot));
    EmitSlots(run, false);
}

void QueueMessage(Run& run, std::string line) {
    auto slot = std::make_unique<Slot>();
    slot->text = std::move(line);
    Queue(run, std::move(slot));
}

// ---------------------------------------------------------------------------
// Captures

std::string StemOf(const std::string& path) {
    if (path == "-") return "stdin";
    std::string stem = std::filesystem::path(path).stem().string();
    return stem.empty() ? "capture" : stem;
}

// Opens a capture; on failure, the message's reason.
bool OpenCapture(Run& run, const std::string& path, InputStream& stream, std::string& failure) {
    const int fd =
        path == "-" ? dup(run.environment.stdinFd) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        failure = "cannot open: " + ErrorText(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        failure = "cannot open: " + ErrorText(EISDIR);
        close(fd);
        return false;
    }
    errno = 0;
    if (!OpenInputStreamFromFd(stream, fd, run.environment.spoolFolder)) {
        failure = "cannot open: " + (errno != 0 ? ErrorText(errno) : std::string("cannot read it"));
        return false;
    }
    return true;
}

void QueueWaveform(Run& run, const std::shared_ptr<CaptureReport>& report,
                   const std::shared_ptr<CaptureFile>& file, const std::string& stem,
                   int64_t number, const WaveformSamples& samples) {
    auto slot = std::make_unique<Slot>();
    slot->kind = SlotKind::Waveform;
    slot->capture = report;
    slot->waveformNumber = number;
    slot->samples = samples;
    if (YieldsSamples(samples)) {
        slot->fileName =
            stem + ".w" + std::to_string(number) + "." + FormatExtension(run.options.format);
        if (run.options.info) {
            slot->status = "exported";
        } else {
            slot->conversion = std::make_unique<Conversion>();
            slot->conversion->capture = file;
            slot->conversion->samples = samples;
            slot->conversion->outputPath = JoinPath(run.options.outputDir, slot->fileName);
        }
    } else {
        slot->status = DescribeNoSamples(samples);
    }
    Queue(run, std::move(slot));
}

void ExportCapture(Run& run, const std::string& path, size_t number) {
    // Under a tight descriptor limit, a capture is opened only once the
    // earlier ones are done with theirs.
    if (run.heldCaptures >= run.maxHeldCaptures) EmitSlots(run, true);
    auto file = std::make_shared<CaptureFile>();
    std::string failure;
    if (!OpenCapture(run, path, file->stream, failure)) {
        QueueMessage(run, path + ": " + failure);
        return;
    }
    FileHeader header;
    if (!ReadFileHeader(file->stream, header)) {
        QueueMessage(run, path + ": not a capture: shorter than the 12-byte file header");
        return;
    }
    if (header.cookie != PB_COOKIE) {
        QueueMessage(run, path + ": not a capture: it does not start with \"VX\"");
        return;
    }
    const std::string stem = StemOf(path);
    const auto [earlier, isNew] = run.stems.try_emplace(stem, path);
    // Descriptions alone (--info) write no file, so names cannot collide.
    if (!isNew && !run.options.info) {
        QueueMessage(run, path + ": its files would have the same names as those of " +
                              earlier->second + " (" + stem + ".*); not exported");
        return;
    }
    auto report = std::make_shared<CaptureReport>();
    report->path = path;
    report->number = number;
    ++run.heldCaptures;  // until its end is emitted
    if (run.options.info) {
        report->description = &run.out;
    } else {
        report->jsonPath = JoinPath(run.options.outputDir, stem + ".json");
        report->json = CreateOutput(report->jsonPath, run.options.force, run.settings.inputs);
        if (report->json.fd < 0) {
            QueueMessage(run, path + ": " + report->json.failure);
        } else {
            OpenTextSink(report->jsonSink, report->json.fd, size_t{64} * 1024);
            report->description = &report->jsonSink;
        }
    }
    auto start = std::make_unique<Slot>();
    start->kind = SlotKind::CaptureStart;
    start->capture = report;
    start->text = DescribeCaptureStart(header);
    Queue(run, std::move(start));
    WaveformWalkMemo memo;  // one per capture: a step's end depends only on the file
    const WalkExtent extent =
        WalkWaveforms(file->stream, header.waveformCount, memo,
                      [&](int64_t k, const WaveformSamples& samples) {
                          QueueWaveform(run, report, file, stem, k + 1, samples);
                      });
    const std::string walkEnd =
        DescribeWalkEnd(extent, header.waveformCount, file->stream.readFailed);
    if (!walkEnd.empty()) QueueMessage(run, path + ": " + walkEnd);
    auto end = std::make_unique<Slot>();
    end->kind = SlotKind::CaptureEnd;
    end->capture = report;
    Queue(run, std::move(end));
}

// The identities of every capture named, so that no output overwrites one.
std::set<FileIdentity> InputIdentities(const Options& options, int stdinFd) {
    std::set<FileIdentity> identities;
    for (const std::string& path : options.captures) {
        struct stat info {};
        const int result = path == "-" ? fstat(stdinFd, &info) : stat(path.c_str(), &info);
        if (result == 0) identities.insert({info.st_dev, info.st_ino});
    }
    return identities;
}

// How many of the descriptors below `limit` are open.
rlim_t CountOpenDescriptors(rlim_t limit) {
    rlim_t open = 0;
    for (rlim_t fd = 0; fd < limit; ++fd) {
        if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++open;
    }
    return open;
}

void StopPool(Pool& pool) {
    {
        const std::lock_guard<std::mutex> lock(pool.mutex);
        pool.stopping = true;
    }
    pool.queued.notify_all();
    for (std::thread& thread : pool.threads) thread.join();
}

int RunParsed(Run& run) {
    Options& options = run.options;
    if (!options.info && !options.outputDir.empty()) {
        std::error_code error;
        std::filesystem::create_directories(options.outputDir, error);
        if (error) {
            Say(run, options.outputDir + ": cannot create the folder: " + error.message());
            return 1;
        }
    }
    run.settings.format = options.format;
    run.settings.force = options.force;
    run.settings.spoolFolder = run.environment.spoolFolder;
    run.settings.processors = run.environment.processorCount;
    run.settings.inputs = InputIdentities(options, run.environment.stdinFd);
    unsigned jobs =
        options.jobs != 0 ? options.jobs : std::clamp(run.environment.processorCount, 1u, kMaxJobs);
    // Each conversion holds two descriptors (its output and its own view of
    // the capture), and each capture read ahead two more (the capture and
    // its description) until its end is emitted. Past what the limit leaves
    // after those already open (the standard ones, any the parent left
    // open) and a reserve (a spool file, the libraries'), conversions would
    // fail for want of one, and which would depend on timing: the jobs take
    // at most half of what is left, the captures read ahead the rest.
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
        constexpr rlim_t kReserve = 4;
        const rlim_t used = CountOpenDescriptors(std::min<rlim_t>(descriptors.rlim_cur, 4096));
        const rlim_t left =
            descriptors.rlim_cur > used + kReserve ? descriptors.rlim_cur - used - kReserve : 0;
        jobs = static_cast<unsigned>(std::clamp<rlim_t>(left / 4, 1, jobs));
        const rlim_t forCaptures = left > rlim_t{2} * jobs ? left - rlim_t{2} * jobs : 0;
        run.maxHeldCaptures = static_cast<size_t>(std::max<rlim_t>(forCaptures / 2, 1));
    }
    // Enough queued work to keep every worker busy, little enough to keep
    // memory flat (a queued conversion holds no buffer).
    run.maxSlots = 64 + size_t{4} * jobs;
    OpenTextSink(run.out, run.environment.stdoutFd, size_t{64} * 1024);
    run.progress.enabled = !options.quiet && isatty(run.environment.stderrFd) == 1;
    run.progress.start = std::chrono::steady_clock::now();
    run.progress.captures = options.captures.size();
    // An output that is a pipe whose reader quit (a FIFO) is one file that
    // failed, told and counted as any other; the signal would end the whole
    // run silently, with a description half written. With --info the only
    // output is standard output, and a closed pipe there ends the run as it
    // ends any other tool's.
    const auto previousPipeHandler = options.info ? SIG_ERR : std::signal(SIGPIPE, SIG_IGN);
    if (!options.info) {
        // The system may refuse threads (a process or memory limit), which
        // the standard library tells only by an exception: the run then
        // goes on with the workers it has, or with none, converting each
        // waveform on this thread as it is queued. The files are the same.
        for (unsigned j = 0; j < jobs; ++j) {
            try {
                run.pool.threads.emplace_back(RunWorker, std::ref(run.pool),
                                              std::ref(run.settings));
            } catch (const std::system_error&) {
                break;
            }
        }
    }
    for (size_t i = 0; i < options.captures.size(); ++i) {
        ExportCapture(run, options.captures[i], i + 1);
    }
    EmitSlots(run, true);
    StopPool(run.pool);
    EraseProgress(run);
    if (!FlushTextSink(run.out)) {
        Say(run, "standard output: cannot write: " + ErrorText(run.out.error));
    }
    if (previousPipeHandler != SIG_ERR) std::signal(SIGPIPE, previousPipeHandler);
    return run.anyFailure ? 1 : 0;
}

}  // namespace

int RunExport(int argc, char** argv, const ExportEnvironment& environment) {
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
                                     WithoutControlCharacters(state.error) + "\nTry '" + kProgram +
                                     " --help' for more information.\n";
            WriteAll(environment.stderrFd, text.data(), text.size());
            return 2;
        }
        case ParseOutcome::Run:
            break;
    }
    auto run = std::make_unique<Run>();
    run->options = std::move(state.options);
    run->environment = environment;
    return RunParsed(*run);
}

}  // namespace quillwave

#ifndef QUILLWAVE_NO_MAIN
int main(int argc, char** argv) {
    quillwave::ExportEnvironment environment;
    const char* folder = std::getenv("TMPDIR");
    environment.spoolFolder = folder != nullptr && *folder != '\0' ? folder : "/tmp";
    environment.processorCount = static_cast<unsigned>(quillwave::UsableProcessors());
    return quillwave::RunExport(argc, argv, environment);
}
#endif
