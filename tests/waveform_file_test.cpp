// The reading layer: the input stream's moves, stored headers of any declared
// size, and the acceptance rules of the typed buffer readers. Every test
// checks where the stream stands afterwards, since the next item is read
// from there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <thread>

#include "test_support.h"
#include "waveform_file/buffer_readers.h"
#include "waveform_file/descriptor_io.h"
#include "waveform_file/header_readers.h"
#include "waveform_file/waveform_samples.h"

namespace quillwave {
namespace {

using testing::StreamOver;
using writer::AnalogBuffer;
using writer::AppendBuffer;
using writer::AppendWaveformHeader;
using writer::BufferSpec;
using writer::Bytes;
using writer::WaveformSpec;

Bytes Counting(size_t length) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(i);
    return bytes;
}

TEST(InputStream, SeeksBeforeTheFirstByteAreIgnoredAndPastTheEndAllowed) {
    InputStream in = StreamOver(Counting(10));
    SeekRelative(in, 4);
    EXPECT_EQ(in.position, 4);
    SeekRelative(in, -5);
    EXPECT_EQ(in.position, 4);
    SeekRelative(in, -4);
    EXPECT_EQ(in.position, 0);
    SeekRelative(in, 2147483647);
    EXPECT_EQ(in.position, 2147483647);
    unsigned char byte = 0;
    EXPECT_EQ(ReadBytes(in, &byte, 1), 0u);
    EXPECT_EQ(in.position, 2147483647);
    EXPECT_EQ(BytesRemaining(in), 0);
}

TEST(InputStream, ShortReadsStopAtTheEndAndPositionalReadsDoNotMove) {
    InputStream in = StreamOver(Counting(10));
    unsigned char bytes[16] = {};
    EXPECT_EQ(ReadBytesAt(in, 8, bytes, 4), 2u);
    EXPECT_EQ(bytes[0], 8);
    EXPECT_EQ(bytes[1], 9);
    EXPECT_EQ(in.position, 0);
    SeekRelative(in, 7);
    EXPECT_EQ(ReadBytes(in, bytes, 16), 3u);
    EXPECT_EQ(in.position, 10);
}

TEST(InputStream, ReadsAcrossTheReadAheadWindowMatchTheFile) {
    const Bytes file = Counting(300000);
    InputStream stream = StreamOver(file);
    Bytes got(70000);
    // Reads straddling window boundaries, then a large direct one.
    for (int64_t offset : {0, 65530, 131000, 1, 229999}) {
        ASSERT_EQ(ReadBytesAt(stream, offset, got.data(), 70000), 70000u) << offset;
        EXPECT_EQ(0, std::memcmp(got.data(), file.data() + offset, 70000)) << offset;
        ASSERT_EQ(ReadBytesAt(stream, offset + 3, got.data(), 10), 10u);
        EXPECT_EQ(0, std::memcmp(got.data(), file.data() + offset + 3, 10)) << offset;
    }
}

TEST(InputStream, AFileThatShrinksWhileReadEndsWhereItNowEnds) {
    testing::TempDir dir;
    const std::string path = dir.Path("shrinking.bin");
    ASSERT_TRUE(writer::WriteBytesToFile(path, Counting(200)));
    InputStream in;
    ASSERT_TRUE(OpenInputStream(in, path.c_str(), "/tmp"));
    ASSERT_EQ(in.size, 200);
    ASSERT_EQ(truncate(path.c_str(), 50), 0);
    unsigned char bytes[32] = {};
    EXPECT_EQ(ReadBytesAt(in, 100, bytes, 10), 0u);
    EXPECT_EQ(ReadBytesAt(in, 40, bytes, 20), 10u);
    EXPECT_EQ(bytes[9], 49);
    EXPECT_EQ(in.size, 50);
    EXPECT_EQ(BytesRemaining(in), 50);
}

WaveformSpec SampleWaveform() {
    return WaveformSpec{.waveformType = 2,
                        .bufferCount = 7,
                        .sampleCount = -5,
                        .timeIncrement = 0.125,
                        .timeOrigin = -3.5,
                        .summaryText1 = "ABCDEFGHIJKLMNOPQRSTUVWX",  // fills its field
                        .summaryText2 = "two",
                        .summaryText3 = "three",
                        .summaryText4 = "four",
                        .summaryNumber = -9};
}

TEST(ReadWaveformHeader, DecodesEveryFieldAndSkipsExtraHeaderBytes) {
    WaveformSpec spec = SampleWaveform();
    spec.headerSize = 200;
    Bytes file;
    AppendWaveformHeader(file, spec);
    file.push_back(0x42);
    InputStream stream = StreamOver(file);
    WaveformHeader header;
    ASSERT_TRUE(ReadWaveformHeader(stream, header));
    EXPECT_EQ(stream.position, 200);
    EXPECT_EQ(header.headerSize, 200);
    EXPECT_EQ(header.waveformType, 2);
    EXPECT_EQ(header.bufferCount, 7);
    EXPECT_EQ(header.sampleCount, -5);
    EXPECT_EQ(header.timeIncrement, 0.125);
    EXPECT_EQ(header.timeOrigin, -3.5);
    EXPECT_EQ(header.summaryNumber, -9);
    EXPECT_EQ(std::string(header.summaryText1.data(), 24), "ABCDEFGHIJKLMNOPQRSTUVWX");
    EXPECT_STREQ(header.summaryText2.data(), "two");
    EXPECT_STREQ(header.summaryText3.data(), "three");
    EXPECT_STREQ(header.summaryText4.data(), "four");
}

TEST(ReadWaveformHeader, BringsTypesOutsideTheTableToUnknown) {
    for (int32_t stored : {7, 100, -1, 2147483647}) {
        Bytes file;
        AppendWaveformHeader(file, {.waveformType = stored});
        InputStream stream = StreamOver(file);
        WaveformHeader header;
        ASSERT_TRUE(ReadWaveformHeader(stream, header));
        EXPECT_EQ(header.waveformType, PB_UNKNOWN) << stored;
    }
    for (int32_t stored = 0; stored < PB_WAVEFORM_TYPE_COUNT; ++stored) {
        Bytes file;
        AppendWaveformHeader(file, {.waveformType = stored});
        InputStream stream = StreamOver(file);
        WaveformHeader header;
        ASSERT_TRUE(ReadWaveformHeader(stream, header));
        EXPECT_EQ(header.waveformType, stored);
    }
}

// How a stored header that cannot be read leaves the stream and the record.
struct BadHeaderCase {
    const char* name;
    Bytes file;  // the stream starts at offset `start`
    int64_t start;
    int64_t expectedPosition;
};

Bytes WaveformHeaderDeclaring(int32_t size, size_t storedBytes) {
    Bytes file;
    AppendWaveformHeader(file, {});
    file.resize(storedBytes, 0);
    writer::OverwriteI32(file, 0, size);
    return file;
}

TEST(ReadWaveformHeader, FailuresLeaveTheRecordUntouchedAndTheStreamWhereDecided) {
    Bytes prefixed(10, 0xAA);
    const Bytes tail = WaveformHeaderDeclaring(144, 144);
    prefixed.insert(prefixed.end(), tail.begin(), tail.end() - 1);
    const BadHeaderCase cases[] = {
        {"negative size", WaveformHeaderDeclaring(-8, 300), 0, 4},
        {"size 0", WaveformHeaderDeclaring(0, 300), 0, 4},
        {"size 3", WaveformHeaderDeclaring(3, 300), 0, 4},
        {"size 143", WaveformHeaderDeclaring(143, 300), 0, 4},
        {"size field cut short", Bytes{0x90, 0x00}, 0, 2},
        {"header at end of file", Bytes{}, 0, 0},
        {"header past the end", Bytes(3, 0), 5, 5},
        {"header not held whole", WaveformHeaderDeclaring(200, 199), 0, 199},
        {"huge size, small file", WaveformHeaderDeclaring(2147483647, 400), 0, 400},
        {"one byte missing after an offset", prefixed, 10, 153},
    };
    for (const BadHeaderCase& c : cases) {
        InputStream stream = StreamOver(c.file);
        stream.position = c.start;
        WaveformHeader header;
        header.sampleCount = 1234;
        header.waveformType = 5;
        EXPECT_FALSE(ReadWaveformHeader(stream, header)) << c.name;
        EXPECT_EQ(stream.position, c.expectedPosition) << c.name;
        EXPECT_EQ(header.sampleCount, 1234) << c.name;
        EXPECT_EQ(header.waveformType, 5) << c.name;
    }
}

TEST(ReadWaveformDataHeader, ReadsItsRecordAndStopsOnTheFirstSampleByte) {
    Bytes file;
    AppendBuffer(file, BufferSpec{.headerSize = 16,
                                  .dataType = 3,
                                  .sampleWidth = 4,
                                  .dataSize = 8,
                                  .samples = Bytes{1, 2, 3, 4, 5, 6, 7, 8}});
    InputStream stream = StreamOver(file);
    WaveformDataHeader header;
    ASSERT_TRUE(ReadWaveformDataHeader(stream, header));
    EXPECT_EQ(header.headerSize, 16);
    EXPECT_EQ(header.dataType, 3);
    EXPECT_EQ(header.sampleWidth, 4);
    EXPECT_EQ(header.dataSize, 8);
    EXPECT_EQ(stream.position, 16);
}

TEST(ReadWaveformDataHeader, ClampsOnlyDataTypesAboveTheTable) {
    const std::pair<int16_t, int16_t> cases[] = {{9, 0}, {7, 0},   {6, 6},
                                                 {0, 0}, {-2, -2}, {32767, 0}};
    for (const auto& [stored, expected] : cases) {
        Bytes file;
        AppendBuffer(file, BufferSpec{.dataType = stored});
        InputStream stream = StreamOver(file);
        WaveformDataHeader header;
        ASSERT_TRUE(ReadWaveformDataHeader(stream, header));
        EXPECT_EQ(header.dataType, expected) << stored;
    }
}

TEST(ReadWaveformDataHeader, ShortDeclaredSizesFailFourBytesOn) {
    for (int32_t declared : {-1, 0, 1, 3, 11}) {
        Bytes file;
        AppendBuffer(file, BufferSpec{.headerSize = declared});
        file.resize(40, 0);
        InputStream stream = StreamOver(file);
        WaveformDataHeader header;
        EXPECT_FALSE(ReadWaveformDataHeader(stream, header)) << declared;
        EXPECT_EQ(stream.position, 4) << declared;
    }
}

TEST(IgnoreWaveformData, StepsOverHeaderAndDeclaredSamples) {
    const struct {
        int32_t headerSize;
        int32_t dataSize;
        int64_t start;     // where the buffer header lies
        int64_t expected;  // where the stream stands afterwards
        bool ok;
    } cases[] = {
        {12, 0, 0, 12, true},       // no samples: stops after the header
        {12, 20, 0, 32, true},      // samples not read, only stepped over
        {20, 4, 0, 24, true},       // longer header
        {12, -12, 0, 0, true},      // back to the buffer's own header
        {12, -100, 40, 52, true},   // a move before byte 0 is not made
        {12, 1000, 0, 1012, true},  // past the end is allowed
        {8, 0, 0, 4, false},        // header too short: fails 4 bytes on
    };
    for (const auto& c : cases) {
        Bytes file(static_cast<size_t>(c.start), 0);
        AppendBuffer(file, BufferSpec{.headerSize = c.headerSize, .dataSize = c.dataSize});
        file.resize(file.size() + 64, 0);
        InputStream stream = StreamOver(file);
        stream.position = c.start;
        EXPECT_EQ(IgnoreWaveformData(stream), c.ok);
        EXPECT_EQ(stream.position, c.expected) << c.headerSize << " " << c.dataSize;
    }
}

// The acceptance rule of the typed readers, case by case.
struct AcceptCase {
    const char* name;
    int16_t dataType;
    int16_t sampleWidth;
    int32_t dataSize;
    size_t storedBytes;  // sample bytes actually in the file
    int32_t sampleCount;
    bool accepted;
    int64_t positionAfter;  // relative to the end of the 12-byte buffer header
};

TEST(ReadAnalogWaveform, AcceptsOnlyMatchingWidthTypeAndCount) {
    const AcceptCase cases[] = {
        {"type 1", 1, 4, 8, 8, 2, true, 8},
        {"type 2", 2, 4, 8, 8, 2, true, 8},
        {"type 3", 3, 4, 8, 8, 2, true, 8},
        {"type 0", 0, 4, 8, 8, 2, false, 8},
        {"type 4", 4, 4, 8, 8, 2, false, 8},
        {"type 5", 5, 4, 8, 8, 2, false, 8},
        {"negative type", -2, 4, 8, 8, 2, false, 8},
        {"width 2", 1, 2, 8, 8, 2, false, 8},
        {"width 0 never divides", 1, 0, 8, 8, 2, false, 8},
        {"count too small", 1, 4, 8, 8, 3, false, 8},
        {"count too large", 1, 4, 8, 8, 1, false, 8},
        {"remainder dropped", 1, 4, 403, 403, 100, true, 403},
        {"empty buffer, no samples", 1, 4, 0, 0, 0, true, 0},
        {"3 bytes, no samples", 1, 4, 3, 3, 0, true, 3},
        {"negative size matches negative count", 1, 4, -8, 0, -2, false, -8},
        {"negative size", 1, 4, -12, 0, 2, false, -12},
        {"samples cut short", 1, 4, 8, 7, 2, false, 7},
        {"rejected, past the end", 4, 4, 4000, 8, 1000, false, 4000},
    };
    for (const AcceptCase& c : cases) {
        Bytes file(20, 0x11);  // room before the buffer for negative moves
        AppendBuffer(file, BufferSpec{.dataType = c.dataType,
                                      .sampleWidth = c.sampleWidth,
                                      .dataSize = c.dataSize,
                                      .samples = Bytes(c.storedBytes, 0)});
        InputStream stream = StreamOver(file);
        stream.position = 20;
        int16_t report = -1;
        const std::optional<SampleBlock> block =
            ReadAnalogWaveform(stream, WaveformHeader{.sampleCount = c.sampleCount}, &report);
        EXPECT_EQ(block.has_value(), c.accepted) << c.name;
        EXPECT_EQ(report, c.accepted ? c.dataType : 0) << c.name;
        EXPECT_EQ(stream.position, 32 + c.positionAfter) << c.name;
        if (block) {
            EXPECT_EQ(block->fileOffset, 32) << c.name;
            EXPECT_EQ(block->sampleCount, c.sampleCount) << c.name;
        }
    }
}

TEST(ReadAnalogWaveform, FailedHeaderReadReportsZeroAndSkipsNothing) {
    Bytes file;
    AppendBuffer(file, BufferSpec{.headerSize = 5, .dataType = 1, .dataSize = 40});
    file.resize(100, 0);
    InputStream stream = StreamOver(file);
    int16_t report = 7;
    EXPECT_FALSE(ReadAnalogWaveform(stream, WaveformHeader{.sampleCount = 10}, &report));
    EXPECT_EQ(report, 0);
    EXPECT_EQ(stream.position, 4);
}

TEST(TypedReaders, EachTakesOnlyItsOwnKind) {
    const struct {
        int16_t dataType;
        int16_t width;
        bool analog, histogram, logic;
    } kinds[] = {
        {1, 4, true, false, false},  {2, 4, true, false, false},  {3, 4, true, false, false},
        {4, 4, false, false, false}, {5, 4, false, true, false},  {6, 1, false, false, true},
        {6, 4, false, false, false}, {5, 1, false, false, false}, {0, 1, false, false, false},
    };
    for (const auto& k : kinds) {
        Bytes file;
        AppendBuffer(file, BufferSpec{.dataType = k.dataType,
                                      .sampleWidth = k.width,
                                      .samples = Bytes(static_cast<size_t>(3 * k.width), 0)});
        const WaveformHeader waveform{.sampleCount = 3};
        const int64_t end = static_cast<int64_t>(file.size());
        InputStream a = StreamOver(file);
        InputStream h = StreamOver(file);
        InputStream l = StreamOver(file);
        EXPECT_EQ(ReadAnalogWaveform(a, waveform).has_value(), k.analog) << k.dataType;
        EXPECT_EQ(ReadHistogramWaveform(h, waveform).has_value(), k.histogram) << k.dataType;
        EXPECT_EQ(ReadLogicWaveform(l, waveform).has_value(), k.logic) << k.dataType;
        for (const InputStream* stream : {&a, &h, &l}) EXPECT_EQ(stream->position, end) << k.dataType;
    }
}

TEST(LoadSamples, ReturnsTheStoredBytesOfAnyRange) {
    Bytes file;
    AppendBuffer(file, AnalogBuffer(1, {1.0f, 2.0f, 3.0f, 4.0f}));
    InputStream stream = StreamOver(file);
    const std::optional<SampleBlock> block =
        ReadAnalogWaveform(stream, WaveformHeader{.sampleCount = 4});
    ASSERT_TRUE(block);
    unsigned char bytes[8];
    ASSERT_TRUE(LoadSamples(stream, *block, 2, 2, bytes));
    EXPECT_EQ(0, std::memcmp(bytes, file.data() + 12 + 8, 8));
    EXPECT_FALSE(LoadSamples(stream, *block, 3, 2, bytes));  // beyond the file
}

// Why a waveform yields nothing, as the export program tells its users, and
// where the stream stands afterwards (the next waveform is read there).
TEST(ReadWaveformSamples, SaysWhyAWaveformYieldsNothing) {
    const auto waveform = [](int32_t type, int32_t bufferCount,
                             const std::vector<BufferSpec>& buffers) {
        Bytes file;
        AppendWaveformHeader(file,
                             {.waveformType = type, .bufferCount = bufferCount, .sampleCount = 2});
        for (const BufferSpec& buffer : buffers) AppendBuffer(file, buffer);
        return file;
    };
    const BufferSpec good = AnalogBuffer(3, {1.0f, 2.0f});
    Bytes truncated = waveform(1, 1, {BufferSpec{.dataSize = 4000, .samples = Bytes(1200)}});
    writer::OverwriteI32(truncated, 144 + 8, 8);  // declares 2 samples' bytes...
    truncated.resize(144 + 12 + 5);               // ...and holds 5 of the 8
    Bytes shortHeader;
    AppendWaveformHeader(shortHeader, {.headerSize = 100});
    const struct {
        Bytes file;
        std::string reason;
    } cases[] = {
        {waveform(0, 1, {good}), "unknown waveform type"},
        {waveform(1, 1, {BufferSpec{.dataType = 4, .samples = Bytes(8)}}),
         "buffer 1 has data type 4, not an analog type"},
        {waveform(5, 1, {good}), "buffer 1 has data type 3, not a histogram type"},
        {waveform(6, 2, {writer::LogicBuffer({1, 2}), good}), "buffer 2 has sample width 4, not 1"},
        {waveform(1, 1, {AnalogBuffer(1, {1.0f})}),
         "buffer 1 holds 1 samples (dataSize 4), the waveform declares 2"},
        {waveform(2, 2, {AnalogBuffer(1, {1.0f, 2.0f}), good}),
         "buffer 1 has data type 1; a peak-detect waveform's first buffer must be of data type 3 "
         "or 2"},
        {waveform(2, 2, {good, BufferSpec{.headerSize = 8}}),
         "the header of buffer 2 cannot be read (the file ends there, or it declares fewer than "
         "12 bytes)"},
        {truncated, "the file ends inside buffer 1: 8 bytes declared, 5 present"},
        {shortHeader,
         "the waveform header cannot be read (the file ends there, or it declares fewer than 144 "
         "bytes)"},
    };
    for (const auto& c : cases) {
        InputStream stream = StreamOver(c.file);
        const WaveformSamples samples = ReadWaveformSamples(stream);
        EXPECT_FALSE(YieldsSamples(samples)) << c.reason;
        EXPECT_EQ(samples.columnCount, 0u) << c.reason;
        EXPECT_EQ(DescribeNoSamples(samples), c.reason);
    }
}

TEST(ReadWaveformSamples, ColumnsComeInColumnOrderWithTheirBuffers) {
    // Peak detect stored as data type 2 then 3: the data-type-3 buffer (the
    // second) is the first column. Two-buffer logic: buffer order.
    Bytes peak;
    AppendWaveformHeader(peak, {.waveformType = 2, .bufferCount = 2, .sampleCount = 1});
    AppendBuffer(peak, AnalogBuffer(2, {-1.0f}));
    AppendBuffer(peak, AnalogBuffer(3, {1.0f}));
    Bytes logic;
    AppendWaveformHeader(logic, {.waveformType = 6, .bufferCount = 2, .sampleCount = 1});
    AppendBuffer(logic, writer::LogicBuffer({0x0A}));
    AppendBuffer(logic, writer::LogicBuffer({0x05}));
    const struct {
        Bytes* file;
        int16_t firstType, secondType;
        int32_t firstBuffer, secondBuffer;
        int64_t firstOffset, secondOffset;  // of the samples
    } cases[] = {{&peak, 3, 2, 2, 1, 172, 156}, {&logic, 6, 6, 1, 2, 156, 169}};
    for (const auto& c : cases) {
        InputStream stream = StreamOver(*c.file);
        const WaveformSamples samples = ReadWaveformSamples(stream);
        ASSERT_TRUE(YieldsSamples(samples));
        ASSERT_EQ(samples.columnCount, 2u);
        EXPECT_EQ(samples.columns[0].dataType, c.firstType);
        EXPECT_EQ(samples.columns[1].dataType, c.secondType);
        EXPECT_EQ(samples.columns[0].bufferNumber, c.firstBuffer);
        EXPECT_EQ(samples.columns[1].bufferNumber, c.secondBuffer);
        EXPECT_EQ(samples.columns[0].block.fileOffset, c.firstOffset);
        EXPECT_EQ(samples.columns[1].block.fileOffset, c.secondOffset);
        EXPECT_EQ(stream.position, static_cast<int64_t>(c.file->size()));
    }
}

TEST(WriteAll, DeliversEverythingToADescriptorLeftNonBlocking) {
    // A pipe left non-blocking by whoever made it, read slowly: writes come
    // back partial, then with EAGAIN. Every byte must still arrive, in order.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    Bytes sent = Counting(1 << 20);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 7 / 3);
    Bytes received;
    std::thread reader([&] {
        unsigned char chunk[4096];
        for (;;) {
            usleep(200);
            const ssize_t got = read(ends[0], chunk, sizeof chunk);
            if (got <= 0) break;
            received.insert(received.end(), chunk, chunk + got);
        }
    });
    EXPECT_TRUE(WriteAll(ends[1], sent.data(), sent.size()));
    close(ends[1]);
    reader.join();
    close(ends[0]);
    EXPECT_EQ(received, sent);
}

}  // namespace
}  // namespace quillwave
