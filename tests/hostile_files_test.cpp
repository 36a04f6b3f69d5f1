// Files crafted so that the declared counts alone would keep a literal walk
// busy for billions of steps. The program must give exactly the literal
// walk's output, in time bounded by the file and by what it writes. These
// tests run under a CTest timeout far shorter than a literal walk would take.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "test_support.h"
#include "waveform_file/buffer_walk.h"
#include "waveform_file/header_readers.h"

namespace quillwave {
namespace {

using testing::ReadFileText;
using testing::RunQuillwaveBinary;
using testing::StreamOver;
using testing::TempDir;
using writer::AnalogBuffer;
using writer::AppendBuffer;
using writer::AppendFileHeader;
using writer::AppendWaveformHeader;
using writer::BufferSpec;
using writer::Bytes;
using writer::LogicBuffer;

constexpr int32_t kMaxCount = 2147483647;
const std::string kVersion = "Veltranix Public Waveform File version 1.0\n";

// Stepping over buffers, checked against the literal one-step-at-a-time walk
// on random little files full of backward and forward jumps.
TEST(IgnoreWaveformBuffers, MatchesTheLiteralWalkOnRandomJumpingFiles) {
    std::mt19937 random(20261208);
    for (int trial = 0; trial < 300; ++trial) {
        Bytes file;
        const int buffers = 1 + static_cast<int>(random() % 6);
        for (int b = 0; b < buffers; ++b) {
            const auto headerSize = static_cast<int32_t>(12 + 4 * (random() % 3));
            const auto dataSize = static_cast<int32_t>(random() % 80) - 60;
            AppendBuffer(file, BufferSpec{.headerSize = headerSize, .dataSize = dataSize});
        }
        file.resize(file.size() + random() % 8, 0);
        const auto start = static_cast<int64_t>(random() % 16);
        for (int32_t count : {0, 1, 2, 3, 7, 64, 1000, 1001}) {
            InputStream fast = StreamOver(file);
            InputStream literal = StreamOver(file);
            fast.position = literal.position = start;
            IgnoreWaveformBuffers(fast, count);
            for (int32_t i = 0; i < count; ++i) IgnoreWaveformData(literal);
            EXPECT_EQ(fast.position, literal.position) << "trial " << trial << " count " << count;
        }
    }
}

// One memo shared by many walks from random starts with random counts, each
// checked against the literal walk: a wrong jump through the memo (a wrong
// chain, index, loop or end) gives a wrong position. The files are buffers
// jumping to one another's starts (long tails, loops and merges) or to odd
// offsets; a small stride and sample limit bring every path of the memo
// into play on little files.
TEST(IgnoreWaveformBuffers, AMemoSharedByManyWalksMatchesTheLiteralWalk) {
    struct Case {
        int buffers;
        int64_t jumps;  // in 16: how often a buffer does not lead to the next
        int64_t stride;
        size_t maxSamples;
    };
    const Case cases[] = {{40, 5, 1, 1 << 20},   {300, 0, 3, 1 << 20},   {300, 1, 4, 1 << 20},
                          {300, 5, 7, 40},       {2000, 0, 64, 1 << 20}, {2000, 1, 5, 300},
                          {2000, 5, 64, 1 << 20}};
    std::mt19937 random(20261209);
    const auto below = [&](int64_t n) {
        return static_cast<int64_t>(random() % static_cast<uint64_t>(n));
    };
    for (const Case& c : cases) {
        const int64_t end = 16 * int64_t{c.buffers};  // buffer b starts at 16 * b
        for (int trial = 0; trial < 40; ++trial) {
            Bytes file;
            for (int64_t start = 0; start < end; start += 16) {
                // Onto the next buffer (the last onto the first), making one
                // long loop; else onto any buffer, past the end, or into the
                // middle of one, making tails, merges and smaller loops.
                int64_t target = (start + 16) % end;
                const int64_t kind = below(16);
                if (kind < c.jumps) target = 16 * below(c.buffers);
                if (kind == 0 && c.jumps > 2) target = end + below(64);
                if (kind == 1 && c.jumps > 2) target = 16 * below(c.buffers) + 4;
                AppendBuffer(file,
                             BufferSpec{.headerSize = 16,
                                        .dataSize = static_cast<int32_t>(target - start - 16)});
            }
            ASSERT_EQ(file.size(), static_cast<size_t>(end));
            BufferWalkMemo memo{.stride = c.stride, .maxSamples = c.maxSamples};
            InputStream fast = StreamOver(file);
            InputStream literal = StreamOver(file);
            for (int walk = 0; walk < 100; ++walk) {
                const int64_t start = below(4) == 0 ? below(end) : 16 * below(c.buffers);
                const auto count = static_cast<int32_t>(below(int64_t{2} << below(9)));
                fast.position = literal.position = start;
                IgnoreWaveformBuffers(fast, count, &memo);
                for (int32_t i = 0; i < count; ++i) IgnoreWaveformData(literal);
                ASSERT_EQ(fast.position, literal.position)
                    << "buffers " << c.buffers << " stride " << c.stride << " trial " << trial
                    << " walk " << walk << " start " << start << " count " << count;
            }
            // Counts far beyond any literal walk, against the walk without a memo.
            for (int walk = 0; walk < 20; ++walk) {
                fast.position = literal.position = 16 * below(c.buffers);
                const auto count = static_cast<int32_t>(kMaxCount - below(1000));
                IgnoreWaveformBuffers(fast, count, &memo);
                IgnoreWaveformBuffers(literal, count);
                ASSERT_EQ(fast.position, literal.position) << "trial " << trial << " walk " << walk;
            }
        }
    }
}

struct HostileFileTest : ::testing::Test {
    TempDir dir;
    std::string input = dir.Path("capture.bin");
    void Write(const Bytes& file) { ASSERT_TRUE(writer::WriteBytesToFile(input, file)); }
};

TEST_F(HostileFileTest, ListingAFileThatDeclaresBillionsOfWaveformsAndHoldsOne) {
    Bytes file;
    AppendFileHeader(file, kMaxCount);
    AppendWaveformHeader(file, {.sampleCount = 1, .summaryText1 = "only"});
    AppendBuffer(file, AnalogBuffer(1, {1.0f}));
    Write(file);
    const auto result = RunQuillwaveBinary({input});
    EXPECT_EQ(result.out, kVersion + "only, PB_NORMAL, 1, , , \n");
    EXPECT_EQ(result.status, 0);
}

// Waveform 1 (offset 12) declares `bufferCount` buffers. Its first buffer A
// (offset 156) has no samples, so stepping over it lands on waveform 2
// (offset 168); read as a buffer, waveform 2's header steps back to A (its
// bufferCount, -156, is its dataSize then). So the walk alternates A, W2, A,
// ... and ends on waveform 2 only after an odd number of steps. Waveform 2
// has one sample in a buffer behind it.
Bytes AlternatingWalk(int32_t firstType, int32_t bufferCount) {
    Bytes file;
    AppendFileHeader(file, 2);
    AppendWaveformHeader(file, {.waveformType = firstType,
                                .bufferCount = bufferCount,
                                .sampleCount = 1,
                                .summaryText1 = "first"});
    AppendBuffer(file, BufferSpec{.dataSize = 0});
    AppendWaveformHeader(file, {.waveformType = 1,
                                .bufferCount = -156,
                                .sampleCount = 1,
                                .timeIncrement = 1.0,
                                .summaryText1 = "second"});
    AppendBuffer(file, AnalogBuffer(1, {2.5f}));
    return file;
}

TEST_F(HostileFileTest, BuffersThatLoopBackAreSteppedOverInListing) {
    for (int32_t count : {kMaxCount, kMaxCount - 1}) {
        Write(AlternatingWalk(1, count));
        const std::string firstLine = "first, PB_NORMAL, 1, , , \n";
        const std::string secondLine = "second, PB_NORMAL, 1, , , \n";
        EXPECT_EQ(RunQuillwaveBinary({input}).out,
                  kVersion + firstLine + (count % 2 == 1 ? secondLine : ""))
            << count;
    }
}

TEST_F(HostileFileTest, BuffersThatLoopBackAreSteppedOverInConversion) {
    const std::string second = dir.Path("second.csv");
    const std::string unopenable = dir.Path("missing/first.csv");
    for (int32_t count : {kMaxCount, kMaxCount - 1}) {
        Write(AlternatingWalk(0, count));
        const auto converted = RunQuillwaveBinary({input, dir.Path("first.csv"), second});
        EXPECT_EQ(converted.out, "");
        EXPECT_EQ(ReadFileText(dir.Path("first.csv")), "");
        EXPECT_EQ(ReadFileText(second), count % 2 == 1 ? "0.000000e+00, 2.500000\n" : "");

        // The same walk when the first waveform's output cannot be opened.
        Write(AlternatingWalk(1, count));
        const auto skipped = RunQuillwaveBinary({input, unopenable, second});
        EXPECT_EQ(skipped.out, "Unable to open " + unopenable + "\n");
        EXPECT_EQ(ReadFileText(second), count % 2 == 1 ? "0.000000e+00, 2.500000\n" : "");
    }
}

// Several waveforms walking through one cycle A -> P -> A, where P (offset
// 200) is itself a waveform header whose negative bufferCount leads back to
// A when it is read as a buffer:
//   12  W1, bufferCount 2^31-1: A, P, A, ... ends on P (odd)
//   156 A, dataSize 32: on to P
//   200 P, bufferCount -188: as a buffer, back to A
//   344 W3, bufferCount 2^31-2: its buffer C jumps to A; ends on P (even)
//   488 C, dataSize -344: to A
// Listing five waveforms reads W1, P, W3, P, W3.
TEST_F(HostileFileTest, SeveralWaveformsWalkingOneCyclePrintTheirLines) {
    Bytes file;
    AppendFileHeader(file, 5);
    AppendWaveformHeader(file, {.bufferCount = kMaxCount, .summaryText1 = "W1"});
    AppendBuffer(file, BufferSpec{.dataSize = 32, .samples = Bytes(32, 0)});
    AppendWaveformHeader(file, {.bufferCount = -188, .summaryText1 = "P"});
    AppendWaveformHeader(file,
                         {.waveformType = 5, .bufferCount = kMaxCount - 1, .summaryText1 = "W3"});
    AppendBuffer(file, BufferSpec{.dataSize = -344});
    ASSERT_EQ(file.size(), 500u);
    Write(file);
    const std::string w1 = "W1, PB_NORMAL, 0, , , \n";
    const std::string p = "P, PB_NORMAL, 0, , , \n";
    const std::string w3 = "W3, PB_VERT_HISTOGRAM, 0, , , \n";
    EXPECT_EQ(RunQuillwaveBinary({input}).out, kVersion + w1 + p + w3 + p + w3);
}

// A sparse file (holes take no disk space) whose later waveforms lie past
// the 4 GiB mark: reached by stepping over buffers that declare 2^31 - 1
// bytes and a waveform header that declares as much.
TEST_F(HostileFileTest, WaveformsBeyondFourGibibytes) {
    struct Piece {
        int64_t offset;
        Bytes bytes;
    };
    std::vector<Piece> pieces;
    Bytes head;
    AppendFileHeader(head, 3);
    AppendWaveformHeader(head, {.waveformType = 0, .bufferCount = 3, .summaryText1 = "skipped"});
    pieces.push_back({0, head});
    int64_t offset = static_cast<int64_t>(head.size());
    for (int i = 0; i < 3; ++i) {
        Bytes buffer;
        AppendBuffer(buffer, BufferSpec{.dataType = 4, .dataSize = kMaxCount});
        pieces.push_back({offset, buffer});
        offset += 12 + int64_t{kMaxCount};
    }
    ASSERT_GT(offset, int64_t{1} << 32);
    Bytes far;
    AppendWaveformHeader(far, {.sampleCount = 2, .timeIncrement = 0.5, .summaryText1 = "far"});
    writer::OverwriteI32(far, 0, kMaxCount);  // the rest of the long header is a hole
    pieces.push_back({offset, far});
    offset += kMaxCount;
    Bytes tail;
    AppendBuffer(tail, writer::AnalogBuffer(1, {1.5f, -2.0f}));
    AppendWaveformHeader(tail, {.waveformType = 6, .sampleCount = 1, .summaryText1 = "farther"});
    AppendBuffer(tail, LogicBuffer({0xAB}));
    pieces.push_back({offset, tail});

    const int fd = open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (const Piece& piece : pieces) {
        ASSERT_EQ(pwrite(fd, piece.bytes.data(), piece.bytes.size(), piece.offset),
                  static_cast<ssize_t>(piece.bytes.size()));
    }
    close(fd);
    struct stat info {};
    ASSERT_EQ(stat(input.c_str(), &info), 0);
    ASSERT_GT(info.st_size, int64_t{8} << 30);

    EXPECT_EQ(RunQuillwaveBinary({input}).out, kVersion + "skipped, PB_UNKNOWN, 0, , , \n" +
                                                   "far, PB_NORMAL, 2, , , \n" +
                                                   "farther, PB_LOGIC, 1, , , \n");
    const auto result =
        RunQuillwaveBinary({input, dir.Path("0.csv"), dir.Path("1.csv"), dir.Path("2.csv")});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(ReadFileText(dir.Path("0.csv")), "");
    EXPECT_EQ(ReadFileText(dir.Path("1.csv")), "0.000000e+00, 1.500000\n5.000000e-01, -2.000000\n");
    EXPECT_EQ(ReadFileText(dir.Path("2.csv")), "0.000000e+00, ab\n");
}

// A listing that would print two billion lines, read through a pipe that
// closes after the first: the program ends at once and says nothing.
TEST_F(HostileFileTest, AClosedPipeEndsTheProgramQuietly) {
    Bytes file;
    AppendFileHeader(file, kMaxCount);
    // The waveform's only buffer steps back to the waveform's own header.
    AppendWaveformHeader(file, {.bufferCount = 1, .summaryText1 = "again"});
    AppendBuffer(file, BufferSpec{.dataSize = -156});
    Write(file);
    const std::string stderrPath = dir.Path("stderr");
    const std::string command = std::string("'") + QUILLWAVE_BINARY + "' '" + input + "' 2>'" +
                                stderrPath + "' | head -n 2";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char text[256] = {};
    const size_t got = std::fread(text, 1, sizeof text - 1, pipe);
    pclose(pipe);
    EXPECT_EQ(std::string(text, got), kVersion + "again, PB_NORMAL, 0, , , \n");
    EXPECT_EQ(ReadFileText(stderrPath), "");
}

// One waveform whose `cycleLength` buffers walk back to its own header:
// every one of the 2^31 - 1 declared waveforms is that same one again, and
// prints its line after a walk of the whole chain. A listing must not pay
// that walk per line: the first lines of it, read through a pipe, come at
// the speed of any other listing (a walk per line would take minutes here,
// far beyond the test's timeout).
Bytes WaveformThatWalksBackToItself(int32_t cycleLength) {
    Bytes file;
    AppendFileHeader(file, kMaxCount);
    AppendWaveformHeader(file, {.bufferCount = cycleLength, .summaryText1 = "again"});
    for (int32_t i = 0; i + 1 < cycleLength; ++i) AppendBuffer(file, BufferSpec{.dataSize = 0});
    AppendBuffer(file, BufferSpec{.dataSize = -(144 + 12 * cycleLength)});
    return file;
}

TEST_F(HostileFileTest, ListingAWaveformThatComesBackAfterALongWalkCostsOneWalk) {
    constexpr int kLines = 200000;
    for (int32_t cycleLength : {1000, 20000}) {
        Write(WaveformThatWalksBackToItself(cycleLength));
        const std::string command = std::string("'") + QUILLWAVE_BINARY + "' '" + input +
                                    "' | head -n " + std::to_string(kLines + 1) +
                                    " | LC_ALL=C sort | uniq -c";
        std::FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char text[512] = {};
        const size_t got = std::fread(text, 1, sizeof text - 1, pipe);
        pclose(pipe);
        EXPECT_EQ(std::string(text, got), "      1 " + kVersion + " " + std::to_string(kLines) +
                                              " again, PB_NORMAL, 0, , , \n")
            << cycleLength;
    }
}

// `starts` waveforms, each of whose walks enters one shared cycle of
// `starts + smallBuffers` buffers and, 2^31-ish steps later (cut short by
// the cycle), ends on the header of the next waveform; the last walks back
// to the first. The waveform headers are themselves members of the cycle
// (a header's bufferCount is its dataSize when read as a buffer). Every
// start is distinct, so remembering walks by their start saves nothing on
// the first pass: a listing that walks the cycle once per start takes time
// proportional to starts times cycle length (minutes for this half-megabyte
// file), not to the file and its output.
Bytes WaveformsSharingOneCycle(int32_t starts, int32_t smallBuffers, int32_t waveformType = 1) {
    const int64_t zone = 12 + 156 * int64_t{starts};
    const auto header = [](int64_t k) { return 12 + 156 * k; };
    const auto small = [&](int64_t i) { return zone + 12 * i; };
    const int64_t cycle = int64_t{starts} + smallBuffers;
    // Cycle order: small 0, header 0, small 1, header 1, ..., header starts-1,
    // small starts, ..., small smallBuffers-1, back to small 0.
    const auto node = [&](int64_t index) {
        if (index < 2 * int64_t{starts}) {
            return index % 2 == 0 ? small(index / 2) : header(index / 2);
        }
        return small(index - starts);
    };
    Bytes file;
    AppendFileHeader(file, starts);
    for (int64_t k = 0; k < starts; ++k) {
        const int64_t steps = small(k + 1) - header(k) - 144;
        AppendWaveformHeader(file, {.waveformType = waveformType,
                                    .bufferCount = static_cast<int32_t>(steps),
                                    .summaryText1 = "w"});
        const int64_t end = 2 * ((k + 1) % starts) + 1;
        const int64_t entry = (((end - (steps - 1)) % cycle) + cycle) % cycle;
        const int64_t here = header(k) + 144;
        AppendBuffer(file, BufferSpec{.dataSize = static_cast<int32_t>(node(entry) - here - 12)});
    }
    for (int64_t i = 0; i < smallBuffers; ++i) {
        const int64_t target = i < starts             ? header(i)
                               : i + 1 < smallBuffers ? small(i + 1)
                                                      : small(0);
        AppendBuffer(file, BufferSpec{.dataSize = static_cast<int32_t>(target - small(i) - 12)});
    }
    return file;
}

TEST_F(HostileFileTest, ListingManyWaveformsThatShareOneLongCycleCostsOneWalkOfIt) {
    constexpr int32_t kStarts = 2000;
    Write(WaveformsSharingOneCycle(kStarts, 20000));
    const std::string command =
        std::string("'") + QUILLWAVE_BINARY + "' '" + input + "' | LC_ALL=C sort | uniq -c";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char text[512] = {};
    const size_t got = std::fread(text, 1, sizeof text - 1, pipe);
    pclose(pipe);
    std::string lines = std::to_string(kStarts);
    lines.insert(0, 7 - lines.size(), ' ');  // as uniq -c pads its counts
    EXPECT_EQ(std::string(text, got), "      1 " + kVersion + lines + " w, PB_NORMAL, 0, , , \n");
}

// A conversion steps over all the buffers of an unknown waveform, and of a
// waveform whose output cannot be opened: over the same file, each of those
// walks must not cost a walk around the loop either.
TEST_F(HostileFileTest, ConvertingManyWaveformsThatShareOneLongCycleCostsOneWalkOfIt) {
    constexpr int32_t kStarts = 2000;
    struct Case {
        int32_t waveformType;
        std::string output;
        std::string message;
    };
    const std::string unopenable = dir.Path("missing/out.csv");
    const Case cases[] = {{PB_UNKNOWN, "/dev/null", ""},
                          {PB_NORMAL, unopenable, "Unable to open " + unopenable + "\n"}};
    for (const Case& c : cases) {
        Write(WaveformsSharingOneCycle(kStarts, 20000, c.waveformType));
        std::vector<std::string> args(kStarts + 1, c.output);
        args[0] = input;
        std::string expected;
        for (int32_t k = 0; k < kStarts; ++k) expected += c.message;
        EXPECT_EQ(RunQuillwaveBinary(args).out, expected) << c.waveformType;
    }
}

}  // namespace
}  // namespace quillwave
