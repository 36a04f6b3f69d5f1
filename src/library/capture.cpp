// The public interface's captures and waveforms: a capture is opened and
// walked once, as the export walks it, and keeps what each waveform holds;
// reads then go to the file by position alone, so any number of threads may
// read one capture at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "export_output/capture_walk.h"
#include "export_output/sample_files.h"
#include "library/codes.h"
#include "library/guard.h"
#include "quillwave/quillwave.h"
#include "waveform_file/descriptor_io.h"
#include "waveform_file/header_readers.h"
#include "waveform_file/input_stream.h"
#include "waveform_file/little_endian.h"
#include "waveform_file/waveform_records.h"
#include "waveform_file/waveform_samples.h"

struct quillwave_waveform {
    quillwave::WaveformSamples samples;
    std::string reasonText;
};

struct quillwave_capture {
    quillwave::InputStream stream;  // walked once when opened; later read by position only
    char version[4] = {};
    int32_t declared = 0;
    std::vector<quillwave_waveform> waveforms;
    int walkEnd = QUILLWAVE_WALK_DECLARED;
    int64_t loopsTo = -1;
    std::string walkText;
};

namespace quillwave {
namespace {

constexpr const char* kDefaultSpoolFolder = "/tmp";

// Walks the opened stream's capture into `capture`: the status of the open.
int WalkCapture(quillwave_capture& capture) {
    InputStream& stream = capture.stream;
    FileHeader header;
    if (!ReadFileHeader(stream, header)) return QUILLWAVE_E_TOO_SHORT;
    if (header.cookie != PB_COOKIE) return QUILLWAVE_E_NOT_A_CAPTURE;
    capture.version[0] = header.version[0];
    capture.version[1] = '.';
    capture.version[2] = header.version[1];
    capture.declared = header.waveformCount;
    WaveformWalkMemo memo;
    const WalkExtent extent = WalkWaveforms(
        stream, header.waveformCount, memo, [&](int64_t, const WaveformSamples& samples) {
            capture.waveforms.push_back(
                {.samples = samples, .reasonText = DescribeNoSamples(samples)});
        });
    capture.walkText = DescribeWalkEnd(extent, header.waveformCount, stream.readFailed);
    if (stream.readFailed) {
        capture.walkEnd = QUILLWAVE_WALK_READ_FAILED;
    } else if (extent.end == WalkEnd::Loops) {
        capture.walkEnd = QUILLWAVE_WALK_LOOPS;
        capture.loopsTo = extent.loopsTo;
    } else if (extent.end == WalkEnd::FileEnds) {
        capture.walkEnd = QUILLWAVE_WALK_FILE_ENDS;
    }
    // Only reads by position follow, which need no read-ahead window.
    stream.window.reset();
    stream.windowLength = 0;
    capture.waveforms.shrink_to_fit();
    return QUILLWAVE_OK;
}

[[gnu::noinline]] double TimeOf(double increment, double origin, int64_t index) {
    WaveformHeader header;
    header.timeIncrement = increment;
    header.timeOrigin = origin;
    return ComputeTimeFromIndex(index, header);
}

// Opens the capture on `fd`, which the new handle owns (it is closed on failure).
int OpenCaptureOn(int fd, const char* spoolFolder, quillwave_capture** out, int* osError) {
    std::unique_ptr<quillwave_capture> capture(new (std::nothrow) quillwave_capture);
    struct stat info {};
    if (capture == nullptr) {
        close(fd);
        return QUILLWAVE_E_NO_MEMORY;
    }
    // A descriptor that cannot be read (write-only, O_PATH) would read as
    // an empty file: it is no capture too short, but one that cannot be opened.
    const int mode = fcntl(fd, F_GETFL);
    if (mode >= 0 && ((mode & O_ACCMODE) == O_WRONLY || (mode & O_PATH) != 0)) {
        close(fd);
        return SetOsError(osError, EBADF), QUILLWAVE_E_OPEN;
    }
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
        close(fd);
        return SetOsError(osError, error), QUILLWAVE_E_OPEN;
    }
    errno = 0;
    if (!OpenInputStreamFromFd(capture->stream, fd,
                               spoolFolder != nullptr ? spoolFolder : kDefaultSpoolFolder)) {
        return SetOsError(osError, errno), QUILLWAVE_E_OPEN;
    }
    const int status = WalkCapture(*capture);
    if (status != QUILLWAVE_OK) return status;
    *out = capture.release();
    return QUILLWAVE_OK;
}

const quillwave_waveform* WaveformAt(const quillwave_capture* capture, int64_t index) {
    if (capture == nullptr || index < 0 ||
        static_cast<uint64_t>(index) >= capture->waveforms.size()) {
        return nullptr;
    }
    return &capture->waveforms[static_cast<size_t>(index)];
}

const WaveformHeader* HeaderOf(const quillwave_waveform* waveform) {
    return waveform != nullptr && waveform->samples.headerRead ? &waveform->samples.header
                                                               : nullptr;
}

// A header field, or 0 for a waveform whose header could not be read.
template <typename Field>
Field HeaderField(const quillwave_waveform* waveform, Field WaveformHeader::*field) {
    const WaveformHeader* header = HeaderOf(waveform);
    return header != nullptr ? header->*field : Field{};
}

const BufferReport* BufferAt(const quillwave_waveform* waveform, size_t k) {
    if (waveform == nullptr || k >= waveform->samples.buffersRead) return nullptr;
    return &waveform->samples.buffers[k];
}

bool HasColumn(const quillwave_waveform* waveform, size_t column) {
    return waveform != nullptr && YieldsSamples(waveform->samples) &&
           column <= waveform->samples.columnCount;
}

int ElementOf(const quillwave_waveform* waveform, size_t column) {
    if (!HasColumn(waveform, column)) return -1;
    if (column == 0) return QUILLWAVE_ELEMENT_FLOAT64;
    switch (waveform->samples.columns[column - 1].kind) {
        case SampleKind::Float32:
            return QUILLWAVE_ELEMENT_FLOAT32;
        case SampleKind::Int32:
            return QUILLWAVE_ELEMENT_INT32;
        case SampleKind::Byte:
            return QUILLWAVE_ELEMENT_UINT8;
    }
    return -1;
}

size_t ElementSize(int element) {
    switch (element) {
        case QUILLWAVE_ELEMENT_FLOAT64:
            return 8;
        case QUILLWAVE_ELEMENT_FLOAT32:
        case QUILLWAVE_ELEMENT_INT32:
            return 4;
        case QUILLWAVE_ELEMENT_UINT8:
            return 1;
        default:
            return 0;
    }
}

void ReadTimes(const WaveformHeader& header, int64_t first, int64_t count, unsigned char* out) {
    for (int64_t i = 0; i < count; ++i) {
        const double time = ComputeTimeFromIndex(first + i, header);
        std::memcpy(out + 8 * i, &time, sizeof time);
    }
}

// Stored little-endian words in place as the host's.
void ToHostOrder(unsigned char* words, int64_t count) {
    if constexpr (std::endian::native != std::endian::little) {
        for (int64_t i = 0; i < count; ++i) {
            const uint32_t value = LoadU32(words + 4 * i);
            std::memcpy(words + 4 * i, &value, sizeof value);
        }
    }
}

[[gnu::noinline]] int ReadColumn(const quillwave_capture* capture, int64_t index, size_t column,
                                 int64_t first, int64_t count, void* destination, size_t capacity) {
    const quillwave_waveform* waveform = WaveformAt(capture, index);
    if (waveform == nullptr) return QUILLWAVE_E_ARGUMENT;
    if (!YieldsSamples(waveform->samples)) return QUILLWAVE_E_NO_SAMPLES;
    const int element = ElementOf(waveform, column);
    const size_t size = ElementSize(element);
    const int64_t rows = RowCount(waveform->samples);
    if (size == 0 || first < 0 || count < 0 || first > rows || count > rows - first ||
        static_cast<uint64_t>(count) > capacity / size || (count > 0 && destination == nullptr)) {
        return QUILLWAVE_E_ARGUMENT;
    }
    auto* out = static_cast<unsigned char*>(destination);
    if (column == 0) {
        ReadTimes(waveform->samples.header, first, count, out);
        return QUILLWAVE_OK;
    }
    const SampleBlock& block = waveform->samples.columns[column - 1].block;
    const int64_t offset = block.fileOffset + first * block.sampleWidth;
    if (!ReadAllAt(capture->stream.fd, offset, out, static_cast<size_t>(count) * size)) {
        return QUILLWAVE_E_READ;
    }
    if (size == 4) ToHostOrder(out, count);
    return QUILLWAVE_OK;
}

}  // namespace
}  // namespace quillwave

using namespace quillwave;

extern "C" {

int quillwave_open(const char* path, const char* spool_folder, quillwave_capture** capture,
                   int* os_error) {
    SetOsError(os_error, 0);
    if (path == nullptr || capture == nullptr) return QUILLWAVE_E_ARGUMENT;
    return Guarded([&]() -> int {
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return SetOsError(os_error, errno), QUILLWAVE_E_OPEN;
        return OpenCaptureOn(fd, spool_folder, capture, os_error);
    });
}

int quillwave_open_fd(int fd, const char* spool_folder, quillwave_capture** capture,
                      int* os_error) {
    SetOsError(os_error, 0);
    if (fd < 0 || capture == nullptr) return QUILLWAVE_E_ARGUMENT;
    return Guarded([&]() -> int {
        const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (own < 0) return SetOsError(os_error, errno), QUILLWAVE_E_OPEN;
        return OpenCaptureOn(own, spool_folder, capture, os_error);
    });
}

void quillwave_close(quillwave_capture* capture) { delete capture; }

const char* quillwave_file_version(const quillwave_capture* capture) {
    return capture != nullptr ? capture->version : "";
}

int32_t quillwave_declared_count(const quillwave_capture* capture) {
    return capture != nullptr ? capture->declared : 0;
}

int64_t quillwave_waveform_count(const quillwave_capture* capture) {
    return capture != nullptr ? static_cast<int64_t>(capture->waveforms.size()) : 0;
}

int quillwave_walk_end(const quillwave_capture* capture) {
    return capture != nullptr ? capture->walkEnd : QUILLWAVE_WALK_DECLARED;
}

int64_t quillwave_walk_loops_to(const quillwave_capture* capture) {
    return capture != nullptr ? capture->loopsTo : -1;
}

const char* quillwave_walk_text(const quillwave_capture* capture) {
    return capture != nullptr ? capture->walkText.c_str() : "";
}

const quillwave_waveform* quillwave_waveform_at(const quillwave_capture* capture, int64_t index) {
    return WaveformAt(capture, index);
}

const char* quillwave_type_name(int type) {
    return type >= 0 && type < PB_WAVEFORM_TYPE_COUNT ? waveformTable[static_cast<size_t>(type)]
                                                      : waveformTable[PB_UNKNOWN];
}

int quillwave_waveform_header_read(const quillwave_waveform* waveform) {
    return HeaderOf(waveform) != nullptr ? 1 : 0;
}

int64_t quillwave_waveform_offset(const quillwave_waveform* waveform) {
    return waveform != nullptr ? waveform->samples.start : -1;
}

int quillwave_waveform_type(const quillwave_waveform* waveform) {
    return HeaderField(waveform, &WaveformHeader::waveformType);
}

int32_t quillwave_waveform_sample_count(const quillwave_waveform* waveform) {
    return HeaderField(waveform, &WaveformHeader::sampleCount);
}

double quillwave_waveform_time_increment(const quillwave_waveform* waveform) {
    return HeaderField(waveform, &WaveformHeader::timeIncrement);
}

double quillwave_waveform_time_origin(const quillwave_waveform* waveform) {
    return HeaderField(waveform, &WaveformHeader::timeOrigin);
}

int32_t quillwave_waveform_summary_number(const quillwave_waveform* waveform) {
    return HeaderField(waveform, &WaveformHeader::summaryNumber);
}

int32_t quillwave_waveform_buffer_count(const quillwave_waveform* waveform) {
    return HeaderField(waveform, &WaveformHeader::bufferCount);
}

size_t quillwave_waveform_text(const quillwave_waveform* waveform, int which, const char** bytes) {
    const WaveformHeader* header = HeaderOf(waveform);
    const char* field = nullptr;
    size_t capacity = 0;
    const auto pick = [&](const auto& text) {
        field = text.data();
        capacity = text.size();
    };
    if (header != nullptr) {
        switch (which) {
            case 1:
                pick(header->summaryText1);
                break;
            case 2:
                pick(header->summaryText2);
                break;
            case 3:
                pick(header->summaryText3);
                break;
            case 4:
                pick(header->summaryText4);
                break;
            default:
                break;
        }
    }
    if (bytes != nullptr) *bytes = field;
    if (field == nullptr) return 0;
    const void* zero = std::memchr(field, 0, capacity);
    return zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - field) : capacity;
}

size_t quillwave_waveform_buffers_read(const quillwave_waveform* waveform) {
    return waveform != nullptr ? waveform->samples.buffersRead : 0;
}

int32_t quillwave_buffer_data_type(const quillwave_waveform* waveform, size_t k) {
    const BufferReport* buffer = BufferAt(waveform, k);
    return buffer != nullptr && buffer->headerRead ? buffer->header.dataType : -1;
}

int32_t quillwave_buffer_sample_width(const quillwave_waveform* waveform, size_t k) {
    const BufferReport* buffer = BufferAt(waveform, k);
    return buffer != nullptr && buffer->headerRead ? buffer->header.sampleWidth : -1;
}

int64_t quillwave_buffer_data_size(const quillwave_waveform* waveform, size_t k) {
    const BufferReport* buffer = BufferAt(waveform, k);
    return buffer != nullptr && buffer->headerRead ? buffer->header.dataSize : -1;
}

int quillwave_buffer_problem(const quillwave_waveform* waveform, size_t k) {
    const BufferReport* buffer = BufferAt(waveform, k);
    if (buffer == nullptr) return -1;
    switch (buffer->problem) {
        case BufferProblem::None:
            return QUILLWAVE_BUFFER_OK;
        case BufferProblem::HeaderUnreadable:
            return QUILLWAVE_BUFFER_HEADER_UNREADABLE;
        case BufferProblem::WrongWidth:
            return QUILLWAVE_BUFFER_WRONG_WIDTH;
        case BufferProblem::WrongDataType:
            return QUILLWAVE_BUFFER_WRONG_DATA_TYPE;
        case BufferProblem::NegativeSize:
            return QUILLWAVE_BUFFER_NEGATIVE_SIZE;
        case BufferProblem::WrongCount:
            return QUILLWAVE_BUFFER_WRONG_COUNT;
        case BufferProblem::Truncated:
            return QUILLWAVE_BUFFER_TRUNCATED;
    }
    return -1;
}

int quillwave_waveform_reason(const quillwave_waveform* waveform) {
    if (waveform == nullptr) return QUILLWAVE_REASON_HEADER_UNREADABLE;
    return PublicReason(waveform->samples.reason);
}

const char* quillwave_waveform_reason_text(const quillwave_waveform* waveform) {
    return waveform != nullptr ? waveform->reasonText.c_str() : "";
}

size_t quillwave_column_count(const quillwave_waveform* waveform) {
    return waveform != nullptr && YieldsSamples(waveform->samples)
               ? 1 + waveform->samples.columnCount
               : 0;
}

const char* quillwave_column_name(const quillwave_waveform* waveform, size_t column) {
    return HasColumn(waveform, column) ? ColumnName(waveform->samples, column) : nullptr;
}

int quillwave_column_element(const quillwave_waveform* waveform, size_t column) {
    return ElementOf(waveform, column);
}

size_t quillwave_column_element_size(const quillwave_waveform* waveform, size_t column) {
    return ElementSize(ElementOf(waveform, column));
}

int32_t quillwave_column_data_type(const quillwave_waveform* waveform, size_t column) {
    if (!HasColumn(waveform, column)) return -1;
    return column == 0 ? 0 : waveform->samples.columns[column - 1].dataType;
}

int64_t quillwave_row_count(const quillwave_waveform* waveform) {
    return waveform != nullptr ? RowCount(waveform->samples) : 0;
}

int quillwave_read_column(const quillwave_capture* capture, int64_t index, size_t column,
                          int64_t first, int64_t count, void* destination, size_t capacity) {
    const RoundingToNearest nearest;
    return ReadColumn(capture, index, column, first, count, destination, capacity);
}

double quillwave_time(double increment, double origin, int64_t sample_index) {
    const RoundingToNearest nearest;
    return TimeOf(increment, origin, sample_index);
}

}  // extern "C"
