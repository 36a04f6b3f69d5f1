// Conversion of one waveform into lines of text, one line per sample index:
//   normal, average       "%e, %f\n"       time, value
//   peak detect           "%e, %f, %f\n"   time, data-type-3 value, data-type-2 value
//   histograms            "%e, %i\n"       time, count
//   logic, one buffer     "%e, %x\n"       time, byte
//   logic, two buffers    "%e, %x%x\n"     time, second buffer's byte, first buffer's byte
// PB_UNKNOWN waveforms write nothing and have all their buffers stepped over.
//
// Each writer reads only the buffers it needs; bufferCount is consulted only
// by PB_UNKNOWN and by logic waveforms (two buffers when it is exactly 2).
// Whether every buffer is accepted is known before the first line is
// written, so a waveform is written whole or not at all.
#pragma once

#include <cstdint>

#include "text_output/text_sink.h"
#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_records.h"

namespace quillwave {

// Reads the waveform header at the stream's position and writes the
// waveform's lines. False when the header cannot be read, the type is
// PB_UNKNOWN, or the writer could not load its buffers.
bool OutputWaveform(InputStream& stream, TextSink& sink);

// index * timeIncrement + timeOrigin in binary64, the product rounded before
// the sum (the build forbids fused multiply-add).
double ComputeTimeFromIndex(int32_t index, const WaveformHeader& header);

bool OutputNormalData(InputStream& stream, const WaveformHeader& header, TextSink& sink);
bool OutputPeakDetectData(InputStream& stream, const WaveformHeader& header, TextSink& sink);
bool OutputHistogramData(InputStream& stream, const WaveformHeader& header, TextSink& sink);
bool OutputLogicData(InputStream& stream, const WaveformHeader& header, TextSink& sink);

}  // namespace quillwave
