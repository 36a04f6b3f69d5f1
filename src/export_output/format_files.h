// The export formats written into the job's sink placed at each write's
// offset rather than as text: sr and wav through other libraries (they seek
// back to finish their headers), mat by its own writer (in one pass):
//
//   sr    a sigrok session (version 2): a ZIP archive, through libzip, of
//         `version`, `metadata` and the samples in entries of a few MiB;
//         logic bytes as 8 or 16 logic channels (D0-D7, D8-D15), analog
//         values as one analog channel per value column (float32); counts
//         refused, since float32 cannot hold every int32 exactly.
//   wav   a WAV file (RF64 past 4 GiB), through libsndfile: one channel per
//         column, float32 values, 32-bit PCM counts, 8-bit unsigned logic
//         bytes, each sample's bits as stored.
//   mat   a level 5 MAT-file: each column an N x 1 variable named as the
//         CSV's (time double, values single, counts int32, bytes uint8, the
//         bits as stored), and the struct `info` of the waveform's header.
//         A waveform with a variable past level 5's limit (2 GiB) is written
//         as MAT 7.3 (HDF5) through libmatio, or refused where that is
//         missing.
//
// sr and wav take their sample rate from the time increment (SampleRateOf). A
// format whose library was missing at build time is not available.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "export_output/sample_files.h"
#include "text_output/text_sink.h"
#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_samples.h"

namespace quillwave {

// Whether the format's file is made by WriteFormatFile (sr, wav, mat)
// rather than by the text and NPY writers.
bool WrittenByFormatWriter(ExportFormat format);
// Whether this build can write the format.
bool FormatAvailable(ExportFormat format);

// Why a waveform that yields samples cannot be written in `format` (its
// status in the description); empty when it can.
std::string FormatRefusal(const WaveformSamples& samples, ExportFormat format);

// The whole hertz a format's sample rate is written as: 1 / increment
// rounded, within [1, limit]. `exact` when 1 / hertz is the increment
// itself; `valid` when the increment is positive and finite and its rate
// within the limit.
struct SampleRate {
    uint64_t hertz = 1;
    bool exact = false;
    bool valid = false;
};
SampleRate SampleRateOf(double increment, uint64_t limit);
// The largest rate each format can state.
uint64_t SampleRateLimit(ExportFormat format);
// The description's fields for a file of the format (DescribeWaveform's
// formatFields): the rate an sr or wav file states; empty for the others.
std::string DescribeFormatFields(const WaveformSamples& samples, ExportFormat format);

// Bytes the waveform's file in `format` is sure to take (the samples' own,
// all of NPY's): the space reserved before it is written
// (ReserveOutputSpace). Never more than the file takes: a reservation past
// that would hold room other files (other jobs' too) need until the file is
// complete. 0 where nothing is known beforehand: CSV, whose lines vary in
// length, and MAT 7.3, whose writer reserves its own.
uint64_t FileBytesAtLeast(const WaveformSamples& samples, ExportFormat format);

struct FormatFileResult {
    bool written = false;     // the whole file
    int writeError = 0;       // errno of the failed write, if one failed
    bool readFailed = false;  // the capture no longer holds the samples
};

// Writes the file of a waveform that yields samples (and is not refused)
// through `sink`, retargeted at the file (placed: from offset 0, by
// position), in chunks; flushed when it returns. Stops between chunks once
// `stop` is set.
FormatFileResult WriteFormatFile(InputStream& stream, const WaveformSamples& samples,
                                 ExportFormat format, TextSink& sink,
                                 const std::atomic<bool>* stop);

// The writers of each format (format_files.cpp dispatches to those built).
FormatFileResult WriteSigrokSession(InputStream& stream, const WaveformSamples& waveform,
                                    TextSink& sink, const std::atomic<bool>* stop);
FormatFileResult WriteWavFile(InputStream& stream, const WaveformSamples& samples, TextSink& sink,
                              const std::atomic<bool>* stop);

// Writes `size` bytes at `position` of the file through a placed sink (the
// sr and wav writers' output), handing on each megabyte as it fills.
void WritePlaced(TextSink& sink, int64_t position, const void* data, size_t size);

// The largest element a level 5 MAT-file's variable may take (tag included):
// MATLAB's limit, under 2^31 so that readers taking the size as signed get
// it right.
inline constexpr uint64_t kMat5VariableLimit = (uint64_t{1} << 31) - 1;
// Whether a variable of the waveform's MAT-file would pass `variableLimit`,
// so that the file is MAT 7.3.
bool MatNeedsVersion73(const WaveformSamples& samples, uint64_t variableLimit = kMat5VariableLimit);
// Whether MAT 7.3 files can be written: this build found libmatio, and it
// loads. The first call loads it.
bool Mat73Available();
// Why libmatio's functions could not be had, empty when they were (built
// with libmatio only).
const std::string& Mat73Problem();
// The MAT-file of the waveform: level 5, or 7.3 past `variableLimit` (a
// parameter so that tests reach the 7.3 writer with small waveforms),
// which libmatio writes to the sink's descriptor itself.
FormatFileResult WriteMatFile(InputStream& stream, const WaveformSamples& samples, TextSink& sink,
                              const std::atomic<bool>* stop,
                              uint64_t variableLimit = kMat5VariableLimit);
FormatFileResult WriteMat73File(InputStream& stream, const WaveformSamples& samples, int fd,
                                const std::atomic<bool>* stop);
// A header text as a MAT-file's characters, UTF-16 code units: the
// characters of the description's JSON string (valid UTF-8 as its
// characters, any other byte as the character of its value).
std::u16string MatCharacters(std::string_view text);

// A waveform's column (0 is time) as a MAT-file variable: its name, array
// class and element type as the file numbers them (libmatio's enums take
// the same numbers), and the bytes of an element.
struct MatColumn {
    const char* name;
    uint32_t arrayClass;
    uint32_t dataType;
    size_t width;
};
MatColumn MatColumnOf(const WaveformSamples& samples, size_t column);
// Loads `count` elements of the column from `first` into `out`,
// little-endian: times computed, samples as stored. False when the capture
// no longer holds them.
bool LoadMatColumn(InputStream& stream, const WaveformSamples& samples, size_t column,
                   int64_t first, size_t count, unsigned char* out);

// Interleaved frames of a waveform's columns, loaded a chunk at a time: each
// frame holds each column's stored sample bytes (little-endian), in column
// order.
class FrameReader {
  public:
    FrameReader(InputStream& stream, const WaveformSamples& samples, size_t chunkFrames);
    size_t frameSize() const { return frameSize_; }
    // Loads `count` (at most chunkFrames) frames from `first` into frames();
    // false when the capture no longer holds them.
    bool Load(int64_t first, size_t count);
    const unsigned char* frames() const { return frames_.get(); }
    // The same into `out`, which holds count * frameSize() bytes.
    bool LoadInto(int64_t first, size_t count, unsigned char* out);

  private:
    InputStream& stream_;
    const WaveformSamples& samples_;
    size_t chunkFrames_ = 0;
    size_t frameSize_ = 0;
    std::unique_ptr<unsigned char[]> columns_;  // each column's samples, for two
    std::unique_ptr<unsigned char[]> frames_;   // made by the first Load
};

}  // namespace quillwave
