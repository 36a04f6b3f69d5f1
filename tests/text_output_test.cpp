// Summary lines and conversion of single waveforms, checked byte for byte.
// Expected numbers come from printf itself, the definition of the formats.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "test_support.h"
#include "text_output/conversion.h"
#include "text_output/summary.h"
#include "text_output/vector_fields.h"
#include "waveform_file/buffer_readers.h"

namespace quillwave {
namespace {

using testing::Printf;
using testing::StreamOver;
using writer::AnalogBuffer;
using writer::AppendBuffer;
using writer::AppendWaveformHeader;
using writer::BufferSpec;
using writer::Bytes;
using writer::HistogramBuffer;
using writer::LogicBuffer;
using writer::WaveformSpec;

struct Outcome {
    std::string text;
    bool result = false;
    int64_t position = 0;  // where the stream stands afterwards
    int64_t fileSize = 0;
};

// Converts into a capture sink of `sinkCapacity` bytes, or with `ring`
// buffers into a pipelined sink over an in-memory file.
Outcome ConvertWithSink(const Bytes& file, size_t sinkCapacity, size_t ring = 0) {
    InputStream in = StreamOver(file);
    Outcome outcome;
    TextSink sink;
    const int memory = ring > 0 ? memfd_create("text", MFD_CLOEXEC) : -1;
    if (ring > 0) {
        OpenPipelinedTextSink(sink, memory, sinkCapacity, ring);
    } else {
        OpenCaptureSink(sink, outcome.text, sinkCapacity);
    }
    outcome.result = OutputWaveform(in, sink);
    EXPECT_TRUE(FlushTextSink(sink));
    CloseTextSink(sink);
    if (ring > 0) {
        outcome.text = testing::ReadFileText("/proc/self/fd/" + std::to_string(memory));
        close(memory);
    }
    outcome.position = in.position;
    outcome.fileSize = static_cast<int64_t>(file.size());
    return outcome;
}

// Converts with the vector formatter switched off (the path of processors
// without it) and on (where this one has it), through a sink smaller than
// one line (which must grow rather than overrun), through a small one that
// takes lines eight at a time, so lines cross flushes, and through writer
// threads with rings of two and three tiny buffers: all must agree.
Outcome Convert(const Bytes& file) {
    SetVectorFieldsEnabled(false);
    const Outcome scalar = ConvertWithSink(file, 4096);
    const Outcome tiny = ConvertWithSink(file, 16);
    const Outcome pipelined = ConvertWithSink(file, 200, 2);
    SetVectorFieldsEnabled(true);
    Outcome vector = ConvertWithSink(file, 4096);
    const Outcome vectorPipelined = ConvertWithSink(file, 1000, 3);
    for (const Outcome* other : {&scalar, &tiny, &pipelined, &vectorPipelined}) {
        EXPECT_EQ(vector.text, other->text);
        EXPECT_EQ(vector.result, other->result);
        EXPECT_EQ(vector.position, other->position);
    }
    return vector;
}

std::string Summarize(const Bytes& file, int64_t* position = nullptr) {
    InputStream in = StreamOver(file);
    std::string text;
    TextSink sink;
    OpenCaptureSink(sink, text);
    SummarizeWaveform(in, sink);
    FlushTextSink(sink);
    if (position != nullptr) *position = in.position;
    return text;
}

WaveformSpec Described(int32_t type, int32_t summaryNumber) {
    return WaveformSpec{.waveformType = type,
                        .bufferCount = 0,
                        .sampleCount = 500,
                        .summaryText1 = "A",
                        .summaryText2 = "B",
                        .summaryText3 = "C",
                        .summaryText4 = "D",
                        .summaryNumber = summaryNumber};
}

TEST(Summary, LinesForEachCombinationOfFields) {
    WaveformSpec empty{.waveformType = 4, .bufferCount = 0, .sampleCount = -3};
    WaveformSpec full{.waveformType = 6,
                      .bufferCount = 0,
                      .sampleCount = 0,
                      .summaryText1 = std::string(24, 'x'),
                      .summaryText2 = std::string(24, 'y'),
                      .summaryText3 = std::string(16, 'z'),
                      .summaryText4 = std::string(16, 'w')};
    const std::pair<WaveformSpec, std::string> cases[] = {
        {Described(1, 0), "A, PB_NORMAL, 500, B, C, D\n"},
        {Described(1, 3), "A, PB_NORMAL, 3, 500, B, C, D\n"},
        {Described(1, -1), "A, PB_NORMAL, -1, 500, B, C, D\n"},
        {Described(9, 0), "A, PB_UNKNOWN, 500, B, C, D\n"},
        {Described(2, 0), "A, PB_PEAK_DETECT, 500, B, C, D\n"},
        {Described(3, 0), "A, PB_AVERAGE, 500, B, C, D\n"},
        {Described(5, -2147483647 - 1), "A, PB_VERT_HISTOGRAM, -2147483648, 500, B, C, D\n"},
        {empty, ", PB_HORZ_HISTOGRAM, -3, , , \n"},
        // Texts filling their fields are written whole and never run on.
        {full, std::string(24, 'x') + ", PB_LOGIC, 0, " + std::string(24, 'y') + ", " +
                   std::string(16, 'z') + ", " + std::string(16, 'w') + "\n"},
    };
    for (const auto& [spec, expected] : cases) {
        Bytes file;
        AppendWaveformHeader(file, spec);
        EXPECT_EQ(Summarize(file), expected);
    }
}

TEST(Summary, StepsOverEveryBufferAndNothingWhenTheHeaderIsBad) {
    Bytes file;
    AppendWaveformHeader(file, {.bufferCount = 3, .sampleCount = 2, .summaryText1 = "S"});
    for (int i = 0; i < 3; ++i) AppendBuffer(file, AnalogBuffer(1, {1.0f, 2.0f}));
    const auto end = static_cast<int64_t>(file.size());
    file.resize(file.size() + 50, 0x33);
    int64_t position = 0;
    EXPECT_EQ(Summarize(file, &position), "S, PB_NORMAL, 2, , , \n");
    EXPECT_EQ(position, end);

    Bytes bad;
    AppendWaveformHeader(bad, {.headerSize = 100});
    EXPECT_EQ(Summarize(bad), "");
}

// The lines that printf writes for an analog waveform with these values.
std::string AnalogLines(const WaveformSpec& spec, const std::vector<float>& values) {
    std::string lines;
    for (size_t i = 0; i < values.size(); ++i) {
        const double time = static_cast<double>(i) * spec.timeIncrement + spec.timeOrigin;
        lines += Printf("%e, %f\n", time, static_cast<double>(values[i]));
    }
    return lines;
}

TEST(Conversion, NormalWaveformLines) {
    WaveformSpec spec{
        .waveformType = 1, .sampleCount = 2, .timeIncrement = 0.000001, .timeOrigin = -0.001};
    Bytes file;
    AppendWaveformHeader(file, spec);
    AppendBuffer(file, AnalogBuffer(1, {0.5f, -0.25f}));
    const Outcome outcome = Convert(file);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.text, "-1.000000e-03, 0.500000\n-9.990000e-04, -0.250000\n");
    EXPECT_EQ(outcome.position, outcome.fileSize);
}

TEST(Conversion, AverageAndAnyAnalogDataTypeWriteLikeNormal) {
    const std::vector<float> values = {1.0f,
                                       -0.0f,
                                       3.25e-7f,
                                       123456.7f,
                                       std::numeric_limits<float>::infinity(),
                                       -std::numeric_limits<float>::infinity(),
                                       std::numeric_limits<float>::max(),
                                       std::numeric_limits<float>::denorm_min(),
                                       0.0000005f,
                                       0.0000015f,
                                       2.5f};
    for (int32_t type : {1, 3}) {
        for (const int16_t dataType : {int16_t{1}, int16_t{2}, int16_t{3}}) {
            WaveformSpec spec{.waveformType = type,
                              .sampleCount = static_cast<int32_t>(values.size()),
                              .timeIncrement = 1e-9,
                              .timeOrigin = 5e-6};
            Bytes file;
            AppendWaveformHeader(file, spec);
            AppendBuffer(file, AnalogBuffer(dataType, values));
            const Outcome outcome = Convert(file);
            EXPECT_TRUE(outcome.result);
            EXPECT_EQ(outcome.text, AnalogLines(spec, values)) << type << "/" << dataType;
        }
    }
}

TEST(Conversion, NotANumberIsWrittenAsPrintfWritesIt) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    WaveformSpec spec{.waveformType = 1, .sampleCount = 2, .timeIncrement = 1.0};
    Bytes file;
    AppendWaveformHeader(file, spec);
    AppendBuffer(file, AnalogBuffer(1, {nan, -nan}));
    EXPECT_EQ(Convert(file).text, Printf("%e, %f\n%e, %f\n", 0.0, static_cast<double>(nan), 1.0,
                                         static_cast<double>(-nan)));
}

TEST(Conversion, SignOfZeroTimeFollowsTheFormula) {
    for (double increment : {1e-3, -1e-3}) {
        WaveformSpec spec{
            .waveformType = 1, .sampleCount = 1, .timeIncrement = increment, .timeOrigin = -0.0};
        Bytes file;
        AppendWaveformHeader(file, spec);
        AppendBuffer(file, AnalogBuffer(1, {1.0f}));
        EXPECT_EQ(Convert(file).text,
                  increment > 0 ? "0.000000e+00, 1.000000\n" : "-0.000000e+00, 1.000000\n");
    }
}

TEST(Conversion, TimeIsRoundedProductPlusOriginWithoutFusedMultiplyAdd) {
    // Chosen so that a fused multiply-add gives a different binary64 result.
    const WaveformHeader header{.timeIncrement = 0.1, .timeOrigin = -0.30000000000000004};
    const volatile double increment = header.timeIncrement;
    const double product = 3.0 * increment;
    ASSERT_NE(std::fma(3.0, 0.1, -0.30000000000000004), product - 0.30000000000000004);
    EXPECT_EQ(ComputeTimeFromIndex(3, header), product + header.timeOrigin);
    EXPECT_EQ(ComputeTimeFromIndex(-2147483647 - 1, WaveformHeader{.timeIncrement = 0.5}),
              -1073741824.0);
}

TEST(Conversion, PeakDetectTakesTypeThreeAsTheFirstColumnInEitherOrder) {
    const std::vector<float> upper = {1.5f, 2.5f};
    const std::vector<float> lower = {-1.5f, -2.5f};
    const std::string expected =
        Printf("%e, %f, %f\n%e, %f, %f\n", 0.0, 1.5, -1.5, 0.25, 2.5, -2.5);
    for (bool upperFirst : {true, false}) {
        Bytes file;
        AppendWaveformHeader(
            file, {.waveformType = 2, .bufferCount = 2, .sampleCount = 2, .timeIncrement = 0.25});
        AppendBuffer(file, upperFirst ? AnalogBuffer(3, upper) : AnalogBuffer(2, lower));
        AppendBuffer(file, upperFirst ? AnalogBuffer(2, lower) : AnalogBuffer(3, upper));
        const Outcome outcome = Convert(file);
        EXPECT_TRUE(outcome.result);
        EXPECT_EQ(outcome.text, expected);
        EXPECT_EQ(outcome.position, outcome.fileSize);
    }
}

TEST(Conversion, PeakDetectFailuresWriteNothingAndStopWhereTheyRead) {
    const struct {
        const char* name;
        BufferSpec first;
        BufferSpec second;
        bool secondRead;
    } cases[] = {
        {"first of type 1", AnalogBuffer(1, {1.0f}), AnalogBuffer(2, {1.0f}), false},
        {"first rejected", AnalogBuffer(3, {1.0f, 2.0f}), AnalogBuffer(2, {1.0f}), false},
        {"second rejected", AnalogBuffer(3, {1.0f}), HistogramBuffer({1}), true},
        {"second of wrong size", AnalogBuffer(2, {1.0f}), AnalogBuffer(3, {1.0f, 2.0f}), true},
    };
    for (const auto& c : cases) {
        Bytes file;
        AppendWaveformHeader(file, {.waveformType = 2, .bufferCount = 2, .sampleCount = 1});
        AppendBuffer(file, c.first);
        const auto afterFirst = static_cast<int64_t>(file.size());
        AppendBuffer(file, c.second);
        const Outcome outcome = Convert(file);
        EXPECT_FALSE(outcome.result) << c.name;
        EXPECT_EQ(outcome.text, "") << c.name;
        EXPECT_EQ(outcome.position, c.secondRead ? outcome.fileSize : afterFirst) << c.name;
    }
}

TEST(Conversion, PeakDetectOfNoSamplesReadsBothEmptyBuffers) {
    Bytes file;
    AppendWaveformHeader(file, {.waveformType = 2, .bufferCount = 2, .sampleCount = 0});
    AppendBuffer(file, AnalogBuffer(3, {}));
    AppendBuffer(file, AnalogBuffer(2, {}));
    const Outcome outcome = Convert(file);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.text, "");
    EXPECT_EQ(outcome.position, outcome.fileSize);
}

TEST(Conversion, HistogramCountsAreSignedDecimals) {
    for (int32_t type : {4, 5}) {
        Bytes file;
        AppendWaveformHeader(file, {.waveformType = type, .sampleCount = 5, .timeIncrement = 2.0});
        AppendBuffer(file, HistogramBuffer({0, 7, -1, 2147483647, -2147483647 - 1}));
        const Outcome outcome = Convert(file);
        EXPECT_TRUE(outcome.result);
        EXPECT_EQ(outcome.text,
                  "0.000000e+00, 0\n2.000000e+00, 7\n4.000000e+00, -1\n"
                  "6.000000e+00, 2147483647\n8.000000e+00, -2147483648\n");
    }
}

TEST(Conversion, LogicBytesInHexadecimal) {
    Bytes one;
    AppendWaveformHeader(
        one, {.waveformType = 6, .bufferCount = 1, .sampleCount = 2, .timeIncrement = 1.0});
    AppendBuffer(one, LogicBuffer({0x00, 0xFF}));
    EXPECT_EQ(Convert(one).text, "0.000000e+00, 0\n1.000000e+00, ff\n");

    // Two buffers: the second buffer's byte first, neither padded.
    Bytes two;
    AppendWaveformHeader(
        two, {.waveformType = 6, .bufferCount = 2, .sampleCount = 3, .timeIncrement = 1.0});
    AppendBuffer(two, LogicBuffer({0x0A, 0x10, 0x00}));
    AppendBuffer(two, LogicBuffer({0x05, 0x01, 0xAB}));
    EXPECT_EQ(Convert(two).text, "0.000000e+00, 5a\n1.000000e+00, 110\n2.000000e+00, ab0\n");

    // Any other buffer count reads one buffer only.
    Bytes three;
    AppendWaveformHeader(three, {.waveformType = 6, .bufferCount = 3, .sampleCount = 1});
    AppendBuffer(three, LogicBuffer({0x3C}));
    const auto afterOne = static_cast<int64_t>(three.size());
    AppendBuffer(three, LogicBuffer({0x01}));
    const Outcome outcome = Convert(three);
    EXPECT_EQ(outcome.text, "0.000000e+00, 3c\n");
    EXPECT_EQ(outcome.position, afterOne);
}

TEST(Conversion, TwoBufferLogicReadsTheSecondEvenWhenTheFirstIsRejected) {
    Bytes file;
    AppendWaveformHeader(file, {.waveformType = 6, .bufferCount = 2, .sampleCount = 1});
    AppendBuffer(file, HistogramBuffer({1}));
    AppendBuffer(file, LogicBuffer({0x01}));
    const Outcome outcome = Convert(file);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.text, "");
    EXPECT_EQ(outcome.position, outcome.fileSize);
}

TEST(Conversion, UnknownWaveformsStepOverAllBuffersAndWriteNothing) {
    Bytes file;
    AppendWaveformHeader(file, {.waveformType = 0, .bufferCount = 3, .sampleCount = 1});
    for (int i = 0; i < 3; ++i) AppendBuffer(file, AnalogBuffer(1, {1.0f}));
    const Outcome outcome = Convert(file);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.text, "");
    EXPECT_EQ(outcome.position, outcome.fileSize);
}

TEST(Conversion, RejectedOrMissingBuffersWriteNothing) {
    const struct {
        const char* name;
        int32_t bufferCount;
        BufferSpec buffer;
        size_t cut;  // bytes removed from the end of the file
    } cases[] = {
        {"wrong width", 1, BufferSpec{.dataType = 1, .sampleWidth = 2, .samples = Bytes(8)}, 0},
        {"wrong data type", 1, HistogramBuffer({1, 2}), 0},
        {"wrong size", 1, AnalogBuffer(1, {1.0f}), 0},
        {"samples cut short", 1, AnalogBuffer(1, {1.0f, 2.0f}), 1},
        {"no buffers declared: the bytes after are read as one", 0, AnalogBuffer(1, {1.0f, 2.0f}),
         0},
    };
    for (const auto& c : cases) {
        Bytes file;
        AppendWaveformHeader(file,
                             {.waveformType = 1, .bufferCount = c.bufferCount, .sampleCount = 2});
        AppendBuffer(file, c.buffer);
        file.resize(file.size() - c.cut);
        const Outcome outcome = Convert(file);
        const bool accepted = c.bufferCount == 0;
        EXPECT_EQ(outcome.result, accepted) << c.name;
        EXPECT_EQ(outcome.text.empty(), !accepted) << c.name;
        EXPECT_EQ(outcome.position, outcome.fileSize) << c.name;
    }
}

TEST(Conversion, EveryTypeWrittenFourLinesAtATimeMatchesPrintf) {
    // Times that the vector formatter takes (no zero among them), values in
    // and out of its range, and a count that leaves three lines over.
    constexpr size_t kCount = 4 * 300 + 3;
    const double increment = 1e-6;
    const double origin = 1.25e-3;
    std::vector<float> upper;
    std::vector<float> lower;
    std::vector<int32_t> counts;
    std::vector<unsigned char> lowBytes;
    std::vector<unsigned char> highBytes;
    uint32_t state = 12345;
    for (size_t i = 0; i < kCount; ++i) {
        state = state * 1103515245u + 12345u;
        const float value = static_cast<float>(static_cast<int32_t>(state >> 8) - (1 << 23)) *
                            (i % 97 == 0 ? 1e-4f : 1e-6f);  // now and then 10 or more
        upper.push_back(value);
        lower.push_back(i % 5 == 0 ? -0.0f : -value / 3);
        counts.push_back(static_cast<int32_t>(state) >> (i % 31));  // every length, both signs
        lowBytes.push_back(static_cast<unsigned char>(state >> 3));
        highBytes.push_back(static_cast<unsigned char>(state >> 11) & (i % 2 == 0 ? 0x0F : 0xFF));
    }
    std::string normal;
    std::string peak;
    std::string histogram;
    std::string logic;
    for (size_t i = 0; i < kCount; ++i) {
        const double time = static_cast<double>(i) * increment + origin;
        normal += Printf("%e, %f\n", time, static_cast<double>(upper[i]));
        peak += Printf("%e, %f, %f\n", time, static_cast<double>(upper[i]),
                       static_cast<double>(lower[i]));
        histogram += Printf("%e, %i\n", time, counts[i]);
        logic += Printf("%e, %x%x\n", time, highBytes[i], lowBytes[i]);
    }
    const auto convert = [&](int32_t type, int32_t bufferCount, const auto& buffers) {
        Bytes file;
        AppendWaveformHeader(file, {.waveformType = type,
                                    .bufferCount = bufferCount,
                                    .sampleCount = static_cast<int32_t>(kCount),
                                    .timeIncrement = increment,
                                    .timeOrigin = origin});
        for (const BufferSpec& buffer : buffers) AppendBuffer(file, buffer);
        const Outcome outcome = Convert(file);
        EXPECT_TRUE(outcome.result) << type;
        return outcome.text;
    };
    EXPECT_EQ(convert(1, 1, std::vector{AnalogBuffer(1, upper)}), normal);
    EXPECT_EQ(convert(2, 2, std::vector{AnalogBuffer(2, lower), AnalogBuffer(3, upper)}), peak);
    EXPECT_EQ(convert(4, 1, std::vector{HistogramBuffer(counts)}), histogram);
    EXPECT_EQ(convert(6, 2, std::vector{LogicBuffer(lowBytes), LogicBuffer(highBytes)}), logic);
}

TEST(Conversion, ManyChunksOfSamplesMatchPrintf) {
    // More samples than one chunk, with a sink smaller than one chunk of text.
    std::vector<float> values;
    uint32_t bits = 0x3f800000;
    for (int i = 0; i < 40000; ++i) {
        bits = bits * 1103515245u + 12345u;
        float v = std::bit_cast<float>((bits & 0x807fffffu) | 0x3c000000u);  // |v| in [2^-7, 2^-6)
        values.push_back(v * static_cast<float>(i % 1000));
    }
    WaveformSpec spec{.waveformType = 1,
                      .sampleCount = static_cast<int32_t>(values.size()),
                      .timeIncrement = 3.3e-9,
                      .timeOrigin = -1.1e-5};
    Bytes file;
    AppendWaveformHeader(file, spec);
    AppendBuffer(file, AnalogBuffer(1, values));
    EXPECT_EQ(Convert(file).text, AnalogLines(spec, values));
}

TEST(Conversion, AFileCutShortWhileBeingConvertedStopsWithoutInventingSamples) {
    std::vector<float> values(40000, 0.25f);
    WaveformSpec spec{.waveformType = 1, .sampleCount = 40000, .timeIncrement = 1.0};
    Bytes file;
    AppendWaveformHeader(file, spec);
    AppendBuffer(file, AnalogBuffer(1, values));
    // Without a writer thread, and with two threads sharing chunks of 2000
    // lines: the one that meets the cut must not leave the other waiting
    // for its turn, nor may a chunk after the cut be written.
    for (const bool pipelined : {false, true}) {
        testing::TempDir dir;
        const std::string path = dir.Path("capture.bin");
        ASSERT_TRUE(writer::WriteBytesToFile(path, file));
        InputStream in;
        ASSERT_TRUE(OpenInputStream(in, path.c_str(), "/tmp"));
        // Another program cuts the file inside a later chunk of samples
        // after the buffer was accepted on the size seen at opening.
        ASSERT_EQ(truncate(path.c_str(), 144 + 12 + 4 * 19999), 0);
        std::string text;
        TextSink sink;
        const int memory = memfd_create("text", MFD_CLOEXEC);
        if (pipelined) {
            OpenPipelinedTextSink(sink, memory, size_t{64} * 1024, 2);
        } else {
            OpenCaptureSink(sink, text);
        }
        EXPECT_FALSE(OutputWaveform(in, sink));
        FlushTextSink(sink);
        CloseTextSink(sink);
        CloseInputStream(in);
        if (pipelined) text = testing::ReadFileText("/proc/self/fd/" + std::to_string(memory));
        close(memory);
        // Only whole chunks that were read are written, each line complete.
        const auto lines = std::count(text.begin(), text.end(), '\n');
        EXPECT_LT(lines, 20000) << pipelined;
        EXPECT_TRUE(text.empty() || text.back() == '\n');
        EXPECT_EQ(text.find("0.250000\n") == std::string::npos, lines == 0);
        if (pipelined) {
            EXPECT_EQ(lines, 18000);  // the nine whole chunks before the cut
        }
    }
}

TEST(Conversion, ASinkThatFailsStopsTheWaveformsFormatting) {
    // A pipe whose reader is gone: every write fails (SIGPIPE ignored, as a
    // parent may leave it). Formatting the rest of a long waveform into it
    // would only waste time, so the writer stops at its next chunk, with or
    // without a writer thread.
    constexpr int32_t kSamples = 200000;
    Bytes file;
    AppendWaveformHeader(file, {.waveformType = 1, .sampleCount = kSamples});
    AppendBuffer(file, AnalogBuffer(1, std::vector<float>(kSamples, 0.5f)));
    for (const bool pipelined : {false, true}) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        close(ends[0]);
        const auto previous = signal(SIGPIPE, SIG_IGN);
        InputStream in = StreamOver(file);
        TextSink sink;
        if (pipelined) {
            OpenPipelinedTextSink(sink, ends[1], size_t{64} * 1024, 2);
        } else {
            OpenTextSink(sink, ends[1], size_t{64} * 1024);
        }
        EXPECT_FALSE(OutputWaveform(in, sink));
        EXPECT_FALSE(FlushTextSink(sink));
        EXPECT_EQ(sink.error, EPIPE) << pipelined;  // kept for the message
        CloseTextSink(sink);
        signal(SIGPIPE, previous);
        close(ends[1]);
        CloseInputStream(in);
        // Lines are about 25 bytes: the whole waveform would be 5 MB.
        EXPECT_LT(TextWritten(sink), uint64_t{2} << 20) << pipelined;
    }
}

// Fault: text placed back over what was written before it (a header
// finished after its data, as the sr and wav writers do) lost, written
// before that data, or appended at the descriptor's offset; a retargeted
// sink still writing by position. Buffers of 4 bytes: every piece crosses
// a hand-over, with a writer thread and without.
TEST(TextSink, PlacedTextGoesWhereItWasPlacedInTheOrderWritten) {
    for (const bool pipelined : {false, true}) {
        const int placed = memfd_create("placed", MFD_CLOEXEC);
        const int next = memfd_create("next", MFD_CLOEXEC);
        TextSink sink;
        if (pipelined) {
            ASSERT_TRUE(OpenPipelinedTextSink(sink, placed, 4, 2));
        } else {
            OpenTextSink(sink, placed, 4);
        }
        PlaceTextSink(sink, 0);
        WriteText(sink, "header..data-data-data");
        EXPECT_EQ(PlacedPosition(sink), 22);
        PlaceTextSink(sink, 0);
        WriteText(sink, "HEADER");
        PlaceTextSink(sink, 22);
        WriteText(sink, "-end");
        RetargetTextSink(sink, next);
        EXPECT_EQ(PlacedPosition(sink), -1);
        WriteText(sink, "in turn");
        EXPECT_TRUE(FlushTextSink(sink));
        CloseTextSink(sink);
        EXPECT_EQ(testing::ReadFileText("/proc/self/fd/" + std::to_string(placed)),
                  "HEADER..data-data-data-end")
            << pipelined;
        EXPECT_EQ(testing::ReadFileText("/proc/self/fd/" + std::to_string(next)), "in turn")
            << pipelined;
        close(placed);
        close(next);
    }
}

}  // namespace
}  // namespace quillwave
