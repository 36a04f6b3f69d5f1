// The export through the public interface, as a program embedding the
// library uses it: events, outputs that appear only when complete, a
// closed pipe without a SIGPIPE handler, cancellation, two exports at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cfenv>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quillwave/quillwave.h"
#include "test_support.h"

namespace quillwave {
namespace {

using testing::RandomAnalog;
using testing::ReadFileText;
using testing::TempDir;
using writer::AnalogBuffer;
using writer::AppendBuffer;
using writer::AppendFileHeader;
using writer::AppendWaveformHeader;
using writer::Bytes;

struct Event {
    int kind = 0;
    int64_t waveform = 0;
    int status = 0;
    int osError = 0;
    std::string text;
};

// What a run told, and what a callback is to do on the way.
struct Recorder {
    std::vector<Event> events;
    quillwave_export* cancelOn = nullptr;  // cancelled at the first waveform event
    int closeOnBegin = -1;                 // a descriptor closed at the first BEGIN
    std::string createOnBegin;             // a file made at the first BEGIN
};

void Record(const quillwave_event* event, void* context) {
    auto& recorder = *static_cast<Recorder*>(context);
    const int kind = quillwave_event_kind(event);
    if (kind == QUILLWAVE_EVENT_PROGRESS) return;
    recorder.events.push_back({kind, quillwave_event_waveform(event), quillwave_event_status(event),
                               quillwave_event_os_error(event), quillwave_event_text(event)});
    if (kind == QUILLWAVE_EVENT_CAPTURE_BEGIN && recorder.closeOnBegin >= 0) {
        close(recorder.closeOnBegin);
        recorder.closeOnBegin = -1;
    }
    if (kind == QUILLWAVE_EVENT_CAPTURE_BEGIN && !recorder.createOnBegin.empty()) {
        ASSERT_TRUE(writer::WriteBytesToFile(recorder.createOnBegin, Bytes{'m', 'i', 'n', 'e'}));
        recorder.createOnBegin.clear();
    }
    if (kind == QUILLWAVE_EVENT_WAVEFORM && recorder.cancelOn != nullptr) {
        quillwave_export_cancel(recorder.cancelOn);
    }
}

struct ExportLibraryTest : ::testing::Test {
    TempDir dir;
    std::string input = dir.Path("capture.bin");
    std::string out = dir.Path("out");

    // A new export of `input` into `folder`, jobs as given.
    static quillwave_export* NewExport(const std::string& capture, const std::string& folder,
                                       unsigned jobs, bool force = false) {
        quillwave_export* exporter = quillwave_export_new();
        EXPECT_NE(exporter, nullptr);
        EXPECT_EQ(quillwave_export_set_output_dir(exporter, folder.c_str()), QUILLWAVE_OK);
        EXPECT_EQ(quillwave_export_set_jobs(exporter, jobs), QUILLWAVE_OK);
        EXPECT_EQ(quillwave_export_set_force(exporter, force ? 1 : 0), QUILLWAVE_OK);
        EXPECT_EQ(quillwave_export_add_path(exporter, capture.c_str()), QUILLWAVE_OK);
        return exporter;
    }
    // Every entry of a folder, by name (hidden ones included).
    static std::map<std::string, std::string> Files(const std::string& folder) {
        std::map<std::string, std::string> files;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
            files[entry.path().filename()] =
                entry.is_regular_file() ? ReadFileText(entry.path()) : std::string("<other>");
        }
        return files;
    }
};

bool PipeSignalPending() {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

// Fault: a FIFO output whose reader has gone kills the embedding program
// (SIGPIPE, default disposition) instead of failing that one output; or
// the signal a write raised on the caller's thread stays pending and kills
// the program later. A waveform's file is written by a worker thread, the
// description by the caller's.
TEST_F(ExportLibraryTest, AClosedFifoIsThatOutputsBrokenPipeWithoutAnySignalHandler) {
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    ASSERT_EQ(current.sa_handler, SIG_DFL);
    ASSERT_FALSE(PipeSignalPending());
    ASSERT_TRUE(writer::WriteBytesToFile(input, RandomAnalog({300000, 10})));
    std::filesystem::create_directories(out);
    const std::string wave = out + "/capture.w1.csv";
    const std::string json = out + "/capture.json";
    ASSERT_EQ(mkfifo(wave.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(json.c_str(), 0600), 0);
    // The description's reader goes before anything is written to it; the
    // waveform's once it has read a byte.
    Recorder recorder;
    recorder.closeOnBegin = open(json.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(recorder.closeOnBegin, 0);
    // Opened before the run, so the export's open finds a reader; for
    // reading and writing, so its read waits for data instead of seeing the
    // end of a FIFO that no writer has opened yet.
    const int waveReader = open(wave.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(waveReader, 0);
    std::thread reader([waveReader] {
        char byte = 0;
        EXPECT_EQ(read(waveReader, &byte, 1), 1);
        close(waveReader);
    });
    quillwave_export* exporter = NewExport(input, out, 1, true);
    EXPECT_EQ(quillwave_export_run(exporter, Record, &recorder, nullptr), QUILLWAVE_E_INCOMPLETE);
    reader.join();
    quillwave_export_free(exporter);
    EXPECT_FALSE(PipeSignalPending());
    std::vector<std::pair<int, int>> failures;  // kind, errno
    for (const Event& event : recorder.events) {
        if (event.status != QUILLWAVE_OK) failures.emplace_back(event.kind, event.osError);
    }
    const std::vector<std::pair<int, int>> expected = {{QUILLWAVE_EVENT_WAVEFORM, EPIPE},
                                                       {QUILLWAVE_EVENT_DESCRIPTION_FAILED, EPIPE}};
    EXPECT_EQ(failures, expected);
    EXPECT_EQ(ReadFileText(out + "/capture.w2.csv").substr(0, 11), "time,value\n");
}

// Fault: a file cut short by a cancel (or a failure) stays under its name,
// and the description of a capture half exported is left empty; events go
// on after the cancel.
TEST_F(ExportLibraryTest, ACancelledRunLeavesOnlyCompleteFiles) {
    ASSERT_TRUE(writer::WriteBytesToFile(input, RandomAnalog({20, 1000000, 20})));
    const std::string clean = dir.Path("clean");
    quillwave_export* whole = NewExport(input, clean, 1);
    ASSERT_EQ(quillwave_export_run(whole, nullptr, nullptr, nullptr), QUILLWAVE_OK);
    quillwave_export_free(whole);
    const std::map<std::string, std::string> complete = Files(clean);
    for (const unsigned jobs : {1u, 2u}) {
        const std::string folder = out + std::to_string(jobs);
        Recorder recorder;
        quillwave_export* exporter = NewExport(input, folder, jobs);
        recorder.cancelOn = exporter;
        EXPECT_EQ(quillwave_export_run(exporter, Record, &recorder, nullptr),
                  QUILLWAVE_E_CANCELLED);
        quillwave_export_free(exporter);
        ASSERT_FALSE(recorder.events.empty());
        EXPECT_EQ(recorder.events.back().kind, QUILLWAVE_EVENT_WAVEFORM) << jobs;
        // Waveform 1 was told as written; nothing else may be there.
        const std::map<std::string, std::string> files = Files(folder);
        EXPECT_EQ(files.count("capture.json"), 0u) << jobs;
        for (const auto& [name, text] : files) {
            ASSERT_TRUE(complete.contains(name)) << jobs << " " << name;
            EXPECT_TRUE(text == complete.at(name)) << jobs << " " << name;
        }
    }
}

// Fault: with --force, a link at one output's name to another output of the
// same run is written through, so the run overwrites its own file.
TEST_F(ExportLibraryTest, ForceReplacesALinkInsteadOfWritingThroughIt) {
    ASSERT_TRUE(writer::WriteBytesToFile(input, RandomAnalog({3, 5})));
    const std::string clean = dir.Path("clean");
    quillwave_export* first = NewExport(input, clean, 1);
    ASSERT_EQ(quillwave_export_run(first, nullptr, nullptr, nullptr), QUILLWAVE_OK);
    quillwave_export_free(first);
    std::filesystem::create_directories(out);
    ASSERT_EQ(symlink("capture.w1.csv", (out + "/capture.w2.csv").c_str()), 0);
    for (const unsigned jobs : {1u, 2u}) {
        quillwave_export* exporter = NewExport(input, out, jobs, true);
        EXPECT_EQ(quillwave_export_run(exporter, nullptr, nullptr, nullptr), QUILLWAVE_OK);
        quillwave_export_free(exporter);
        EXPECT_EQ(Files(out), Files(clean)) << jobs;
        struct stat info {};
        ASSERT_EQ(lstat((out + "/capture.w2.csv").c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
    }
}

// Fault: without --force, a name that appears while its file is being
// written is overwritten at the end (the check was made only at the start).
TEST_F(ExportLibraryTest, ANameThatAppearsDuringTheRunIsStillRefused) {
    ASSERT_TRUE(writer::WriteBytesToFile(input, RandomAnalog({3})));
    std::filesystem::create_directories(out);
    Recorder recorder;
    recorder.createOnBegin = out + "/capture.json";  // after the description was begun
    quillwave_export* exporter = NewExport(input, out, 1);
    EXPECT_EQ(quillwave_export_run(exporter, Record, &recorder, nullptr), QUILLWAVE_E_INCOMPLETE);
    quillwave_export_free(exporter);
    std::vector<std::string> texts;
    for (const Event& event : recorder.events) {
        if (!event.text.empty()) texts.push_back(event.text);
    }
    const std::vector<std::string> expected = {input + ": " + out +
                                               "/capture.json exists (use --force to overwrite)"};
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(ReadFileText(out + "/capture.json"), "mine");
    EXPECT_EQ(Files(out).size(), 2u);  // and the waveform's file: no hidden name left
}

// Fault: state shared between handles (a global) makes two exports in one
// process interfere; TSan sees the race in the sanitizer builds.
TEST_F(ExportLibraryTest, TwoExportsRunAtOnceInOneProcess) {
    ASSERT_TRUE(writer::WriteBytesToFile(input, RandomAnalog({50000, 7, 30000, 1})));
    const std::string clean = dir.Path("clean");
    quillwave_export* alone = NewExport(input, clean, 1);
    ASSERT_EQ(quillwave_export_run(alone, nullptr, nullptr, nullptr), QUILLWAVE_OK);
    quillwave_export_free(alone);
    int statuses[2] = {-100, -100};
    std::vector<std::thread> threads;
    threads.reserve(2);
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            quillwave_export* exporter =
                NewExport(input, out + std::to_string(i), static_cast<unsigned>(i + 1));
            quillwave_export_set_processors(exporter, 2);
            statuses[i] = quillwave_export_run(exporter, nullptr, nullptr, nullptr);
            quillwave_export_free(exporter);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(statuses[i], QUILLWAVE_OK);
        EXPECT_EQ(Files(out + std::to_string(i)), Files(clean)) << i;
    }
}

// Fault: the files an embedding program exports depend on its
// floating-point rounding mode (which the library's worker threads
// inherit): under FE_UPWARD the times are other numbers (0.011 becomes
// 0.011000000000000001) and float32 values lose their shortest digits
// (4073260.75f is written 4073260.75, not 4073260.8), so the files differ
// from quillwave-export's, though the header promises shortest round-trip
// numbers and the times both programs write.
TEST_F(ExportLibraryTest, FilesDoNotDependOnTheCallersRoundingMode) {
    Bytes file;
    AppendFileHeader(file, 1);
    AppendWaveformHeader(file, {.sampleCount = 4, .timeIncrement = 1e-3, .timeOrigin = 0.0});
    AppendBuffer(file, AnalogBuffer(1, {4073260.75f, -3034876.25f, 0.1f, 1e-7f}));
    ASSERT_TRUE(writer::WriteBytesToFile(input, file));
    ASSERT_TRUE(writer::WriteBytesToFile(dir.Path("big.bin"), RandomAnalog({20000})));
    const std::string nearest = dir.Path("nearest");
    for (const std::string& capture : {input, dir.Path("big.bin")}) {
        quillwave_export* exporter = NewExport(capture, nearest, 1);
        EXPECT_EQ(quillwave_export_run(exporter, nullptr, nullptr, nullptr), QUILLWAVE_OK);
        quillwave_export_free(exporter);
    }
    ASSERT_EQ(ReadFileText(nearest + "/capture.w1.csv"),
              "time,value\n0,4073260.8\n0.001,-3034876.2\n0.002,0.1\n0.003,1e-07\n");
    for (const int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        for (const unsigned jobs : {1u, 2u}) {
            SCOPED_TRACE(std::to_string(mode) + ", " + std::to_string(jobs) + " jobs");
            const std::string folder = out + std::to_string(mode) + "-" + std::to_string(jobs);
            ASSERT_EQ(fesetround(mode), 0);
            int statuses[2] = {-100, -100};
            int k = 0;
            for (const std::string& capture : {input, dir.Path("big.bin")}) {
                quillwave_export* exporter = NewExport(capture, folder, jobs);
                statuses[k++] = quillwave_export_run(exporter, nullptr, nullptr, nullptr);
                quillwave_export_free(exporter);
            }
            ASSERT_EQ(fesetround(FE_TONEAREST), 0);
            EXPECT_EQ(statuses[0], QUILLWAVE_OK);
            EXPECT_EQ(statuses[1], QUILLWAVE_OK);
            EXPECT_EQ(ReadFileText(folder + "/capture.w1.csv"),
                      ReadFileText(nearest + "/capture.w1.csv"));
            EXPECT_TRUE(ReadFileText(folder + "/big.w1.csv") ==
                        ReadFileText(nearest + "/big.w1.csv"));
        }
    }
    fesetround(FE_TONEAREST);
}

// Fault: a format this build lacks is accepted (and fails in the run), or
// one it has is refused; a waveform the format cannot hold is told as
// anything but QUILLWAVE_E_FORMAT with its reason.
TEST_F(ExportLibraryTest, FormatsAreSetWhereBuiltAndRefusalsAreTheirOwnStatus) {
    quillwave_export* exporter = quillwave_export_new();
    ASSERT_NE(exporter, nullptr);
    for (const int format : {QUILLWAVE_FORMAT_CSV, QUILLWAVE_FORMAT_NPY, QUILLWAVE_FORMAT_SR,
                             QUILLWAVE_FORMAT_WAV, QUILLWAVE_FORMAT_MAT}) {
        EXPECT_EQ(quillwave_export_set_format(exporter, format),
                  quillwave_format_available(format) != 0 ? QUILLWAVE_OK : QUILLWAVE_E_UNAVAILABLE)
            << format;
    }
    EXPECT_EQ(quillwave_format_available(QUILLWAVE_FORMAT_CSV), 1);
    EXPECT_EQ(quillwave_format_available(QUILLWAVE_FORMAT_MAT), 1);  // level 5 needs no library
    EXPECT_EQ(quillwave_format_available(0), 0);
    EXPECT_EQ(quillwave_export_set_format(exporter, 0), QUILLWAVE_E_ARGUMENT);
    EXPECT_EQ(quillwave_export_set_format(exporter, 6), QUILLWAVE_E_ARGUMENT);
    for (const int status : {QUILLWAVE_E_FORMAT, QUILLWAVE_E_UNAVAILABLE}) {
        EXPECT_STRNE(quillwave_status_text(status), quillwave_status_text(12345));
    }
    quillwave_export_free(exporter);
    if (quillwave_format_available(QUILLWAVE_FORMAT_SR) == 0)
        GTEST_SKIP() << "format sr not built: libzip was missing (Debian's libzip-dev)";
    Bytes file;
    AppendFileHeader(file, 1);
    AppendWaveformHeader(file, {.waveformType = 4, .sampleCount = 2});
    AppendBuffer(file, writer::HistogramBuffer({1, 2}));
    ASSERT_TRUE(writer::WriteBytesToFile(input, file));
    exporter = NewExport(input, out, 1);
    ASSERT_EQ(quillwave_export_set_format(exporter, QUILLWAVE_FORMAT_SR), QUILLWAVE_OK);
    Recorder recorder;
    EXPECT_EQ(quillwave_export_run(exporter, Record, &recorder, nullptr), QUILLWAVE_E_INCOMPLETE);
    quillwave_export_free(exporter);
    bool told = false;
    for (const Event& event : recorder.events) {
        if (event.kind != QUILLWAVE_EVENT_WAVEFORM) continue;
        told = true;
        EXPECT_EQ(event.status, QUILLWAVE_E_FORMAT);
        EXPECT_NE(event.text.find("histogram counts cannot be written exactly"), std::string::npos)
            << event.text;
    }
    EXPECT_TRUE(told);
    EXPECT_EQ(Files(out).size(), 1u);  // the description alone
}

}  // namespace
}  // namespace quillwave
