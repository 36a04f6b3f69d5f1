// Both programs at the edges of their process: a file size limit, a small
// address space, and quillwave-export interrupted by a signal. The built
// binaries run as users run them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

extern char** environ;

namespace quillwave {
namespace {

using testing::FileExists;
using testing::RandomAnalog;
using testing::ReadFileText;
using testing::TempDir;
using writer::AnalogBuffer;
using writer::AppendBuffer;
using writer::AppendFileHeader;
using writer::AppendWaveformHeader;
using writer::Bytes;

struct ShellResult {
    bool exited = false;
    int status = -1;  // the exit status, when exited
    std::string out;
    std::string err;
};

// Runs `command` under sh, its output and errors kept.
ShellResult Shell(const TempDir& dir, const std::string& command) {
    const std::string out = dir.Path("shell.out");
    const std::string err = dir.Path("shell.err");
    const int status = std::system(("(" + command + ") > '" + out + "' 2> '" + err + "'").c_str());
    ShellResult result;
    result.exited = WIFEXITED(status) && WEXITSTATUS(status) < 126;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFileText(out);
    result.err = ReadFileText(err);
    return result;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

struct LimitsTest : ::testing::Test {
    TempDir dir;
    std::string input = dir.Path("capture.bin");
    void SetUp() override {
        // About 5 MB of CSV for the first waveform.
        ASSERT_TRUE(writer::WriteBytesToFile(input, RandomAnalog({200000, 3})));
    }
};

// Fault: past a file size limit SIGXFSZ ends either program, leaving a
// file cut short and no message.
TEST_F(LimitsTest, AFileSizeLimitIsAFailedWriteWithItsMessage) {
    const std::string out = dir.Path("out");
    const std::string text = dir.Path("text.txt");
    const std::string limit = "ulimit -f 100; exec ";  // 100 blocks of 1024 bytes
    const ShellResult exported = Shell(
        dir, limit + QUILLWAVE_EXPORT_BINARY + " -q -j 1 -o " + Quoted(out) + " " + Quoted(input));
    EXPECT_TRUE(exported.exited);
    EXPECT_EQ(exported.status, 1);
    EXPECT_EQ(exported.err, "quillwave-export: " + input + ": waveform 1: cannot write " + out +
                                "/capture.w1.csv: File too large\n");
    EXPECT_FALSE(FileExists(out + "/capture.w1.csv"));  // nothing partial under its name
    EXPECT_TRUE(FileExists(out + "/capture.w2.csv"));
    const ShellResult converted =
        Shell(dir, limit + QUILLWAVE_BINARY + " " + Quoted(input) + " " + Quoted(text) + " " +
                       Quoted(dir.Path("second.txt")));
    EXPECT_TRUE(converted.exited);
    EXPECT_EQ(converted.status, 1);
    EXPECT_EQ(converted.out, "Unable to write " + text + "\n");
}

// Fault: under an address-space limit an allocation fails and either
// program aborts (an uncaught std::bad_alloc) instead of making do with
// smaller buffers or fewer threads, or telling the output it lost.
TEST_F(LimitsTest, UnderAMemoryLimitBothProgramsConvertOrSaySoAndNeverAbort) {
    if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory needs the address space";
#ifdef QUILLWAVE_UNDER_EMULATOR
    GTEST_SKIP() << "under qemu-user the emulator's own mappings count against the limit";
#endif
    const std::string reference = dir.Path("reference");
    ASSERT_EQ(Shell(dir, std::string(QUILLWAVE_EXPORT_BINARY) + " -q -o " + Quoted(reference) +
                             " " + Quoted(input))
                  .status,
              0);
    const std::string referenceText = dir.Path("reference.txt");
    ASSERT_EQ(Shell(dir, std::string(QUILLWAVE_BINARY) + " " + Quoted(input) + " " +
                             Quoted(referenceText) + " " + Quoted(dir.Path("second.txt")))
                  .status,
              0);
    for (const int kilobytes : {20000, 12000}) {
        for (const char* jobs : {"1", "2"}) {
            SCOPED_TRACE(std::to_string(kilobytes) + " KB, -j " + jobs);
            // quillwave-export maps the export formats' libraries as well
            // (libsndfile's codecs take about 4 MB of address space).
            const std::string limit = "ulimit -v " + std::to_string(kilobytes + 4000) + "; exec ";
            const std::string out = dir.Path("out" + std::to_string(kilobytes) + jobs);
            const ShellResult exported =
                Shell(dir, limit + QUILLWAVE_EXPORT_BINARY + " -q -j " + jobs + " -o " +
                               Quoted(out) + " " + Quoted(input));
            EXPECT_TRUE(exported.exited) << exported.err;
            EXPECT_TRUE(exported.status == 0 || exported.status == 1) << exported.err;
            if (exported.status == 0) {
                EXPECT_EQ(ReadFileText(out + "/capture.w1.csv"),
                          ReadFileText(reference + "/capture.w1.csv"));
            }
        }
        const std::string text = dir.Path("text" + std::to_string(kilobytes));
        const ShellResult converted = Shell(
            dir, "ulimit -v " + std::to_string(kilobytes) + "; exec " + QUILLWAVE_BINARY + " " +
                     Quoted(input) + " " + Quoted(text) + " " + Quoted(dir.Path("second.txt")));
        EXPECT_TRUE(converted.exited) << kilobytes;
        EXPECT_TRUE(converted.status == 0 || converted.status == 1) << kilobytes;
        if (converted.status == 0) {
            EXPECT_EQ(ReadFileText(text), ReadFileText(referenceText));
        }
    }
}

// Faults: quillwave's two-thread formatting (WriteChunksInOrder) gets its
// sample buffers from the loader inside the workers. Under some
// address-space limits (about 19 to 25 MB here) the allocation fails after
// the writer thread started: on the writer thread the std::bad_alloc is
// uncaught (std::terminate, exit 134); on the calling thread it unwinds out
// of WriteChunksInOrder while the writer thread still works on its shared
// state (SIGSEGV); and where it is caught, the program exits 1 with no
// message at all and leaves the output file empty, as if the waveform held
// no samples, though its help promises that status 1 comes with a failure
// message. Every limit of a sweep must give the converted text or say which
// output was lost.
TEST_F(LimitsTest, AtEveryMemoryLimitQuillwaveConvertsOrNamesTheOutputItLost) {
    if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory needs the address space";
#ifdef QUILLWAVE_UNDER_EMULATOR
    GTEST_SKIP() << "under qemu-user the emulator's own mappings count against the limit";
#endif
    const std::string referenceText = dir.Path("reference.txt");
    const std::string second = dir.Path("second.txt");
    ASSERT_EQ(Shell(dir, std::string(QUILLWAVE_BINARY) + " " + Quoted(input) + " " +
                             Quoted(referenceText) + " " + Quoted(second))
                  .status,
              0);
    const std::string reference = ReadFileText(referenceText);
    for (int kilobytes = 8000; kilobytes <= 32000; kilobytes += 1000) {
        SCOPED_TRACE(std::to_string(kilobytes) + " KB");
        const std::string text = dir.Path("text" + std::to_string(kilobytes));
        const ShellResult converted =
            Shell(dir, "ulimit -v " + std::to_string(kilobytes) + "; exec " + QUILLWAVE_BINARY +
                           " " + Quoted(input) + " " + Quoted(text) + " " + Quoted(second));
        EXPECT_TRUE(converted.exited) << "killed: " << converted.err;
        if (!converted.exited) continue;
        if (converted.status == 0) {
            EXPECT_EQ(ReadFileText(text), reference);
        } else {
            EXPECT_EQ(converted.status, 1);
            EXPECT_NE(converted.out.find("Unable to write " + text), std::string::npos)
                << "exit status 1 and no message; the output holds " << ReadFileText(text).size()
                << " bytes";
        }
    }
}

// Fault: just above the smallest address space in which the programs load
// (about 6 MB here), quillwave-export --version and quillwave's conversion
// end in std::terminate (exit 134, "terminate called without an active
// exception"): the exception for the failed allocation cannot itself be
// allocated. Either program must load and fail with its status, or not
// load at all (the loader's 127), but never abort.
TEST_F(LimitsTest, AtTheEdgeOfLoadingNeitherProgramAborts) {
    if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory needs the address space";
#ifdef QUILLWAVE_UNDER_EMULATOR
    GTEST_SKIP() << "under qemu-user the emulator's own mappings count against the limit";
#endif
    const std::string out = dir.Path("out");
    const std::string text = dir.Path("text.txt");
    const std::vector<std::string> commands = {
        std::string(QUILLWAVE_EXPORT_BINARY) + " --version",
        std::string(QUILLWAVE_EXPORT_BINARY) + " -q -j 1 --force -o " + Quoted(out) + " " +
            Quoted(input),
        std::string(QUILLWAVE_BINARY) + " " + Quoted(input) + " " + Quoted(text) + " " +
            Quoted(dir.Path("second.txt")),
    };
    for (const std::string& command : commands) {
        for (int kilobytes = 4000; kilobytes <= 9000; kilobytes += 100) {
            SCOPED_TRACE(command + " under " + std::to_string(kilobytes) + " KB");
            const int status = std::system(("ulimit -v " + std::to_string(kilobytes) + "; exec " +
                                            command + " > /dev/null 2>&1")
                                               .c_str());
            EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
            if (WIFEXITED(status)) {
                EXPECT_NE(WEXITSTATUS(status), 134);
            }
        }
    }
}

// Fault: with many jobs under an address-space limit, a conversion whose
// failure message cannot be allocated in its worker is told with an empty
// reason: "quillwave-export: capture.bin: waveform 4: " on standard error
// and "status": "" in the description, though the run itself (the calling
// thread) could say "cannot write ...: Cannot allocate memory".
TEST_F(LimitsTest, AConversionThatRanOutOfMemoryIsToldWithItsReason) {
    if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory needs the address space";
#ifdef QUILLWAVE_UNDER_EMULATOR
    GTEST_SKIP() << "under qemu-user the emulator's own mappings count against the limit";
#endif
    ASSERT_TRUE(writer::WriteBytesToFile(
        input, RandomAnalog({200000, 200000, 200000, 200000, 200000, 200000, 200000, 5, 5, 5, 5})));
    for (const int kilobytes : {350000, 400000, 450000, 500000}) {
        SCOPED_TRACE(std::to_string(kilobytes) + " KB");
        const std::string out = dir.Path("out" + std::to_string(kilobytes));
        const ShellResult exported = Shell(
            dir, "ulimit -v " + std::to_string(kilobytes) + "; exec " + QUILLWAVE_EXPORT_BINARY +
                     " -q -j 1024 -o " + Quoted(out) + " " + Quoted(input));
        ASSERT_TRUE(exported.exited) << exported.err;
        size_t start = 0;
        while (start < exported.err.size()) {
            const size_t end = exported.err.find('\n', start);
            const std::string line = exported.err.substr(start, end - start);
            EXPECT_FALSE(line.ends_with(": ")) << "a message without its reason: " << line;
            if (end == std::string::npos) break;
            start = end + 1;
        }
        EXPECT_EQ(ReadFileText(out + "/capture.json").find("\"status\": \"\""), std::string::npos);
    }
}

// Fault: quillwave-export --info holds each capture's whole JSON document
// in memory until the capture's end (the library hands it over as one
// DESCRIPTION event), where the previous build wrote it out as it went: a
// capture of 200000 one-sample waveforms (a 97 MB description) that the
// previous build described in 40 MB of address space now needs over 140 MB
// and ends in "out of memory" under a limit of 100 MB.
TEST_F(LimitsTest, DescribingACaptureOfManyWaveformsNeedsNoMemoryForTheWholeDocument) {
    if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory needs the address space";
#ifdef QUILLWAVE_UNDER_EMULATOR
    GTEST_SKIP() << "under qemu-user the emulator's own mappings count against the limit";
#endif
    constexpr int32_t kWaveforms = 200000;
    Bytes file;
    AppendFileHeader(file, kWaveforms);
    for (int32_t k = 0; k < kWaveforms; ++k) {
        AppendWaveformHeader(file, {.sampleCount = 1});
        AppendBuffer(file, AnalogBuffer(1, {1.5f}));
    }
    ASSERT_TRUE(writer::WriteBytesToFile(input, file));
    const std::string unlimited = dir.Path("unlimited.json");
    ASSERT_EQ(Shell(dir, std::string(QUILLWAVE_EXPORT_BINARY) + " --info " + Quoted(input) + " > " +
                             Quoted(unlimited))
                  .status,
              0);
    const std::string limited = dir.Path("limited.json");
    const ShellResult described =
        Shell(dir, std::string("ulimit -v 100000; exec ") + QUILLWAVE_EXPORT_BINARY + " --info " +
                       Quoted(input) + " > " + Quoted(limited));
    EXPECT_TRUE(described.exited);
    EXPECT_EQ(described.status, 0) << described.err;
    EXPECT_TRUE(ReadFileText(limited) == ReadFileText(unlimited));
}

// Fault: a signal half-way through a run leaves the capture's description
// empty and a waveform's file cut short under its name, also when the run
// is killed. The run is caught
// while it writes waveform 2 into a FIFO (so while waveform 1 is complete),
// which the test reads.
TEST_F(LimitsTest, AnInterruptedExportKeepsOnlyCompleteFilesAndSaysSo) {
    ASSERT_TRUE(writer::WriteBytesToFile(input, RandomAnalog({5, 1000000, 5})));
    const std::string reference = dir.Path("reference");
    ASSERT_EQ(Shell(dir, std::string(QUILLWAVE_EXPORT_BINARY) + " -q -o " + Quoted(reference) +
                             " " + Quoted(input))
                  .status,
              0);
    // SIGKILL gives no chance to clean up: files written unnamed vanish anyway.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(signal);
        const std::string out = dir.Path("out" + std::to_string(signal));
        std::filesystem::create_directories(out);
        const std::string fifo = out + "/capture.w2.csv";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        const std::string err = dir.Path("err" + std::to_string(signal));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
        std::vector<std::string> args = {
            QUILLWAVE_EXPORT_BINARY, "-q", "-j", "1", "--force", "-o", out, input};
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        // A FIFO no writer has opened yet reports no hang-up: this waits for data.
        pollfd ready{.fd = reader, .events = POLLIN, .revents = 0};
        ASSERT_EQ(poll(&ready, 1, -1), 1);
        char buffer[65536];
        ASSERT_GT(read(reader, buffer, sizeof buffer), 0);
        ASSERT_EQ(kill(pid, signal), 0);
        ASSERT_EQ(fcntl(reader, F_SETFL, 0), 0);
        while (read(reader, buffer, sizeof buffer) > 0) {
        }
        close(reader);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (signal == SIGKILL) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        } else {
            EXPECT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
            EXPECT_EQ(ReadFileText(err), "quillwave-export: interrupted\n");
        }
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(out)) {
            names.push_back(entry.path().filename());
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"capture.w1.csv", "capture.w2.csv"}));
        EXPECT_EQ(ReadFileText(out + "/capture.w1.csv"),
                  ReadFileText(reference + "/capture.w1.csv"));
    }
}

}  // namespace
}  // namespace quillwave
