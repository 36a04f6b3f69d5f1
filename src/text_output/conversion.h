// Conversion of one waveform into lines of text, one line per sample index:
//   normal, average       "%e, %f\n"       time, value
//   peak detect           "%e, %f, %f\n"   time, data-type-3 value, data-type-2 value
//   histograms            "%e, %i\n"       time, count
//   logic, one buffer     "%e, %x\n"       time, byte
//   logic, two buffers    "%e, %x%x\n"     time, second buffer's byte, first buffer's byte
// Which buffers a waveform reads and what its columns are is the reading
// layer's (waveform_file/waveform_samples.h); the writers here only turn
// those columns into lines. Waveforms that yield no samples write nothing.
// Whether every buffer is accepted is known before the first line is
// written, so a waveform is written whole or not at all.
#pragma once

#include <cstdint>

#include "text_output/text_sink.h"
#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_samples.h"

namespace quillwave {

// Reads the waveform at the stream's position and writes its lines. False
// when it yields no samples, or when its lines could not all be written
// (the sink failed, or the file no longer holds the samples it held when
// they were accepted: the stream's readFailed then says so). The memo, when
// given, serves the walk over an unknown waveform's buffers.
bool OutputWaveform(InputStream& stream, TextSink& sink, WaveformWalkMemo* memo = nullptr);
// The same, in two steps: the waveform read (ReadWaveformSamples), then its
// lines written. Writing allocates its chunks of samples, and may throw
// std::bad_alloc where not even the smallest can be had (two threads'
// chunks that cannot be had mean one thread); the stream's walk is done
// by then.
bool WriteWaveformLines(InputStream& stream, const WaveformSamples& samples, TextSink& sink);

// The writers, given a waveform that yields samples of their type. Each
// stops at the first failure of the sink or of a read, returning false.
bool OutputNormalData(InputStream& stream, const WaveformSamples& samples, TextSink& sink);
bool OutputPeakDetectData(InputStream& stream, const WaveformSamples& samples, TextSink& sink);
bool OutputHistogramData(InputStream& stream, const WaveformSamples& samples, TextSink& sink);
bool OutputLogicData(InputStream& stream, const WaveformSamples& samples, TextSink& sink);

}  // namespace quillwave
