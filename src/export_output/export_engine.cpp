#include "export_output/export_engine.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "export_output/capture_walk.h"
#include "export_output/format_files.h"
#include "export_output/json_description.h"
#include "export_output/output_file.h"
#include "library/codes.h"
#include "quillwave/quillwave.h"
#include "text_output/text_sink.h"
#include "waveform_file/header_readers.h"
#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_records.h"
#include "waveform_file/waveform_samples.h"

namespace quillwave {
namespace {

// Each job's output sink: a ring of a few large buffers, so that the writer
// thread is woken rarely (a wake-up costs more than a write call).
constexpr size_t kJobSinkCapacity = size_t{2} << 20;
constexpr size_t kJobSinkBuffers = 3;
constexpr size_t kDescriptionSinkCapacity = size_t{64} * 1024;

// ---------------------------------------------------------------------------
// SIGPIPE, without touching its disposition

sigset_t PipeSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

bool PipeSignalPending() {
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

// Keeps SIGPIPE from the calling thread while it writes to an output (and
// while it starts threads, which inherit the mask): a closed pipe is then
// an EPIPE failure of that output. The signal such a write raised is taken
// back before the mask is restored, unless one was pending before.
class PipeSignalBlock {
  public:
    PipeSignalBlock() {
        const sigset_t set = PipeSignalSet();
        pthread_sigmask(SIG_BLOCK, &set, &previous_);
        wasPending_ = PipeSignalPending();
    }
    PipeSignalBlock(const PipeSignalBlock&) = delete;
    PipeSignalBlock& operator=(const PipeSignalBlock&) = delete;
    ~PipeSignalBlock() {
        if (!wasPending_ && PipeSignalPending()) {
            const sigset_t set = PipeSignalSet();
            const timespec zero{};
            sigtimedwait(&set, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }

  private:
    sigset_t previous_{};
    bool wasPending_ = false;
};

// ---------------------------------------------------------------------------
// Conversions and the pool that runs them

enum class Outcome : uint8_t {
    Exported,
    Exists,
    CannotCreate,
    CannotWrite,
    IsInput,
    CannotRead,    // the capture's read failed
    CannotReopen,  // its own view of the capture could not be had
    NoMemory,
    Cancelled,
};

int StatusOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::Exported:
            return QUILLWAVE_OK;
        case Outcome::Exists:
            return QUILLWAVE_E_EXISTS;
        case Outcome::CannotCreate:
            return QUILLWAVE_E_CREATE;
        case Outcome::CannotWrite:
            return QUILLWAVE_E_WRITE;
        case Outcome::IsInput:
            return QUILLWAVE_E_IS_INPUT;
        case Outcome::CannotRead:
        case Outcome::CannotReopen:
            return QUILLWAVE_E_READ;
        case Outcome::NoMemory:
            return QUILLWAVE_E_NO_MEMORY;
        case Outcome::Cancelled:
            return QUILLWAVE_E_CANCELLED;
    }
    return QUILLWAVE_E_WRITE;
}

Outcome OutcomeOf(OutputFailure failure) {
    switch (failure) {
        case OutputFailure::None:
            return Outcome::Exported;
        case OutputFailure::Exists:
            return Outcome::Exists;
        case OutputFailure::CannotCreate:
            return Outcome::CannotCreate;
        case OutputFailure::CannotWrite:
            return Outcome::CannotWrite;
        case OutputFailure::IsInput:
            return Outcome::IsInput;
    }
    return Outcome::CannotWrite;
}

struct CaptureFile {
    InputStream stream;  // the walk's; conversions read through duplicates
};

struct Shared {
    ExportFormat format = ExportFormat::Csv;
    bool force = false;
    std::string spoolFolder;
    std::set<FileIdentity> inputs;
    unsigned processors = 1;
    const std::atomic<bool>* cancel = nullptr;
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

// Called by the sink after each buffer it hands on: feeds the progress.
void CountFlushed(void* context) {
    auto& job = *static_cast<JobSink*>(context);
    job.bytesWritten->fetch_add(job.sink.flushed - job.counted, std::memory_order_relaxed);
    job.counted = job.sink.flushed;
}

// Opens the job's sink on its first use (a job that gets no conversion
// starts no writer thread): a pipelined one when a thread can be had, the
// same bytes otherwise; smaller buffers when memory is short.
bool OpenJobSink(JobSink& job, Shared& shared) {
    if (job.bytesWritten != nullptr) return true;
    if (!OpenTextSinkAsMemoryAllows(job.sink, -1, kJobSinkCapacity, kJobSinkBuffers, true)) {
        return false;
    }
    job.bytesWritten = &shared.bytesWritten;
    job.sink.afterFlush = CountFlushed;
    job.sink.afterFlushContext = &job;
    return true;
}

struct Conversion {
    std::shared_ptr<CaptureFile> capture;
    WaveformSamples samples;
    std::string outputPath;
    // Unless exported, why not: the worker keeps just these (it may have
    // no memory for more), the calling thread words them (FailureText).
    Outcome outcome = Outcome::Exported;
    int error = 0;
    bool done = false;  // guarded by the pool's mutex
};

void Fail(Conversion& conversion, Outcome outcome, int error) {
    conversion.outcome = outcome;
    conversion.error = error;
}

void FailOutput(Conversion& conversion, const OutputOutcome& outcome) {
    Fail(conversion, OutcomeOf(outcome.failure), outcome.error);
}

// The message of a conversion that failed.
std::string FailureText(const Conversion& conversion) {
    const std::string& path = conversion.outputPath;
    switch (conversion.outcome) {
        case Outcome::Exported:
            return {};
        case Outcome::Exists:
            return OutputFailureText(path, {OutputFailure::Exists, conversion.error});
        case Outcome::IsInput:
            return OutputFailureText(path, {OutputFailure::IsInput, conversion.error});
        case Outcome::CannotCreate:
            return OutputFailureText(path, {OutputFailure::CannotCreate, conversion.error});
        case Outcome::CannotWrite:
        case Outcome::NoMemory:
            return OutputFailureText(path, {OutputFailure::CannotWrite, conversion.error});
        case Outcome::CannotRead:
            return kCaptureReadFailure;
        case Outcome::CannotReopen:
            return "cannot read the capture again: " + ErrorText(conversion.error);
        case Outcome::Cancelled:
            return "cancelled";
    }
    return {};
}

bool Cancelled(const Shared& shared) { return shared.cancel->load(std::memory_order_relaxed); }

void ConvertInto(Conversion& conversion, Shared& shared, JobSink& job, PendingOutput& output) {
    if (Cancelled(shared)) {
        Fail(conversion, Outcome::Cancelled, 0);
        return;
    }
    // libmatio opens a MAT 7.3 file by name (through /proc): it needs one,
    // if only a hidden temporary one.
    const bool unnamedAllowed =
        shared.format != ExportFormat::Mat || !MatNeedsVersion73(conversion.samples);
    const OutputOutcome begun =
        BeginOutput(output, conversion.outputPath, shared.force, shared.inputs, unnamedAllowed);
    if (begun.failure != OutputFailure::None) {
        FailOutput(conversion, begun);
        return;
    }
    if (!OpenJobSink(job, shared)) throw std::bad_alloc();
    ReserveOutputSpace(output, FileBytesAtLeast(conversion.samples, shared.format));
    TextSink& sink = job.sink;
    RetargetTextSink(sink, output.fd);
    job.counted = 0;
    // Decided once per file: sharing while every processor is busy would
    // only make the threads wait for each other.
    const unsigned running = shared.converting.fetch_add(1) + 1;
    struct Running {
        Shared& shared;
        ~Running() { shared.converting.fetch_sub(1); }
    } runningNow{shared};
    const bool share = 2 * running <= shared.processors;
    // Each conversion has its own stream: a stream's read-ahead window is
    // not to be shared between threads.
    InputStream stream;
    const int fd = dup(conversion.capture->stream.fd);
    bool readFailed = false;
    if (fd < 0 || !OpenInputStreamFromFd(stream, fd, shared.spoolFolder.c_str())) {
        const int error = errno;
        FlushTextSink(sink);
        Fail(conversion, Outcome::CannotReopen, error);
        return;
    }
    bool flushed = true;
    int writeError = 0;
    if (WrittenByFormatWriter(shared.format)) {
        // Through the sink placed by position, since these formats seek back.
        const FormatFileResult file =
            WriteFormatFile(stream, conversion.samples, shared.format, sink, shared.cancel);
        readFailed = file.readFailed || stream.readFailed;
        flushed = file.writeError == 0;
        writeError = file.writeError;
    } else {
        const bool written =
            WriteSampleFile(stream, conversion.samples, shared.format, sink, share, shared.cancel);
        readFailed = (!written && sink.error == 0) || stream.readFailed;
        flushed = FlushTextSink(sink);
        writeError = sink.error;
    }
    if (Cancelled(shared)) {
        Fail(conversion, Outcome::Cancelled, 0);
        return;
    }
    if (!flushed) {
        Fail(conversion, Outcome::CannotWrite, writeError);
        return;
    }
    if (readFailed) {
        Fail(conversion, Outcome::CannotRead, 0);
        return;
    }
    const OutputOutcome completed = CompleteOutput(output, shared.force);
    if (completed.failure != OutputFailure::None) FailOutput(conversion, completed);
}

// A conversion that cannot have its memory is that file's failure, not the
// end of the program.
void Convert(Conversion& conversion, Shared& shared, JobSink& job) {
    PendingOutput output;
    try {
        ConvertInto(conversion, shared, job, output);
    } catch (const std::bad_alloc&) {
        // What the sink holds goes to this file's descriptor before it closes.
        if (job.bytesWritten != nullptr) FlushTextSink(job.sink);
        DiscardOutput(output);
        Fail(conversion, Outcome::NoMemory, ENOMEM);
    }
}

struct Pool {
    std::mutex mutex;
    std::condition_variable queued;    // a conversion was queued, or the pool stops
    std::condition_variable finished;  // a conversion finished
    std::deque<Conversion*> waiting;
    bool stopping = false;
    std::vector<std::thread> threads;
};

void RunWorker(Pool& pool, Shared& shared) {
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
        Convert(*conversion, shared, job);
        {
            const std::lock_guard<std::mutex> lock(pool.mutex);
            conversion->done = true;
        }
        pool.finished.notify_all();
    }
}

// ---------------------------------------------------------------------------
// What the caller is told, in order

// A capture as the emitter writes its description.
struct CaptureReport {
    std::string name;
    size_t index = 0;
    bool describing = false;  // the description goes to the caller or to the JSON file
    std::string jsonPath;
    PendingOutput json;  // the file, unless describe-only
    TextSink jsonSink;
    bool jsonOpen = false;
    size_t entries = 0;
};

enum class SlotKind : uint8_t { Message, CaptureStart, Waveform, CaptureEnd };

// One thing to tell. Slots are told strictly in the order queued; a
// waveform's slot waits for its conversion.
struct Slot {
    SlotKind kind = SlotKind::Message;
    std::shared_ptr<CaptureReport> capture;
    // Message: the event it is, and its line; CaptureStart: the document's start.
    int event = QUILLWAVE_EVENT_CAPTURE_FAILED;  // QUILLWAVE_EVENT_*
    int status = QUILLWAVE_OK;
    int osError = 0;
    std::string text;
    size_t captureIndex = 0;
    std::string captureName;
    int64_t waveformNumber = 0;
    WaveformSamples samples;
    std::string fileName;  // the waveform's file, when it yields samples
    std::string refusal;   // why the format cannot hold them, if it cannot
    std::unique_ptr<Conversion> conversion;
};

struct Run {
    const ExportSettings* settings = nullptr;
    const ExportEventSink* sink = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    Shared shared;
    Pool pool;
    std::deque<std::unique_ptr<Slot>> slots;
    size_t maxSlots = 0;
    // Captures opened and not yet told to their end: each holds its own
    // descriptor and its description's until then.
    size_t heldCaptures = 0;
    size_t maxHeldCaptures = SIZE_MAX;
    std::map<std::string, std::string> stems;  // stem -> the capture that has it
    JobSink ownJob;                            // converting on this thread (no workers)
    bool anyFailure = false;
    size_t currentCapture = 0;
    const char* currentName = "";
    uint64_t waveformsDone = 0;
};

bool Cancelled(const Run& run) { return run.cancel->load(std::memory_order_relaxed); }

void Tell(Run& run, ExportEvent event) {
    event.bytesWritten = run.shared.bytesWritten.load(std::memory_order_relaxed);
    event.waveformsDone = run.waveformsDone;
    if (*run.sink) (*run.sink)(event);
}

void TellProgress(Run& run) {
    ExportEvent event;
    event.kind = QUILLWAVE_EVENT_PROGRESS;
    event.capture = run.currentCapture;
    event.captureName = run.currentName;
    Tell(run, event);
}

// The next piece of a capture's description, as it is made: describe-only,
// a DESCRIPTION event of its own (the document is never held whole);
// otherwise into the JSON file's sink.
void AppendDescription(Run& run, CaptureReport& capture, const std::string& text) {
    if (!capture.describing) return;
    if (!capture.jsonOpen) {
        ExportEvent piece;
        piece.kind = QUILLWAVE_EVENT_DESCRIPTION;
        piece.capture = capture.index;
        piece.captureName = capture.name.c_str();
        piece.text = text.c_str();
        Tell(run, piece);
        return;
    }
    TextSink& sink = capture.jsonSink;
    if (sink.capacity - sink.used >= text.size()) {
        WriteText(sink, text);  // no write now
        return;
    }
    const PipeSignalBlock block;
    WriteText(sink, text);
}

// The description file once its document is complete: the failure text, if any.
std::string FinishDescription(Run& run, CaptureReport& capture, int& status, int& osError) {
    bool flushed = false;
    {
        const PipeSignalBlock block;
        flushed = FlushTextSink(capture.jsonSink);
    }
    OutputOutcome outcome;
    if (!flushed) {
        outcome = {OutputFailure::CannotWrite, capture.jsonSink.error};
        DiscardOutput(capture.json);
    } else {
        outcome = CompleteOutput(capture.json, run.settings->force);
    }
    if (outcome.failure == OutputFailure::None) return {};
    status = StatusOf(OutcomeOf(outcome.failure));
    osError = outcome.error;
    return OutputFailureText(capture.jsonPath, outcome);
}

void EmitSlot(Run& run, Slot& slot) {
    CaptureReport* capture = slot.capture.get();
    ExportEvent event;
    event.capture = slot.captureIndex;
    event.captureName = slot.captureName.c_str();
    switch (slot.kind) {
        case SlotKind::Message:
            event.kind = slot.event;
            event.status = slot.status;
            event.osError = slot.osError;
            event.text = slot.text.c_str();
            run.anyFailure = true;
            Tell(run, event);
            break;
        case SlotKind::CaptureStart:
            run.currentCapture = slot.captureIndex;
            run.currentName = capture->name.c_str();
            event.kind = QUILLWAVE_EVENT_CAPTURE_BEGIN;
            Tell(run, event);
            AppendDescription(run, *capture, slot.text);
            break;
        case SlotKind::Waveform: {
            const Conversion* conversion = slot.conversion.get();
            const bool yields = YieldsSamples(slot.samples);
            const bool exported =
                yields && slot.refusal.empty() &&
                (conversion == nullptr || conversion->outcome == Outcome::Exported);
            std::string status = "exported";
            if (!yields) {
                status = DescribeNoSamples(slot.samples);
                event.status = QUILLWAVE_E_NO_SAMPLES;
                event.reason = PublicReason(slot.samples.reason);
            } else if (!slot.refusal.empty()) {
                status = slot.refusal;
                event.status = QUILLWAVE_E_FORMAT;
            } else if (!exported) {
                status = FailureText(*conversion);
                event.status = StatusOf(conversion->outcome);
                event.osError = conversion->error;
            }
            const std::string entry = DescribeWaveform(
                capture->entries++, slot.samples, exported ? slot.fileName : "", status,
                exported ? DescribeFormatFields(slot.samples, run.settings->format)
                         : std::string());
            ++run.waveformsDone;
            std::string line;
            if (!exported) {
                line = capture->name + ": waveform " + std::to_string(slot.waveformNumber) + ": " +
                       status;
                run.anyFailure = true;
            }
            event.kind = QUILLWAVE_EVENT_WAVEFORM;
            event.waveform = slot.waveformNumber;
            event.file = exported && conversion != nullptr ? conversion->outputPath.c_str() : "";
            event.text = line.c_str();
            Tell(run, event);
            AppendDescription(run, *capture, entry);
            break;
        }
        case SlotKind::CaptureEnd: {
            --run.heldCaptures;
            AppendDescription(run, *capture, DescribeCaptureEnd(capture->entries));
            if (capture->jsonOpen) {
                ExportEvent failed = event;
                const std::string failure =
                    FinishDescription(run, *capture, failed.status, failed.osError);
                capture->jsonOpen = false;
                if (!failure.empty()) {
                    const std::string line = capture->name + ": " + failure;
                    failed.kind = QUILLWAVE_EVENT_DESCRIPTION_FAILED;
                    failed.text = line.c_str();
                    run.anyFailure = true;
                    Tell(run, failed);
                } else {
                    event.file = capture->jsonPath.c_str();
                }
            }
            event.kind = QUILLWAVE_EVENT_CAPTURE_END;
            Tell(run, event);
            break;
        }
    }
}

// Tells the slots at the front whose conversions are done. With `all`,
// waits for every slot; otherwise waits only while more than maxSlots are
// queued. Once cancelled, tells nothing more.
void EmitSlots(Run& run, bool all) {
    using namespace std::chrono_literals;
    while (!run.slots.empty() && !Cancelled(run)) {
        Slot& front = *run.slots.front();
        if (front.conversion) {
            std::unique_lock<std::mutex> lock(run.pool.mutex);
            if (!front.conversion->done) {
                if (!all && run.slots.size() <= run.maxSlots) return;
                run.pool.finished.wait_for(lock, 100ms);
                lock.unlock();
                TellProgress(run);
                continue;
            }
        }
        EmitSlot(run, front);
        run.slots.pop_front();
        TellProgress(run);
    }
}

void Queue(Run& run, std::unique_ptr<Slot> slot) {
    if (Cancelled(run)) return;
    if (slot->conversion && run.pool.threads.empty()) {
        {
            // Its writes, and the sink thread it may start, keep SIGPIPE off.
            const PipeSignalBlock block;
            Convert(*slot->conversion, run.shared, run.ownJob);
        }
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

std::unique_ptr<Slot> NewSlot(SlotKind kind, size_t index, const std::string& name) {
    auto slot = std::make_unique<Slot>();
    slot->kind = kind;
    slot->captureIndex = index;
    slot->captureName = name;
    return slot;
}

void QueueMessage(Run& run, size_t index, const std::string& name, int event, int status,
                  int osError, std::string line) {
    auto slot = NewSlot(SlotKind::Message, index, name);
    slot->event = event;
    slot->status = status;
    slot->osError = osError;
    slot->text = std::move(line);
    Queue(run, std::move(slot));
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Opens a capture; on failure, the errno.
bool OpenCapture(const Run& run, const ExportCaptureSource& source, InputStream& stream,
                 int& error) {
    const int fd = source.fd >= 0 ? fcntl(source.fd, F_DUPFD_CLOEXEC, 0)
                                  : open(source.name.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        error = errno;
        if (fd >= 0) close(fd);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        error = EISDIR;
        close(fd);
        return false;
    }
    errno = 0;
    if (!OpenInputStreamFromFd(stream, fd, run.shared.spoolFolder.c_str())) {
        error = errno;
        return false;
    }
    return true;
}

void QueueWaveform(Run& run, const std::shared_ptr<CaptureReport>& report,
                   const std::shared_ptr<CaptureFile>& file, const std::string& stem,
                   int64_t number, const WaveformSamples& samples) {
    auto slot = NewSlot(SlotKind::Waveform, report->index, report->name);
    slot->capture = report;
    slot->waveformNumber = number;
    slot->samples = samples;
    if (YieldsSamples(samples)) slot->refusal = FormatRefusal(samples, run.settings->format);
    if (YieldsSamples(samples) && slot->refusal.empty()) {
        slot->fileName =
            stem + ".w" + std::to_string(number) + "." + FormatExtension(run.settings->format);
        if (!run.settings->describeOnly) {
            slot->conversion = std::make_unique<Conversion>();
            slot->conversion->capture = file;
            slot->conversion->samples = samples;
            slot->conversion->outputPath = JoinPath(run.settings->outputDir, slot->fileName);
        }
    }
    Queue(run, std::move(slot));
}

void ExportCapture(Run& run, const ExportCaptureSource& source, size_t index) {
    const std::string& name = source.name;
    // Under a tight descriptor limit, a capture is opened only once the
    // earlier ones are done with theirs.
    if (run.heldCaptures >= run.maxHeldCaptures) EmitSlots(run, true);
    auto file = std::make_shared<CaptureFile>();
    int error = 0;
    if (!OpenCapture(run, source, file->stream, error)) {
        QueueMessage(run, index, name, QUILLWAVE_EVENT_CAPTURE_FAILED, QUILLWAVE_E_OPEN, error,
                     name + ": cannot open: " +
                         (error != 0 ? ErrorText(error) : std::string("cannot read it")));
        return;
    }
    FileHeader header;
    if (!ReadFileHeader(file->stream, header)) {
        QueueMessage(run, index, name, QUILLWAVE_EVENT_CAPTURE_FAILED, QUILLWAVE_E_TOO_SHORT, 0,
                     name + ": not a capture: shorter than the 12-byte file header");
        return;
    }
    if (header.cookie != PB_COOKIE) {
        QueueMessage(run, index, name, QUILLWAVE_EVENT_CAPTURE_FAILED, QUILLWAVE_E_NOT_A_CAPTURE, 0,
                     name + ": not a capture: it does not start with \"VX\"");
        return;
    }
    const std::string& stem = source.stem;
    const auto [earlier, isNew] = run.stems.try_emplace(stem, name);
    // Descriptions alone write no file, so names cannot collide.
    if (!isNew && !run.settings->describeOnly) {
        QueueMessage(run, index, name, QUILLWAVE_EVENT_CAPTURE_FAILED, QUILLWAVE_E_SAME_NAMES, 0,
                     name + ": its files would have the same names as those of " + earlier->second +
                         " (" + stem + ".*); not exported");
        return;
    }
    auto report = std::make_shared<CaptureReport>();
    report->name = name;
    report->index = index;
    ++run.heldCaptures;  // until its end is told
    if (run.settings->describeOnly) {
        report->describing = true;
    } else {
        report->jsonPath = JoinPath(run.settings->outputDir, stem + ".json");
        const OutputOutcome begun =
            BeginOutput(report->json, report->jsonPath, run.settings->force, run.shared.inputs);
        if (begun.failure != OutputFailure::None) {
            QueueMessage(run, index, name, QUILLWAVE_EVENT_DESCRIPTION_FAILED,
                         StatusOf(OutcomeOf(begun.failure)), begun.error,
                         name + ": " + OutputFailureText(report->jsonPath, begun));
        } else {
            OpenTextSink(report->jsonSink, report->json.fd, kDescriptionSinkCapacity);
            report->describing = true;
            report->jsonOpen = true;
        }
    }
    auto start = NewSlot(SlotKind::CaptureStart, index, name);
    start->capture = report;
    start->text = DescribeCaptureStart(header);
    Queue(run, std::move(start));
    WaveformWalkMemo memo;  // one per capture: a step's end depends only on the file
    const WalkExtent extent = WalkWaveforms(
        file->stream, header.waveformCount, memo, [&](int64_t k, const WaveformSamples& samples) {
            QueueWaveform(run, report, file, stem, k + 1, samples);
        });
    const std::string walkEnd =
        DescribeWalkEnd(extent, header.waveformCount, file->stream.readFailed);
    if (!walkEnd.empty()) {
        QueueMessage(run, index, name, QUILLWAVE_EVENT_CAPTURE_INCOMPLETE,
                     file->stream.readFailed ? QUILLWAVE_E_READ : QUILLWAVE_E_INCOMPLETE, 0,
                     name + ": " + walkEnd);
    }
    auto end = NewSlot(SlotKind::CaptureEnd, index, name);
    end->capture = report;
    Queue(run, std::move(end));
}

// The identities of every capture named, so that no output overwrites one.
std::set<FileIdentity> InputIdentities(const std::vector<ExportCaptureSource>& captures) {
    std::set<FileIdentity> identities;
    for (const ExportCaptureSource& source : captures) {
        struct stat info {};
        const int result =
            source.fd >= 0 ? fstat(source.fd, &info) : stat(source.name.c_str(), &info);
        if (result == 0) identities.insert({info.st_dev, info.st_ino});
    }
    return identities;
}

void StopPool(Pool& pool) {
    {
        const std::lock_guard<std::mutex> lock(pool.mutex);
        pool.stopping = true;
    }
    pool.queued.notify_all();
    for (std::thread& thread : pool.threads) thread.join();
    pool.threads.clear();
}

// Joins the workers however the run ends (an exception included), before
// the slots whose conversions they hold go.
struct PoolStopper {
    Pool& pool;
    explicit PoolStopper(Pool& stopped) : pool(stopped) {}
    PoolStopper(const PoolStopper&) = delete;
    PoolStopper& operator=(const PoolStopper&) = delete;
    ~PoolStopper() {
        {
            // Cancelled or failed: what was not started is not converted.
            const std::lock_guard<std::mutex> lock(pool.mutex);
            pool.waiting.clear();
        }
        StopPool(pool);
    }
};

void StartWorkers(Run& run, unsigned jobs) {
    // Threads inherit the mask: the workers, and the sink threads they
    // start, never take SIGPIPE.
    const PipeSignalBlock block;
    // The system may refuse threads (a process or memory limit), which the
    // standard library tells only by an exception: the run then goes on
    // with the workers it has, or with none, converting each waveform on
    // this thread as it is queued. The files are the same.
    for (unsigned j = 0; j < jobs; ++j) {
        try {
            run.pool.threads.emplace_back(RunWorker, std::ref(run.pool), std::ref(run.shared));
        } catch (const std::system_error&) {
            break;
        } catch (const std::bad_alloc&) {
            break;
        }
    }
}

}  // namespace

std::string ExportStemOf(const std::string& path) {
    std::string stem = std::filesystem::path(path).stem().string();
    return stem.empty() ? "capture" : stem;
}

int RunExportEngine(const ExportSettings& settings,
                    const std::vector<ExportCaptureSource>& captures,
                    const std::atomic<bool>& cancel, const ExportEventSink& sink, int* osError) {
    if (!settings.describeOnly && !settings.outputDir.empty()) {
        std::error_code error;
        std::filesystem::create_directories(settings.outputDir, error);
        if (error) {
            if (osError != nullptr) *osError = error.value();
            return QUILLWAVE_E_CREATE;
        }
    }
    auto run = std::make_unique<Run>();
    run->settings = &settings;
    run->sink = &sink;
    run->cancel = &cancel;
    run->shared.format = settings.format;
    run->shared.force = settings.force;
    run->shared.spoolFolder = settings.spoolFolder;
    run->shared.processors = std::max(settings.processors, 1u);
    run->shared.inputs = InputIdentities(captures);
    run->shared.cancel = &cancel;
    unsigned jobs = std::clamp(settings.jobs, 1u, kMaxExportJobs);
    // Each conversion holds two descriptors (its output and its own view of
    // the capture), and each capture read ahead two more (the capture and
    // its description) until its end is told. Past the budget, less a
    // reserve (a spool file, the libraries'), conversions would fail for
    // want of one, and which would depend on timing: the jobs take at most
    // half of what is left, the captures read ahead the rest.
    if (settings.openFiles != 0) {
        constexpr unsigned kReserve = 4;
        const unsigned left = settings.openFiles > kReserve ? settings.openFiles - kReserve : 0;
        jobs = std::clamp(left / 4, 1u, jobs);
        const unsigned forCaptures = left > 2 * jobs ? left - 2 * jobs : 0;
        run->maxHeldCaptures = std::max<size_t>(forCaptures / 2, 1);
    }
    // Enough queued work to keep every worker busy, little enough to keep
    // memory flat (a queued conversion holds no buffer).
    run->maxSlots = 64 + size_t{4} * jobs;
    {
        const PoolStopper stopper(run->pool);
        if (!settings.describeOnly) StartWorkers(*run, jobs);
        for (size_t i = 0; i < captures.size() && !Cancelled(*run); ++i) {
            ExportCapture(*run, captures[i], i);
        }
        EmitSlots(*run, true);
    }
    if (Cancelled(*run)) return QUILLWAVE_E_CANCELLED;
    return run->anyFailure ? QUILLWAVE_E_INCOMPLETE : QUILLWAVE_OK;
}

}  // namespace quillwave
