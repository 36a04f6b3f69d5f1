// What one waveform holds: its header, the sample columns its type calls
// for, or why it yields none. This is the one place that knows how each
// waveform type maps onto data buffers; the text writers, the listing and
// the export program only consume the description.
//
//   type                 buffers read                    columns, in order
//   normal, average      one analog (data type 1, 2, 3)  value
//   peak detect          two analog                      the data-type-3 buffer's
//                                                        values, then the other's
//   histograms           one count (data type 5)         count
//   logic                two bytes (data type 6) when    bytes in buffer order
//                        bufferCount is exactly 2,
//                        else one
//   unknown              all bufferCount, stepped over   none
//
// Peak detect: the first buffer's data type decides. If it is 3 its values
// form the first column and the next analog buffer (of whatever analog
// type) the second; if it is 2 the roles swap. Any other first buffer (type
// 1, or one that is rejected) ends the waveform there: the second buffer is
// not read. Two-buffer logic reads the second buffer even when the first is
// rejected. Apart from unknown waveforms, only these buffers are read, so
// the stream ends after them whatever bufferCount says.
//
// The columns are checked (kind, width, count, and that the file holds all
// their bytes) before the description is returned, so a waveform is
// written whole or not at all.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "waveform_file/buffer_readers.h"
#include "waveform_file/buffer_walk.h"
#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_records.h"

namespace quillwave {

struct SampleColumn {
    SampleBlock block;
    SampleKind kind = SampleKind::Float32;
    int16_t dataType = 0;      // the stored data type of its buffer
    int32_t bufferNumber = 0;  // 1-based position of its buffer in the waveform
};

// Why a waveform yields no samples.
enum class NoSamplesReason : uint8_t {
    None,                 // it yields its columns
    HeaderUnreadable,     // the waveform header cannot be read
    UnknownType,          // PB_UNKNOWN: its buffers are stepped over
    BufferRejected,       // a buffer it needs is not of the kind or size required
    PeakDetectFirstType,  // peak detect whose first buffer is of data type 1
};

inline constexpr size_t kMaxColumns = 2;
inline constexpr size_t kMaxBufferReports = 2;

struct WaveformSamples {
    int64_t start = 0;  // where the stored waveform header begins
    bool headerRead = false;
    WaveformHeader header;  // valid when headerRead
    NoSamplesReason reason = NoSamplesReason::HeaderUnreadable;
    // The buffers read for the columns, in file order (none for unknown
    // waveforms, whose buffers are only stepped over). Buffer k of the
    // waveform is buffers[k - 1].
    std::array<BufferReport, kMaxBufferReports> buffers{};
    size_t buffersRead = 0;
    // The accepted columns, in column order; empty unless reason is None.
    std::array<SampleColumn, kMaxColumns> columns{};
    size_t columnCount = 0;
};

inline bool YieldsSamples(const WaveformSamples& samples) {
    return samples.reason == NoSamplesReason::None;
}

// The time of sample `index`: index * timeIncrement + timeOrigin in
// binary64, the product rounded before the sum (the build forbids fused
// multiply-add, which would change the last bit of some times). Inline: it
// runs once per line of every writer; it is exact only in code built as
// this project builds (-ffp-contract=off), so other programs get it from
// the library (quillwave_time), never from a header of theirs.
inline double ComputeTimeFromIndex(int64_t index, const WaveformHeader& header) {
    // Each step rounds to binary64; wider intermediates (x87) would round twice.
    static_assert(__FLT_EVAL_METHOD__ == 0, "times need plain binary64 arithmetic");
    const double offset = static_cast<double>(index) * header.timeIncrement;
    const double time = offset + header.timeOrigin;
    if (__builtin_isnan(time)) [[unlikely]] {
        // A NaN's sign shows in the text, so it follows x86's rules everywhere:
        // a NaN made here (0 x inf, inf - inf) is negative; a NaN field passes
        // its own sign on, the increment's before the origin's.
        const double& field = __builtin_isnan(offset) ? header.timeIncrement : header.timeOrigin;
        return __builtin_copysign(time, __builtin_isnan(field) ? field : -1.0);
    }
    return time;
}

// What the walks over one input file's waveforms have seen, for the walks
// after them; one per walk over a file (a listing, a conversion), passed to
// each waveform read. The walk of a waveform depends only on where it starts
// (the file does not change under the program). A crafted file can send
// billions of waveforms back to the same few starts, each over thousands of
// buffers, or many starts into one long loop of buffers: with this, each
// buffer is stepped over about once. Memory stays bounded: `ends` keeps at
// most kMaxRememberedWalks long walks, `buffers` its own limit.
struct WaveformWalkMemo {
    BufferWalkMemo buffers;
    std::unordered_map<int64_t, int64_t> ends;  // by the waveform's start
};
inline constexpr size_t kMaxRememberedWalks = size_t{1} << 16;

// Reads the waveform at the stream's position as a conversion does: its
// header, then the buffers its type calls for (or, for an unknown type,
// steps over all of them, with the memo's help when there is one). The
// stream ends after the last buffer read.
WaveformSamples ReadWaveformSamples(InputStream& stream, WaveformWalkMemo* memo = nullptr);

// Reads the waveform header at the stream's position and steps over all
// bufferCount buffers without reading their samples, as a listing does.
// False, with the stream where the failed header read left it, when the
// header cannot be read.
bool IgnoreWaveform(InputStream& stream, WaveformHeader& header, WaveformWalkMemo* memo = nullptr);

// One sentence saying why a waveform yields no samples, e.g. "buffer 1 has
// data type 4, not an analog type" or "the file ends inside buffer 2: 4000
// bytes declared, 1200 present". Empty when it yields samples.
std::string DescribeNoSamples(const WaveformSamples& samples);

}  // namespace quillwave
