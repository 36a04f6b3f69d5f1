// Listing mode's one line per waveform:
//   summaryText1, type name, [summaryNumber,] sampleCount, summaryText2, summaryText3, summaryText4
// with ", " between items; summaryNumber appears only when it is not 0.
#pragma once

#include "text_output/text_sink.h"
#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_samples.h"

namespace quillwave {

// Reads the waveform header at the stream's position, writes its summary line
// and steps over all of its data buffers without reading their samples.
// Writes nothing when the header cannot be read. With a memo, a start whose
// buffers were walked before is not walked again.
void SummarizeWaveform(InputStream& stream, TextSink& sink, WaveformWalkMemo* memo = nullptr);

void OutputSummary(const WaveformHeader& header, TextSink& sink);

}  // namespace quillwave
