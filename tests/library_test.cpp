// The public interface as a program of someone else's uses it: opening,
// the walk, the waveforms' fields and columns, reads of any range in the
// host's byte order, exact times, failures as codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cfenv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quillwave/quillwave.h"
#include "test_support.h"
#include "waveform_writer/waveform_writer.h"

namespace quillwave::testing {
namespace {

using namespace writer;

// Values whose bits a careless conversion changes: a NaN with a payload and
// its sign, negative zero, infinities, a subnormal.
const std::vector<float> kAwkwardFloats = {
    std::bit_cast<float>(0xFFC01234u),      -0.0f,
    std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
    std::bit_cast<float>(0x00000001u),      0.1f};

std::vector<float> Ramp(size_t count, float scale) {
    std::vector<float> values(count);
    for (size_t i = 0; i < count; ++i) values[i] = scale * static_cast<float>(i) - 3.0f;
    return values;
}

// One waveform of every shape the reader knows, and two that yield nothing.
Bytes EveryShape(size_t rows) {
    Bytes file;
    AppendFileHeader(file, 9);
    const auto header = [&](int32_t type, int32_t buffers, double increment, double origin) {
        AppendWaveformHeader(file, {.waveformType = type,
                                    .bufferCount = buffers,
                                    .sampleCount = static_cast<int32_t>(rows),
                                    .timeIncrement = increment,
                                    .timeOrigin = origin,
                                    .summaryText1 = "CH1",
                                    .summaryText2 = "second text, 24 bytes!!!",
                                    .summaryNumber = type});
    };
    std::vector<float> normal = Ramp(rows, 0.5f);
    std::copy(kAwkwardFloats.begin(), kAwkwardFloats.end(), normal.begin());
    header(1, 1, 2.5e-6, -5e-4);
    AppendBuffer(file, AnalogBuffer(1, normal));
    header(2, 2, 1e-9, 0.1);  // data type 2 first: it is the second column
    AppendBuffer(file, AnalogBuffer(2, Ramp(rows, -1.0f)));
    AppendBuffer(file, AnalogBuffer(3, Ramp(rows, 2.0f)));
    header(3, 1, 0.1, 0.3);
    AppendBuffer(file, AnalogBuffer(3, Ramp(rows, 0.25f)));
    std::vector<int32_t> counts(rows);
    for (size_t i = 0; i < rows; ++i) counts[i] = static_cast<int32_t>(i * 7919) - 1000000;
    header(4, 1, 1.0, 0.0);
    AppendBuffer(file, HistogramBuffer(counts));
    header(5, 1, -3.0, 1e300);
    AppendBuffer(file, HistogramBuffer(counts));
    std::vector<unsigned char> bytes(rows);
    for (size_t i = 0; i < rows; ++i) bytes[i] = static_cast<unsigned char>(i * 37);
    header(6, 1, 1e-3, 0.0);
    AppendBuffer(file, LogicBuffer(bytes));
    header(6, 2, 1e-3, 0.0);
    AppendBuffer(file, LogicBuffer(bytes));
    AppendBuffer(file, LogicBuffer(std::vector<unsigned char>(rows, 0xA5)));
    header(9, 1, 1.0, 0.0);  // unknown type
    AppendBuffer(file, AnalogBuffer(1, Ramp(rows, 1.0f)));
    header(1, 1, 1.0, 0.0);  // a count buffer where values belong
    AppendBuffer(file, HistogramBuffer(counts));
    return file;
}

struct OpenCapture {
    explicit OpenCapture(const std::string& path) {
        status = quillwave_open(path.c_str(), nullptr, &capture, &osError);
    }
    ~OpenCapture() { quillwave_close(capture); }
    OpenCapture(const OpenCapture&) = delete;
    OpenCapture& operator=(const OpenCapture&) = delete;
    quillwave_capture* capture = nullptr;
    int status = -100;
    int osError = -1;
};

std::vector<unsigned char> ReadWhole(const quillwave_capture* capture, int64_t index,
                                     size_t column) {
    const quillwave_waveform* waveform = quillwave_waveform_at(capture, index);
    const auto rows = static_cast<size_t>(quillwave_row_count(waveform));
    std::vector<unsigned char> out(rows * quillwave_column_element_size(waveform, column));
    EXPECT_EQ(quillwave_read_column(capture, index, column, 0, static_cast<int64_t>(rows),
                                    out.data(), out.size()),
              QUILLWAVE_OK);
    return out;
}

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(WriteBytesToFile(path, EveryShape(kRows))); }
    static constexpr size_t kRows = 1000;
    TempDir dir;
    std::string path = dir.Path("every.bin");
};

TEST_F(LibraryTest, FieldsAndColumnsOfEveryShape) {
    OpenCapture open(path);
    ASSERT_EQ(open.status, QUILLWAVE_OK);
    EXPECT_STREQ(quillwave_file_version(open.capture), "1.0");
    EXPECT_EQ(quillwave_declared_count(open.capture), 9);
    ASSERT_EQ(quillwave_waveform_count(open.capture), 9);
    EXPECT_EQ(quillwave_walk_end(open.capture), QUILLWAVE_WALK_DECLARED);
    EXPECT_STREQ(quillwave_walk_text(open.capture), "");
    struct Expected {
        int type;
        const char* columns;  // names after time, joined by spaces
        int elements[2];
        int dataTypes[2];
        int reason;
    };
    const Expected expected[] = {
        {1, "value", {QUILLWAVE_ELEMENT_FLOAT32, 0}, {1, 0}, QUILLWAVE_REASON_NONE},
        {2, "value1 value2", {QUILLWAVE_ELEMENT_FLOAT32, QUILLWAVE_ELEMENT_FLOAT32}, {3, 2}, 0},
        {3, "value", {QUILLWAVE_ELEMENT_FLOAT32, 0}, {3, 0}, QUILLWAVE_REASON_NONE},
        {4, "count", {QUILLWAVE_ELEMENT_INT32, 0}, {5, 0}, QUILLWAVE_REASON_NONE},
        {5, "count", {QUILLWAVE_ELEMENT_INT32, 0}, {5, 0}, QUILLWAVE_REASON_NONE},
        {6, "byte1", {QUILLWAVE_ELEMENT_UINT8, 0}, {6, 0}, QUILLWAVE_REASON_NONE},
        {6, "byte1 byte2", {QUILLWAVE_ELEMENT_UINT8, QUILLWAVE_ELEMENT_UINT8}, {6, 6}, 0},
        {0, "", {0, 0}, {0, 0}, QUILLWAVE_REASON_UNKNOWN_TYPE},
        {1, "", {0, 0}, {0, 0}, QUILLWAVE_REASON_BUFFER_REJECTED},
    };
    for (int64_t k = 0; k < 9; ++k) {
        SCOPED_TRACE(k);
        const Expected& e = expected[k];
        const quillwave_waveform* w = quillwave_waveform_at(open.capture, k);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(quillwave_waveform_type(w), e.type);
        EXPECT_EQ(quillwave_waveform_reason(w), e.reason);
        EXPECT_EQ(quillwave_waveform_sample_count(w), static_cast<int32_t>(kRows));
        const auto text = [&](int which) {
            const char* bytes = nullptr;
            const size_t length = quillwave_waveform_text(w, which, &bytes);
            return bytes != nullptr ? std::string(bytes, length) : std::string("(none)");
        };
        EXPECT_EQ(text(2), "second text, 24 bytes!!!");  // a full field has no terminator
        EXPECT_EQ(text(1), "CH1");
        EXPECT_EQ(text(3), "");
        EXPECT_EQ(text(5), "(none)");
        std::string names;
        const size_t columns = quillwave_column_count(w);
        if (e.reason != QUILLWAVE_REASON_NONE) {
            EXPECT_EQ(columns, 0u);
            EXPECT_EQ(quillwave_row_count(w), 0);
            EXPECT_STRNE(quillwave_waveform_reason_text(w), "");
            continue;
        }
        EXPECT_STREQ(quillwave_waveform_reason_text(w), "");
        ASSERT_GE(columns, 2u);
        EXPECT_STREQ(quillwave_column_name(w, 0), "time");
        EXPECT_EQ(quillwave_column_element(w, 0), QUILLWAVE_ELEMENT_FLOAT64);
        for (size_t c = 1; c < columns; ++c) {
            if (c > 1) names += ' ';
            names += quillwave_column_name(w, c);
            EXPECT_EQ(quillwave_column_element(w, c), e.elements[c - 1]);
            EXPECT_EQ(quillwave_column_data_type(w, c), e.dataTypes[c - 1]);
        }
        EXPECT_EQ(names, e.columns);
        EXPECT_EQ(quillwave_column_name(w, columns), nullptr);
        EXPECT_EQ(quillwave_column_element(w, columns), -1);
    }
    EXPECT_EQ(quillwave_waveform_at(open.capture, 9), nullptr);
    EXPECT_EQ(quillwave_waveform_at(open.capture, -1), nullptr);
}

TEST_F(LibraryTest, ColumnsHoldTheStoredBitsInHostOrder) {
    OpenCapture open(path);
    ASSERT_EQ(open.status, QUILLWAVE_OK);
    const std::vector<unsigned char> values = ReadWhole(open.capture, 0, 1);
    ASSERT_EQ(values.size(), kRows * 4);
    for (size_t i = 0; i < kAwkwardFloats.size(); ++i) {
        uint32_t bits = 0;
        std::memcpy(&bits, values.data() + 4 * i, 4);
        EXPECT_EQ(bits, std::bit_cast<uint32_t>(kAwkwardFloats[i])) << i;
    }
    const std::vector<unsigned char> counts = ReadWhole(open.capture, 3, 1);
    int32_t count = 0;
    std::memcpy(&count, counts.data() + size_t{4} * 999, 4);
    EXPECT_EQ(count, 999 * 7919 - 1000000);
    const std::vector<unsigned char> second = ReadWhole(open.capture, 6, 2);
    EXPECT_EQ(second, std::vector<unsigned char>(kRows, 0xA5));
    const std::vector<unsigned char> times = ReadWhole(open.capture, 0, 0);
    double time = 0;
    std::memcpy(&time, times.data() + size_t{8} * 7, 8);
    EXPECT_EQ(time, 7 * 2.5e-6 + -5e-4);
}

TEST_F(LibraryTest, ReadsOfAnyRangeEqualTheWholeRead) {
    OpenCapture open(path);
    ASSERT_EQ(open.status, QUILLWAVE_OK);
    std::mt19937 random(7);
    for (int64_t k = 0; k < 7; ++k) {
        const quillwave_waveform* w = quillwave_waveform_at(open.capture, k);
        for (size_t c = 0; c < quillwave_column_count(w); ++c) {
            const std::vector<unsigned char> whole = ReadWhole(open.capture, k, c);
            const size_t size = quillwave_column_element_size(w, c);
            for (int trial = 0; trial < 50; ++trial) {
                const size_t firstRow = random() % (kRows + 1);
                const auto first = static_cast<int64_t>(firstRow);
                const auto count = static_cast<int64_t>(random() % (kRows + 1 - firstRow));
                std::vector<unsigned char> part(static_cast<size_t>(count) * size + 1, 0x5A);
                ASSERT_EQ(quillwave_read_column(open.capture, k, c, first, count, part.data(),
                                                part.size() - 1),
                          QUILLWAVE_OK);
                EXPECT_EQ(part.back(), 0x5A) << "wrote past the range";
                part.pop_back();
                EXPECT_TRUE(std::equal(
                    part.begin(), part.end(),
                    whole.begin() + static_cast<ptrdiff_t>(first) * static_cast<ptrdiff_t>(size)))
                    << "waveform " << k << " column " << c << " rows " << first << "+" << count;
            }
        }
    }
}

TEST_F(LibraryTest, ReadsOutsideTheWaveformAreRefusedAndWriteNothing) {
    OpenCapture open(path);
    ASSERT_EQ(open.status, QUILLWAVE_OK);
    std::vector<unsigned char> out(kRows * 8 + 8, 0x5A);
    constexpr int64_t kRowsSigned = static_cast<int64_t>(kRows);
    struct Case {
        int64_t waveform;
        size_t column;
        int64_t first;
        int64_t count;
        size_t capacity;
        int status;
    };
    const Case cases[] = {
        {0, 1, 0, kRowsSigned, kRows * 4, QUILLWAVE_OK},
        {0, 1, kRowsSigned, 0, 0, QUILLWAVE_OK},                   // empty, at the end
        {0, 1, 1, kRowsSigned, out.size(), QUILLWAVE_E_ARGUMENT},  // one past the end
        {0, 1, -1, 1, out.size(), QUILLWAVE_E_ARGUMENT},
        {0, 1, 0, -1, out.size(), QUILLWAVE_E_ARGUMENT},
        {0, 1, 1, std::numeric_limits<int64_t>::max(), out.size(), QUILLWAVE_E_ARGUMENT},
        {0, 0, 0, kRowsSigned, kRows * 8 - 1, QUILLWAVE_E_ARGUMENT},  // too small a capacity
        {0, 2, 0, 1, out.size(), QUILLWAVE_E_ARGUMENT},               // no such column
        {7, 0, 0, 1, out.size(), QUILLWAVE_E_NO_SAMPLES},
        {9, 0, 0, 1, out.size(), QUILLWAVE_E_ARGUMENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Printf(
            "waveform %lld column %zu rows %lld+%lld", static_cast<long long>(c.waveform), c.column,
            static_cast<long long>(c.first), static_cast<long long>(c.count)));
        std::fill(out.begin(), out.end(), 0x5A);
        EXPECT_EQ(quillwave_read_column(open.capture, c.waveform, c.column, c.first, c.count,
                                        out.data(), c.capacity),
                  c.status);
        if (c.status != QUILLWAVE_OK) {
            EXPECT_EQ(std::count(out.begin(), out.end(), 0x5A), static_cast<long>(out.size()));
        }
    }
    EXPECT_EQ(quillwave_read_column(nullptr, 0, 0, 0, 1, out.data(), out.size()),
              QUILLWAVE_E_ARGUMENT);
}

// Each read has its own position: threads reading one capture at once get
// what one thread gets (run under ThreadSanitizer in CI).
TEST_F(LibraryTest, ThreadsReadingOneCaptureGetWhatOneThreadGets) {
    OpenCapture open(path);
    ASSERT_EQ(open.status, QUILLWAVE_OK);
    std::vector<std::vector<unsigned char>> expected;
    for (int64_t k = 0; k < 7; ++k) expected.push_back(ReadWhole(open.capture, k, 1));
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 40; ++round) {
                const auto k = static_cast<int64_t>((t + static_cast<size_t>(round)) % 7);
                const int64_t first = round * 11 % 500;
                const std::vector<unsigned char>& whole = expected[static_cast<size_t>(k)];
                const size_t size = whole.size() / kRows;
                std::vector<unsigned char> part(300 * size);
                if (quillwave_read_column(open.capture, k, 1, first, 300, part.data(),
                                          part.size()) != QUILLWAVE_OK ||
                    !std::equal(part.begin(), part.end(),
                                whole.begin() +
                                    static_cast<ptrdiff_t>(first) * static_cast<ptrdiff_t>(size))) {
                    ++mismatches[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST_F(LibraryTest, ACaptureThatShrankAfterOpeningIsAReadFailure) {
    OpenCapture open(path);
    ASSERT_EQ(open.status, QUILLWAVE_OK);
    ASSERT_EQ(truncate(path.c_str(), 2000), 0);
    std::vector<unsigned char> out(kRows * 4);
    EXPECT_EQ(quillwave_read_column(open.capture, 5, 1, 0, 10, out.data(), out.size()),
              QUILLWAVE_E_READ);
    // Times come from the header alone.
    EXPECT_EQ(quillwave_read_column(open.capture, 5, 0, 0, 10, out.data(), out.size() * 2),
              QUILLWAVE_OK);
}

TEST(LibraryOpen, FailuresAreCodesWithTheSystemsReason) {
    TempDir dir;
    Bytes shortFile;
    AppendFileHeader(shortFile, 1);
    shortFile.resize(11);
    Bytes otherCookie;
    AppendFileHeader(otherCookie, 1, "10", "XV");
    ASSERT_TRUE(WriteBytesToFile(dir.Path("short"), shortFile));
    ASSERT_TRUE(WriteBytesToFile(dir.Path("cookie"), otherCookie));
    struct Case {
        std::string path;
        int status;
        int osError;
    };
    const Case cases[] = {
        {dir.Path("missing"), QUILLWAVE_E_OPEN, ENOENT},
        {dir.path, QUILLWAVE_E_OPEN, EISDIR},
        {dir.Path("short"), QUILLWAVE_E_TOO_SHORT, 0},
        {dir.Path("cookie"), QUILLWAVE_E_NOT_A_CAPTURE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        OpenCapture open(c.path);
        EXPECT_EQ(open.status, c.status);
        EXPECT_EQ(open.osError, c.osError);
        EXPECT_EQ(open.capture, nullptr);
        EXPECT_STRNE(quillwave_status_text(open.status), quillwave_status_text(12345));
    }
    quillwave_capture* capture = nullptr;
    EXPECT_EQ(quillwave_open(nullptr, nullptr, &capture, nullptr), QUILLWAVE_E_ARGUMENT);
    EXPECT_EQ(quillwave_open_fd(-1, nullptr, &capture, nullptr), QUILLWAVE_E_ARGUMENT);
}

// The descriptor stays the caller's, its offset where it was; a pipe is
// read to its end and then reads as the same bytes in a file.
TEST(LibraryOpen, ByDescriptorOfAFileAndOfAPipe) {
    TempDir dir;
    const Bytes bytes = EveryShape(10);
    ASSERT_TRUE(WriteBytesToFile(dir.Path("c.bin"), bytes));
    const int fd = open(dir.Path("c.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 5, SEEK_SET), 5);
    quillwave_capture* fromFile = nullptr;
    ASSERT_EQ(quillwave_open_fd(fd, nullptr, &fromFile, nullptr), QUILLWAVE_OK);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 5);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    std::thread feeder([&] {
        EXPECT_EQ(write(pipeEnds[1], bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
        close(pipeEnds[1]);
    });
    quillwave_capture* fromPipe = nullptr;
    const int status = quillwave_open_fd(pipeEnds[0], dir.path.c_str(), &fromPipe, nullptr);
    feeder.join();
    ASSERT_EQ(status, QUILLWAVE_OK);
    EXPECT_EQ(fcntl(pipeEnds[0], F_GETFD), 0) << "the caller's descriptor was closed";
    close(pipeEnds[0]);
    close(fd);  // the handles read through descriptors of their own
    ASSERT_EQ(quillwave_waveform_count(fromPipe), quillwave_waveform_count(fromFile));
    for (int64_t k = 0; k < quillwave_waveform_count(fromFile); ++k) {
        const quillwave_waveform* w = quillwave_waveform_at(fromFile, k);
        for (size_t c = 0; c < quillwave_column_count(w); ++c) {
            EXPECT_EQ(ReadWhole(fromFile, k, c), ReadWhole(fromPipe, k, c)) << k << " " << c;
        }
    }
    quillwave_close(fromFile);
    quillwave_close(fromPipe);
}

// Fault: a descriptor set O_NONBLOCK (an event loop's pipe or socket) is
// read only as far as its writer got: the spool takes EAGAIN for the end
// of the input and a read failure, so the capture opens with the waveforms
// that happened to be buffered (1 of 9 here) instead of all of them. The
// header promises that an input that cannot seek is read to its end.
TEST(LibraryOpen, ANonBlockingPipeIsReadToItsEnd) {
    TempDir dir;
    const Bytes bytes = EveryShape(10);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_EQ(fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK), 0);
    // The first 100 bytes at once, the rest a moment later.
    ASSERT_EQ(write(pipeEnds[1], bytes.data(), 100), 100);
    std::thread feeder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(write(pipeEnds[1], bytes.data() + 100, bytes.size() - 100),
                  static_cast<ssize_t>(bytes.size() - 100));
        close(pipeEnds[1]);
    });
    quillwave_capture* capture = nullptr;
    int osError = -1;
    const int status = quillwave_open_fd(pipeEnds[0], dir.path.c_str(), &capture, &osError);
    feeder.join();
    close(pipeEnds[0]);
    ASSERT_EQ(status, QUILLWAVE_OK);
    EXPECT_EQ(quillwave_waveform_count(capture), 9);
    EXPECT_EQ(quillwave_walk_end(capture), QUILLWAVE_WALK_DECLARED) << quillwave_walk_text(capture);
    quillwave_close(capture);
}

// Fault: a descriptor of a good capture that cannot be read (opened
// write-only, or O_PATH) opens as QUILLWAVE_E_TOO_SHORT, "not a capture:
// shorter than the 12-byte file header", with no system reason: the
// failed read of the file header (EBADF) is taken for the end of the file.
// It is a capture that cannot be opened or read, and the system said why.
TEST(LibraryOpen, ADescriptorThatCannotBeReadIsNotCalledTooShort) {
    TempDir dir;
    const std::string path = dir.Path("c.bin");
    ASSERT_TRUE(WriteBytesToFile(path, EveryShape(10)));
    struct Case {
        const char* name;
        int flags;
    };
    const Case cases[] = {{"write-only", O_WRONLY}, {"O_PATH", O_PATH}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = open(path.c_str(), c.flags | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        quillwave_capture* capture = nullptr;
        int osError = -1;
        const int status = quillwave_open_fd(fd, nullptr, &capture, &osError);
        close(fd);
        EXPECT_TRUE(status == QUILLWAVE_E_OPEN || status == QUILLWAVE_E_READ)
            << status << ": " << quillwave_status_text(status);
        EXPECT_EQ(osError, EBADF);
        EXPECT_EQ(capture, nullptr);
        quillwave_close(capture);
    }
}

// Fault: quillwave_time follows the caller's floating-point rounding mode:
// under FE_UPWARD (a program doing interval arithmetic, say) it returns
// another time than under round-to-nearest, though the header promises
// index * increment + origin in binary64, "the times both programs write".
// Reads of column 0 do the same.
TEST(LibraryTime, TimesDoNotFollowTheCallersRoundingMode) {
    struct Case {
        double increment;
        double origin;
        int64_t index;
    };
    const Case cases[] = {{1e-9, 0.1, 12345}, {2.5e-6, -5e-4, 777}, {1e-3, 0.0, 11}};
    std::vector<double> nearest;
    for (const Case& c : cases) nearest.push_back(quillwave_time(c.increment, c.origin, c.index));
    for (const int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(fesetround(mode), 0);
        std::vector<double> got;
        for (const Case& c : cases) got.push_back(quillwave_time(c.increment, c.origin, c.index));
        ASSERT_EQ(fesetround(FE_TONEAREST), 0);
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(std::bit_cast<uint64_t>(got[i]), std::bit_cast<uint64_t>(nearest[i])) << i;
        }
    }
    fesetround(FE_TONEAREST);
}

// The list of waveforms is the export's: a capture that loops, or ends
// before its declared count, ends its walk there and says why.
TEST(LibraryWalk, EndsAsTheExportsWalkEnds) {
    TempDir dir;
    Bytes endsEarly;
    AppendFileHeader(endsEarly, 5);
    for (int i = 0; i < 2; ++i) {
        AppendWaveformHeader(endsEarly, {.sampleCount = 1});
        AppendBuffer(endsEarly, AnalogBuffer(1, {1.0f}));
    }
    // The second waveform's buffer leads back to the first waveform's start.
    Bytes loops;
    AppendFileHeader(loops, 7);
    AppendWaveformHeader(loops, {.sampleCount = 1});
    AppendBuffer(loops, AnalogBuffer(1, {1.0f}));
    AppendWaveformHeader(loops, {.waveformType = 0, .bufferCount = 1});
    const auto back = -static_cast<int32_t>(loops.size() + 12 - 12);
    AppendBuffer(loops, {.dataSize = back});
    struct Case {
        const char* name;
        Bytes bytes;
        int64_t waveforms;
        int end;
        int64_t loopsTo;
        const char* text;
    };
    const Case cases[] = {
        {"ends", endsEarly, 2, QUILLWAVE_WALK_FILE_ENDS, -1,
         "the file ends after 2 of its 5 declared waveforms"},
        {"loops", loops, 2, QUILLWAVE_WALK_LOOPS, 0,
         "waveform 3: starts where waveform 1 started (the capture loops); waveforms 3 to 7 are "
         "not exported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteBytesToFile(dir.Path(c.name), c.bytes));
        OpenCapture open(dir.Path(c.name));
        ASSERT_EQ(open.status, QUILLWAVE_OK);
        EXPECT_EQ(quillwave_waveform_count(open.capture), c.waveforms);
        EXPECT_EQ(quillwave_walk_end(open.capture), c.end);
        EXPECT_EQ(quillwave_walk_loops_to(open.capture), c.loopsTo);
        EXPECT_STREQ(quillwave_walk_text(open.capture), c.text);
    }
}

}  // namespace
}  // namespace quillwave::testing
