// Files crafted so that the declared counts alone would keep a literal walk
// busy for billions of steps. The program must give exactly the literal
// walk's output, in time bounded by the file and by what it writes. These
// tests run under a CTest timeout far shorter than a literal walk would take.
#include <gtest/gtest.h>

#include <random>

#include "test_support.h"
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
            CloseInputStream(fast);
            CloseInputStream(literal);
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
    AppendWaveformHeader(file, {.waveformType = firstType, .bufferCount = bufferCount,
                                .sampleCount = 1, .summaryText1 = "first"});
    AppendBuffer(file, BufferSpec{.dataSize = 0});
    AppendWaveformHeader(file, {.waveformType = 1, .bufferCount = -156, .sampleCount = 1,
                                .timeIncrement = 1.0, .summaryText1 = "second"});
    AppendBuffer(file, AnalogBuffer(1, {2.5f}));
    return file;
}

TEST_F(HostileFileTest, BuffersThatLoopBackAreSteppedOverInListing) {
    for (int32_t count : {kMaxCount, kMaxCount - 1}) {
        Write(AlternatingWalk(1, count));
        const std::string firstLine = "first, PB_NORMAL, 1, , , \n";
        const std::string secondLine = "second, PB_NORMAL, 1, , , \n";
        EXPECT_EQ(RunQuillwaveBinary({input}).out,
                  kVersion + firstLine + (count % 2 == 1 ? secondLine : "")) << count;
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
    AppendWaveformHeader(file, {.waveformType = 5, .bufferCount = kMaxCount - 1,
                                .summaryText1 = "W3"});
    AppendBuffer(file, BufferSpec{.dataSize = -344});
    ASSERT_EQ(file.size(), 500u);
    Write(file);
    const std::string w1 = "W1, PB_NORMAL, 0, , , \n";
    const std::string p = "P, PB_NORMAL, 0, , , \n";
    const std::string w3 = "W3, PB_VERT_HISTOGRAM, 0, , , \n";
    EXPECT_EQ(RunQuillwaveBinary({input}).out, kVersion + w1 + p + w3 + p + w3);
}

}  // namespace
}  // namespace quillwave
