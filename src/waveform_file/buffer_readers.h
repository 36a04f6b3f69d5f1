// Typed buffer readers: check that a data buffer is of the expected kind and
// holds exactly the waveform's number of samples, then hand out its samples.
//
// A buffer is accepted when its sample width is the reader's, its data type
// is one the reader takes, and dataSize / sampleWidth (truncating) equals the
// waveform's sampleCount. A rejected buffer is stepped over by its declared
// lengths, so the stream always ends after it (backwards for a negative
// dataSize).
//
// An accepted buffer is not copied into memory: its SampleBlock names where
// its samples lie in the file, and the writer streams them in chunks with
// LoadSamples. A buffer is only accepted when the file holds all its bytes,
// so a block never promises samples the file does not have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_records.h"

namespace quillwave {

struct SampleBlock {
    int64_t fileOffset = 0;   // first sample byte
    int32_t sampleCount = 0;  // elements the caller may read: indices 0..sampleCount-1
    int32_t sampleWidth = 0;  // bytes per element
};

// The three kinds of sample a buffer can hold, one per reader.
enum class SampleKind : uint8_t {
    Float32,  // analog values, binary32, width 4, data types 1, 2 and 3
    Int32,    // histogram counts, signed, width 4, data type 5
    Byte,     // logic bytes, unsigned, width 1, data type 6
};

// Why a buffer was not accepted, tested in this order.
enum class BufferProblem : uint8_t {
    None,
    HeaderUnreadable,  // its stored header cannot be read
    WrongWidth,        // sampleWidth is not the kind's
    WrongDataType,     // dataType is not one the kind takes
    NegativeSize,      // dataSize is negative: no samples
    WrongCount,        // dataSize / sampleWidth differs from the waveform's sampleCount
    Truncated,         // the file ends inside its samples
};

// What a reader found in one buffer.
struct BufferReport {
    SampleKind wanted = SampleKind::Float32;
    bool headerRead = false;
    WaveformDataHeader header;  // as stored, when headerRead
    BufferProblem problem = BufferProblem::None;
    int64_t bytesPresent = 0;  // for Truncated: the sample bytes the file holds
};

// The reader of `kind`, reporting what it found in `report` (when given).
std::optional<SampleBlock> ReadSampleBuffer(InputStream& stream, const WaveformHeader& waveform,
                                            SampleKind kind, BufferReport* report = nullptr);

// Width and accepted data types of a kind.
int16_t SampleWidthOf(SampleKind kind);

// binary32 values, width 4, data types 1, 2 and 3. When `dataTypeReport` is
// given it receives the buffer's data type for a returned block, else 0.
std::optional<SampleBlock> ReadAnalogWaveform(InputStream& stream, const WaveformHeader& waveform,
                                              int16_t* dataTypeReport = nullptr);
// Signed 32-bit counts, width 4, data type 5.
std::optional<SampleBlock> ReadHistogramWaveform(InputStream& stream,
                                                 const WaveformHeader& waveform);
// Unsigned bytes, width 1, data type 6.
std::optional<SampleBlock> ReadLogicWaveform(InputStream& stream, const WaveformHeader& waveform);

// Copies the stored bytes of `count` elements starting at element `first`
// into `destination` (count * sampleWidth bytes), by position: the stream's
// walk is not moved. False if the file no longer holds them all (it shrank
// while being read); the destination's contents are then not to be used.
bool LoadSamples(InputStream& stream, const SampleBlock& block, int64_t first, size_t count,
                 unsigned char* destination);

}  // namespace quillwave
