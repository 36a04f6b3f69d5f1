// Reading the stored headers of waveforms and data buffers, and stepping over
// data buffers without reading their samples.
//
// Each stored header starts with its own length. A reader keeps the leading
// bytes it knows as a record and steps over the rest, so longer headers from
// newer writers are read correctly.
#pragma once

#include <cstdint>

#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_records.h"

namespace quillwave {

// Reads the 12-byte file header at the stream's position. False when the file
// holds fewer than 12 bytes there; `header` is then untouched.
bool ReadFileHeader(InputStream& stream, FileHeader& header);

// Reads the stored waveform header at the stream's position. On success the
// stream stands after the whole stored header, and `waveformType` lies in
// 0..6 (unknown types read as PB_UNKNOWN). On failure `header` is untouched:
//  - declared size below the record's 144 bytes (negative included): the
//    stream stands 4 bytes past the header's first byte;
//  - size field not readable whole, or header not held whole by the file:
//    the stream stands at (or stays past) the end of the file.
bool ReadWaveformHeader(InputStream& stream, WaveformHeader& header);

// The same for a stored buffer header (record of 12 bytes). On success the
// stream stands on the buffer's first sample byte. A `dataType` above 6 reads
// as 0; a negative one is kept (no reader accepts it).
bool ReadWaveformDataHeader(InputStream& stream, WaveformDataHeader& header);

// Steps over one data buffer: its header, then `dataSize` bytes (a signed,
// relative move). Fails, without moving further, when the header cannot be read.
bool IgnoreWaveformData(InputStream& stream);

struct BufferWalkMemo;

// Steps over `bufferCount` buffers (none when it is 0 or negative), making
// every step even when one fails, as the walk over a waveform requires.
// Returns the number of steps really taken (a walk that comes back on
// itself is cut short to the same end). With a memo (waveform_file/
// buffer_walk.h), what earlier walks over the same file saw is not walked
// again.
int64_t IgnoreWaveformBuffers(InputStream& stream, int32_t bufferCount,
                              BufferWalkMemo* memo = nullptr);

}  // namespace quillwave
