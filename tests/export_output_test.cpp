// The export's pieces: shortest numbers against std::to_chars and
// std::from_chars, times taken from their decimal grid against the search,
// JSON strings, the NPY header, column order, and the
// measure of a capture's walk against a literal walk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "export_output/capture_walk.h"
#include "export_output/chunk_prefetch.h"
#include "export_output/format_files.h"
#include "export_output/json_description.h"
#include "export_output/sample_files.h"
#include "export_output/shortest_number.h"
#include "test_support.h"
#include "waveform_file/waveform_samples.h"

namespace quillwave {
namespace {

using testing::StreamOver;
using writer::AnalogBuffer;
using writer::AppendBuffer;
using writer::AppendFileHeader;
using writer::AppendWaveformHeader;
using writer::BufferSpec;
using writer::Bytes;
using writer::LogicBuffer;

// A difference between our text and what it must be: it reads back to the
// same bits (NaN to a NaN) with std::from_chars, and through strtod and a
// cast when it is a binary32 (as numpy and pandas read a float32 column),
// and is no longer than std::to_chars' text (unless that text fails the
// second way). Empty when all holds.
uint64_t BitsOf(double value) { return std::bit_cast<uint64_t>(value); }
uint32_t BitsOf(float value) { return std::bit_cast<uint32_t>(value); }

template <typename Float>
std::string CheckShortest(Float value) {
    char text[quillwave::kNumberRoom];
    char reference[quillwave::kNumberRoom];
    size_t length = 0;
    size_t referenceLength = 0;
    if constexpr (sizeof(Float) == 8) {
        length = FormatShortestDouble(value, text);
        referenceLength = FormatShortestDoubleWithToChars(value, reference);
    } else {
        length = FormatShortestFloat(value, text);
        referenceLength = FormatShortestFloatWithToChars(value, reference);
    }
    const std::string ours(text, length);
    const std::string theirs(reference, referenceLength);
    Float parsed{};
    const auto [end, problem] = std::from_chars(text, text + length, parsed);
    // The value read back by the C library's exact conversion: libstdc++'s
    // from_chars on i386 rounds through x87 and can be one unit off.
    Float back{};
    if constexpr (sizeof(Float) == 8) {
        back = std::strtod(ours.c_str(), nullptr);
    } else {
        back = std::strtof(ours.c_str(), nullptr);
    }
    const bool same =
        std::isnan(value) ? std::isnan(back) && ours == "nan" : BitsOf(back) == BitsOf(value);
    bool viaDouble = true;
    bool referenceViaDouble = true;
    if constexpr (sizeof(Float) == 4) {
        const auto readThroughDouble = [&](const std::string& number) {
            const auto wide = static_cast<float>(std::strtod(number.c_str(), nullptr));
            return std::isnan(value)
                       ? std::isnan(wide)
                       : std::bit_cast<uint32_t>(wide) == std::bit_cast<uint32_t>(value);
        };
        viaDouble = readThroughDouble(ours);
        referenceViaDouble = readThroughDouble(theirs);
    }
    // Longer than std::to_chars' text only where that text itself does not
    // read back through binary64.
    if (problem != std::errc() || end != text + length || !same || !viaDouble ||
        (length > referenceLength && referenceViaDouble)) {
        return "'" + ours + "' for the value std::to_chars writes '" + theirs + "'";
    }
    return {};
}

template <typename Float>
void ExpectShortest(Float value, uint64_t& failures) {
    const std::string difference = CheckShortest(value);
    if (!difference.empty() && ++failures <= 10) ADD_FAILURE() << difference;
}

// Fault: a formatted number that reads back to another value, or is longer
// than needed (the fixed-point arithmetic deciding wrongly near a bound).
TEST(ShortestNumber, Binary64ReadsBackExactlyAndIsNoLongerThanToChars) {
    uint64_t failures = 0;
    std::mt19937_64 random(20261208);
    for (int i = 0; i < 2000000; ++i) ExpectShortest(std::bit_cast<double>(random()), failures);
    // Every binary exponent, with the significands that sit at its edges
    // (the smallest has an asymmetric interval), and subnormals.
    for (uint64_t exponent = 0; exponent < 2047; ++exponent) {
        for (const uint64_t mantissa :
             {uint64_t{0}, uint64_t{1}, uint64_t{2}, (uint64_t{1} << 52) - 1,
              uint64_t{0x8000000000000}, random() >> 12}) {
            ExpectShortest(std::bit_cast<double>(exponent << 52 | mantissa), failures);
        }
    }
    // Powers of ten and their neighbours: decimal boundaries.
    for (int e = -323; e <= 308; ++e) {
        const double power = std::strtod(("1e" + std::to_string(e)).c_str(), nullptr);
        for (const double value :
             {power, std::nextafter(power, 0.0),
              std::nextafter(power, std::numeric_limits<double>::infinity())}) {
            ExpectShortest(value, failures);
        }
    }
    // Sample times as the export computes them, of random time bases.
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 20000; ++i) {
        WaveformHeader base;
        base.timeIncrement = std::pow(10.0, -12 + 9 * unit(random)) * (0.5 + unit(random));
        base.timeOrigin = (unit(random) - 0.7) * std::pow(10.0, -9 + 8 * unit(random));
        const auto first = static_cast<int32_t>(random() % 2000000000);
        for (int32_t j = 0; j < 50; ++j)
            ExpectShortest(ComputeTimeFromIndex(first + j, base), failures);
    }
    EXPECT_EQ(failures, 0u);
}

// Fault: a time taken from its decimal grid that is not the text the search
// gives (a time off the grid, one whose rounding interval is lopsided or
// holds a shorter decimal, a grid of mismatched signs or scales).
TEST(ShortestNumber, TimesOnTheirGridAreTheSearchedTexts) {
    struct Base {
        double increment;
        double origin;
    };
    const Base bases[] = {
        {1e-9, -1e-2}, {2e-10, -1e-6}, {4e-9, 0.0},   {1.25e-10, -5e-6}, {-1e-9, 0.25},
        {0.1, -2.0},   {1.0, 1e15},    {100.0, 5e-5}, {3.2e-11, 1.5e-3}, {0.0, -3.3e-7},
        {1e-19, 0.0},  {1e-20, 1e-19}, {7e-15, -0.3}, {5e-324, 0.0},     {1e-3, 9007199254.740991},
    };
    std::mt19937_64 random(7);
    uint64_t failures = 0;
    char grid[kNumberRoom];
    char searched[kNumberRoom];
    for (const Base& base : bases) {
        const WaveformHeader header{.timeIncrement = base.increment, .timeOrigin = base.origin};
        const TimeGrid timeGrid = MakeTimeGrid(base.increment, base.origin);
        for (int k = 0; k < 200000; ++k) {
            int32_t index = k < 100000 ? k : static_cast<int32_t>(random() >> 33);
            if (k % 5 == 1) index = -index;
            const double time = ComputeTimeFromIndex(index, header);
            const std::string_view a(grid, FormatTimeOnGrid(time, index, timeGrid, grid));
            const std::string_view b(searched, FormatShortestDouble(time, searched));
            if (a != b && ++failures <= 5) {
                ADD_FAILURE() << base.increment << " " << base.origin << " #" << index << ": " << a
                              << " instead of " << b;
            }
        }
    }
    EXPECT_EQ(failures, 0u);
    // Grids that cannot be used: non-finite or too fine time bases.
    EXPECT_FALSE(MakeTimeGrid(std::numeric_limits<double>::quiet_NaN(), 0.0).usable);
    EXPECT_FALSE(MakeTimeGrid(1e-9, std::numeric_limits<double>::infinity()).usable);
    EXPECT_FALSE(MakeTimeGrid(1e-25, 0.0).usable);
    EXPECT_TRUE(MakeTimeGrid(1e-9, -1e-2).usable);
}

TEST(ShortestNumber, Binary32ReadsBackExactlyAlsoThroughADouble) {
    uint64_t failures = 0;
    // A stride coprime to 2^32 visits every exponent and both signs.
    for (uint64_t bits = 0; bits < (uint64_t{1} << 32); bits += 4099) {
        ExpectShortest(std::bit_cast<float>(static_cast<uint32_t>(bits)), failures);
    }
    ExpectShortest(std::bit_cast<float>(0x95ae43fdu), failures);
    for (uint32_t exponent = 0; exponent < 255; ++exponent) {
        for (const uint32_t mantissa : {0u, 1u, 2u, (1u << 23) - 1, 0x400000u}) {
            ExpectShortest(std::bit_cast<float>(exponent << 23 | mantissa), failures);
        }
    }
    EXPECT_EQ(failures, 0u);
}

// Fault: a spelling that numpy or pandas does not read, or a layout that
// differs from std::to_chars'.
TEST(ShortestNumber, KnownTexts) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> doubles[] = {
        {0.0, "0"},
        {-0.0, "-0"},
        {nan, "nan"},
        {-nan, "nan"},  // the sign of a NaN is not written
        {inf, "inf"},
        {-inf, "-inf"},
        {0.1, "0.1"},
        {-5e-4, "-5e-04"},  // scientific is shorter than -0.0005
        {-0.0004975, "-0.0004975"},
        {1e30, "1e+30"},
        {100000.0, "1e+05"},  // shorter than 100000
        {10000.0, "10000"},   // as long as 1e+04: fixed wins the tie
        {1e-9, "1e-09"},
        {123456.789, "123456.789"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {5e-324, "5e-324"},
        {-2.2250738585072014e-308, "-2.2250738585072014e-308"},
        {0.30000000000000004, "0.30000000000000004"},
    };
    for (const auto& [value, expected] : doubles) {
        char text[kNumberRoom];
        EXPECT_EQ(std::string(text, FormatShortestDouble(value, text)), expected);
    }
    const std::pair<float, const char*> floats[] = {
        {0.1f, "0.1"},
        {-std::numeric_limits<float>::quiet_NaN(), "nan"},
        {-std::numeric_limits<float>::infinity(), "-inf"},
        {16777216.0f, "16777216"},
        {1e-45f, "1e-45"},
        {-1.17549435e-38f, "-1.1754944e-38"},
        {3.4028235e38f, "3.4028235e+38"},
        {-0.023979867f, "-0.023979867"},
        // std::to_chars writes 7.038531e-26, which numpy reads back (through
        // a double) as the next binary32.
        {std::bit_cast<float>(0x15ae43fdu), "7.0385307e-26"},
    };
    for (const auto& [value, expected] : floats) {
        char text[kNumberRoom];
        EXPECT_EQ(std::string(text, FormatShortestFloat(value, text)), expected);
    }
    const std::pair<int32_t, const char*> counts[] = {
        {0, "0"}, {-1, "-1"}, {2147483647, "2147483647"}, {-2147483647 - 1, "-2147483648"}};
    for (const auto& [value, expected] : counts) {
        char text[kNumberRoom];
        EXPECT_EQ(std::string(text, FormatInt32(value, text)), expected);
    }
    for (unsigned byte = 0; byte < 256; ++byte) {
        char text[kNumberRoom];
        EXPECT_EQ(std::string(text, FormatByte(static_cast<uint8_t>(byte), text)),
                  std::to_string(byte));
    }
}

// Fault: texts whose bytes are not valid UTF-8 make an invalid JSON file,
// or valid UTF-8 and JSON's own specials are mangled.
TEST(JsonDescription, StringsKeepValidUtf8AndEscapeEveryOtherByte) {
    const std::pair<std::string, std::string> cases[] = {
        {"CH1", "\"CH1\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"tab\there\n", "\"tab\\u0009here\\u000a\""},
        {"\x7f", "\"\x7f\""},
        {"Stra\xc3\x9f"
         "e \xe2\x82\xac \xf0\x9f\x98\x80",
         "\"Stra\xc3\x9f"
         "e \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"\xe9t\xe9", "\"\\u00e9t\\u00e9\""},                      // Latin-1, not UTF-8
        {"\x80", "\"\\u0080\""},                                   // a lone continuation byte
        {"\xc0\x80", "\"\\u00c0\\u0080\""},                        // an overlong zero
        {"\xe0\x80\xaf", "\"\\u00e0\\u0080\\u00af\""},             // an overlong slash
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},             // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},  // past U+10FFFF
        {"\xf5\x80", "\"\\u00f5\\u0080\""},
        {"\xe2\x82", "\"\\u00e2\\u0082\""},  // cut short by the field's end
        {"ok\xe2\x82", "\"ok\\u00e2\\u0082\""},
    };
    for (const auto& [bytes, expected] : cases) {
        std::string out;
        AppendJsonString(out, bytes);
        EXPECT_EQ(out, expected);
    }
    const std::pair<double, std::string> numbers[] = {
        {2.5e-06, "2.5e-06"},
        {-std::numeric_limits<double>::infinity(), "\"-inf\""},
        {std::numeric_limits<double>::quiet_NaN(), "\"nan\""},
    };
    for (const auto& [value, expected] : numbers) {
        std::string out;
        AppendJsonNumber(out, value);
        EXPECT_EQ(out, expected);
    }
}

// Fault: a time base of -0.0 is written "-0", which Python's json (the
// README's recipe) reads as the integer 0: the sign is lost. A number that
// reads back to a binary64 in every JSON reader needs a fraction or exponent.
TEST(JsonDescription, NegativeZeroKeepsItsSignInJsonReaders) {
    const std::pair<double, std::string> numbers[] = {
        {-0.0, "-0.0"},
    };
    for (const auto& [value, expected] : numbers) {
        std::string out;
        AppendJsonNumber(out, value);
        EXPECT_EQ(out, expected);
    }
}

WaveformSamples SamplesOf(const Bytes& waveform, InputStream& stream) {
    stream = StreamOver(waveform);
    return ReadWaveformSamples(stream);
}

// Fault: the NPY header is not what numpy.save writes, so the data does not
// start on a 64-byte boundary or numpy reads other fields.
TEST(SampleFiles, NpyHeaderIsNumpysOwn) {
    Bytes waveform;
    AppendWaveformHeader(waveform, {.waveformType = 6, .bufferCount = 2, .sampleCount = 3});
    AppendBuffer(waveform, LogicBuffer({1, 2, 3}));
    AppendBuffer(waveform, LogicBuffer({4, 5, 6}));
    InputStream stream;
    const WaveformSamples samples = SamplesOf(waveform, stream);
    ASSERT_TRUE(YieldsSamples(samples));
    const std::string header = NpyHeader(samples);
    const std::string dictionary =
        "{'descr': [('time', '<f8'), ('byte1', '|u1'), ('byte2', '|u1')], 'fortran_order': "
        "False, 'shape': (3,), }";
    ASSERT_EQ(header.size() % 64, 0u);
    EXPECT_EQ(header.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
    EXPECT_EQ(static_cast<size_t>(static_cast<unsigned char>(header[8]) |
                                  static_cast<unsigned char>(header[9]) << 8),
              header.size() - 10);
    EXPECT_EQ(header.substr(10, dictionary.size()), dictionary);
    EXPECT_EQ(header.find_first_not_of(' ', 10 + dictionary.size()), header.size() - 1);
    EXPECT_EQ(header.back(), '\n');
}

// Reads a memory file's whole contents.
std::string MemoryFileText(int fd) {
    std::string text;
    char block[65536];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = read(fd, block, sizeof block)) > 0;) {
        text.append(block, static_cast<size_t>(got));
    }
    return text;
}

// A peak-detect waveform (data type 2 stored first: it is the second
// column), a logic one of two buffers and a histogram, of a sample or two.
struct Waveforms {
    Bytes peak;
    Bytes logic;
    Bytes histogram;
};
Waveforms SmallWaveforms() {
    Waveforms w;
    AppendWaveformHeader(w.peak, {.waveformType = 2,
                                  .bufferCount = 2,
                                  .sampleCount = 2,
                                  .timeIncrement = 0.5,
                                  .timeOrigin = -1.0});
    AppendBuffer(w.peak, AnalogBuffer(2, {-0.25f, -0.5f}));
    AppendBuffer(w.peak, AnalogBuffer(3, {0.25f, 0.5f}));
    AppendWaveformHeader(w.logic, {.waveformType = 6, .bufferCount = 2, .sampleCount = 2});
    AppendBuffer(w.logic, LogicBuffer({0x11, 0x01}));
    AppendBuffer(w.logic, LogicBuffer({0x03, 0x13}));
    AppendWaveformHeader(w.histogram, {.waveformType = 4, .sampleCount = 1, .timeIncrement = 1.0});
    AppendBuffer(w.histogram, writer::HistogramBuffer({-7}));
    return w;
}

// Fault: peak-detect columns in stored order rather than data type 3 first,
// or logic bytes not in buffer order. Fault: lines lost, repeated or
// reordered where two threads share a file's formatting (a chunk formatted
// from the other thread's samples, or written out of turn).
TEST(SampleFiles, ColumnsFollowTheDescriptionsOrderWithOneThreadOrTwo) {
    struct Case {
        Bytes waveform;
        std::string csv;  // empty: compared between one thread and two only
    };
    const auto [peak, logic, histogram] = SmallWaveforms();
    std::mt19937 random(11);
    std::vector<float> low(5000);
    std::vector<float> high(5000);
    for (size_t i = 0; i < low.size(); ++i) {
        low[i] = std::bit_cast<float>(static_cast<uint32_t>(random()));
        high[i] = static_cast<float>(i);
    }
    Bytes longPeak;
    AppendWaveformHeader(longPeak, {.waveformType = 2, .bufferCount = 2, .sampleCount = 5000});
    AppendBuffer(longPeak, AnalogBuffer(3, high));
    AppendBuffer(longPeak, AnalogBuffer(2, low));
    const Case cases[] = {
        {peak, "time,value1,value2\n-1,0.25,-0.25\n-0.5,0.5,-0.5\n"},
        {logic, "time,byte1,byte2\n0,17,3\n1e-06,1,19\n"},
        {histogram, "time,count\n0,-7\n"},
        {longPeak, ""},
    };
    for (const Case& c : cases) {
        InputStream stream;
        const WaveformSamples samples = SamplesOf(c.waveform, stream);
        std::string csv;
        TextSink sink;
        OpenCaptureSink(sink, csv, 64);  // a small buffer: many flushes
        ASSERT_TRUE(WriteSampleFile(stream, samples, ExportFormat::Csv, sink));
        FlushTextSink(sink);
        if (!c.csv.empty()) {
            EXPECT_EQ(csv, c.csv);
        }
        // Two threads, with chunks of a line or a few (the chunk follows
        // the sink's size).
        const int memory = memfd_create("csv", MFD_CLOEXEC);
        TextSink shared;
        ASSERT_TRUE(OpenPipelinedTextSink(shared, memory, 256, 2));
        ASSERT_TRUE(WriteSampleFile(stream, samples, ExportFormat::Csv, shared, true));
        CloseTextSink(shared);
        EXPECT_TRUE(MemoryFileText(memory) == csv) << samples.header.sampleCount;
        close(memory);
    }
}

// The walk one waveform at a time, remembering every start: how many
// distinct waveforms it meets before a repeat or the end of the file.
WalkExtent LiteralWalk(InputStream& stream, int64_t first, int32_t declared) {
    std::vector<int64_t> starts;
    int64_t position = first;
    for (int32_t k = 0; k < declared; ++k) {
        if (position >= stream.size) {
            return {.waveforms = k, .end = WalkEnd::FileEnds};
        }
        for (size_t j = 0; j < starts.size(); ++j) {
            if (starts[j] == position) {
                return {.waveforms = k, .end = WalkEnd::Loops, .loopsTo = static_cast<int64_t>(j)};
            }
        }
        starts.push_back(position);
        stream.position = position;
        ReadWaveformSamples(stream);
        position = stream.position;
    }
    return {.waveforms = declared};
}

// Fault: a capture that loops exports repeated waveforms, or the walk
// stops before a distinct waveform.
TEST(CaptureWalk, MatchesTheLiteralWalkOnRandomJumpingFiles) {
    std::mt19937 random(20261209);
    for (int trial = 0; trial < 400; ++trial) {
        Bytes file;
        AppendFileHeader(file, 0);
        const int waveforms = 1 + static_cast<int>(random() % 6);
        for (int w = 0; w < waveforms; ++w) {
            const auto samples = static_cast<int32_t>(random() % 3);
            AppendWaveformHeader(file, {.waveformType = static_cast<int32_t>(random() % 7),
                                        .bufferCount = static_cast<int32_t>(random() % 3),
                                        .sampleCount = samples});
            // A buffer that is rejected and steps back or forth by its size.
            const auto dataSize = static_cast<int32_t>(random() % 400) - 300;
            AppendBuffer(file, BufferSpec{.dataType = static_cast<int16_t>(random() % 7),
                                          .dataSize = dataSize});
        }
        file.resize(file.size() - random() % 40);
        for (int32_t declared : {1, 2, 5, 9, 64, 2147483647}) {
            InputStream fast = StreamOver(file);
            InputStream literal = StreamOver(file);
            const WalkExtent measured = MeasureWalk(fast, 12, declared);
            const WalkExtent expected = LiteralWalk(literal, 12, std::min(declared, 1000));
            if (declared <= 1000 || expected.end != WalkEnd::Declared) {
                EXPECT_EQ(measured.waveforms, expected.waveforms) << trial << " " << declared;
                EXPECT_EQ(measured.end, expected.end) << trial << " " << declared;
                EXPECT_EQ(measured.loopsTo, expected.loopsTo) << trial << " " << declared;
            }
        }
    }
}

// Fault: a chunk taken out of order (an entry read again, a jump) gets a
// slot's stale bytes or another chunk's, or waits forever; a chunk whose
// load failed is handed out as loaded; a prefetcher never used, or left
// with loads ahead, hangs when destroyed.
TEST(ChunkPrefetch, EveryOrderOfTakesGetsEachChunksOwnBytes) {
    constexpr size_t kChunks = 12;
    constexpr size_t kBytes = 4096;
    constexpr size_t kFailing = 7;
    const auto load = [](size_t index, unsigned char* out) {
        std::memset(out, static_cast<int>(index * 17 + 1), kBytes);
        return index != kFailing;
    };
    const std::vector<std::vector<size_t>> orders = {
        {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
        {0, 0, 1, 1, 2, 2},
        {0, 1, 2, 3, 1, 2, 3, 4, 0},
        {0, 4, 5, 11},
        {3, 0, 8, 6, 6, 5, 9, 2},
        {},
        {0},
    };
    for (const std::vector<size_t>& order : orders) {
        ChunkPrefetcher chunks(kChunks, kBytes, load);
        for (const size_t index : order) {
            const unsigned char* bytes = chunks.Take(index);
            if (index == kFailing) {
                EXPECT_EQ(bytes, nullptr);
                continue;
            }
            ASSERT_NE(bytes, nullptr) << index;
            const auto expected = static_cast<unsigned char>(index * 17 + 1);
            EXPECT_EQ(bytes[0], expected) << index;
            EXPECT_EQ(bytes[kBytes - 1], expected) << index;
        }
    }
}

// Fault: the space reserved for a file is more than the file takes: held
// until it is complete, it is room that another job's file needs (seen: a
// file failed for want of room on a disk that had room for both).
TEST(SampleFiles, TheReservedSpaceIsNeverMoreThanTheFileTakes) {
    const auto [peak, logic, histogram] = SmallWaveforms();
    Bytes empty;
    AppendWaveformHeader(empty, {.waveformType = 1, .sampleCount = 0});
    AppendBuffer(empty, AnalogBuffer(1, {}));
    for (const Bytes& waveform : {peak, logic, histogram, empty}) {
        InputStream stream;
        const WaveformSamples samples = SamplesOf(waveform, stream);
        for (const ExportFormat format :
             {ExportFormat::Npy, ExportFormat::Sigrok, ExportFormat::Wav, ExportFormat::Mat}) {
            if (!FormatAvailable(format) || !FormatRefusal(samples, format).empty()) continue;
            const int file = memfd_create("file", MFD_CLOEXEC);
            TextSink sink;
            ASSERT_TRUE(OpenPipelinedTextSink(sink, file, 4096, 2));
            if (format == ExportFormat::Npy) {
                ASSERT_TRUE(WriteSampleFile(stream, samples, format, sink));
            } else {
                ASSERT_TRUE(WriteFormatFile(stream, samples, format, sink, nullptr).written);
            }
            CloseTextSink(sink);
            const auto size = static_cast<uint64_t>(lseek(file, 0, SEEK_END));
            close(file);
            SCOPED_TRACE(FormatExtension(format));
            const uint64_t reserved = FileBytesAtLeast(samples, format);
            EXPECT_LE(reserved, size);
            if (format == ExportFormat::Npy) {
                EXPECT_EQ(reserved, size);
            } else if (samples.header.sampleCount > 0) {
                EXPECT_GT(reserved, 0u);  // where it matters: the samples' space
            }
        }
    }
}

}  // namespace
}  // namespace quillwave
