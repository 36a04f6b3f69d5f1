// The files of one waveform's samples: a header line or block, then one CSV
// line or one NPY record per sample index.
//
// Columns: `time` (binary64, ComputeTimeFromIndex), then the waveform's
// sample columns in the description's column order, named by their kind:
//   binary32 values   "value", or "value1" "value2" when there are two
//   int32 counts      "count"
//   logic bytes       "byte1" ("byte2"), in buffer order
// The CSV file (RFC 4180, LF line ends) has a header line of these names;
// the NPY file (NumPy format 1.0) holds one structured array whose fields
// carry them, as time <f8, values <f4, counts <i4, bytes |u1, packed, with a
// header laid out as numpy.save lays it out (so the data starts at a
// multiple of 64 bytes and the two files are byte for byte the same).
//
// Samples are loaded from the capture in chunks by position, so memory stays
// flat whatever the waveform's size.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "text_output/text_sink.h"
#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_samples.h"

namespace quillwave {

// Sigrok, Wav and Mat are written to the descriptor (format_files.h).
enum class ExportFormat : uint8_t { Csv, Npy, Sigrok, Wav, Mat };

// "csv", "npy", "sr", "wav" or "mat".
const char* FormatExtension(ExportFormat format);

// Whether the writer was asked to stop (between chunks); `stop` may be null.
inline bool Stopped(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// Number of sample indices of a waveform that yields samples: what every
// column may be read for.
int32_t RowCount(const WaveformSamples& samples);

// Bytes of one sample index's samples, all columns but time.
size_t SampleBytesPerRow(const WaveformSamples& samples);

// Name and NumPy type of column `column` (0 is time, 1.. the sample columns).
const char* ColumnName(const WaveformSamples& samples, size_t column);
const char* ColumnNumpyType(const WaveformSamples& samples, size_t column);

// "time,value\n" and so on.
std::string CsvHeaderLine(const WaveformSamples& samples);
// Magic, version, header length and the header dictionary, padded.
std::string NpyHeader(const WaveformSamples& samples);

// Writes the whole file of a waveform that yields samples to `out`. False
// when the capture no longer holds the samples (it shrank while being read)
// or a write failed (its errno is left in out.error). With `shareFormatting`
// and a pipelined sink, the caller and the sink's thread format a CSV file's
// lines together, on two processors; the bytes are the same.
// Once `stop` is set (checked between chunks) it returns false, the file
// left unfinished.
bool WriteSampleFile(InputStream& stream, const WaveformSamples& samples, ExportFormat format,
                     TextSink& out, bool shareFormatting = false,
                     const std::atomic<bool>* stop = nullptr);

}  // namespace quillwave
