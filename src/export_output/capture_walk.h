// How far to walk a capture's waveforms.
//
// Each waveform starts where the previous one's walk ended, and a walk
// depends only on where it starts (the file does not change under the
// program). So once a waveform starts where an earlier one started, every
// later one repeats an earlier one: a crafted file declaring 2^31 - 1
// waveforms can send the walk round the same few waveforms forever. The
// export stops there, so it never writes more files or descriptions than
// the capture holds distinct waveforms.
//
// The positions are found with Brent's cycle detection, in constant memory
// and in a number of header reads bounded by a few times the number of
// waveforms walked: the walk itself is then made once more, in order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_samples.h"

namespace quillwave {

enum class WalkEnd : uint8_t {
    Declared,  // every declared waveform is walked
    FileEnds,  // the file ends (the next waveform would start at or past its end)
    Loops,     // the next waveform starts where an earlier one started
};

struct WalkExtent {
    int64_t waveforms = 0;  // how many waveforms to walk, from the first
    WalkEnd end = WalkEnd::Declared;
    int64_t loopsTo = 0;  // for Loops: 0-based index of the waveform it would repeat
};

// Measures the walk of `declared` waveforms from `firstWaveform` (leaves
// the stream's position anywhere).
// `memo` (shared with the export's own walk of the same capture) keeps the
// buffer walks of crafted files to about one step per buffer.
WalkExtent MeasureWalk(InputStream& stream, int64_t firstWaveform, int32_t declared,
                       WaveformWalkMemo* memo = nullptr);

// The whole walk, as the export and the library make it: measures it, then
// reads each of its waveforms in file order and hands it to `visit` (its
// 0-based index, what it holds). The stream stands at the first waveform
// when called; `memo` serves both passes.
using WaveformVisitor = std::function<void(int64_t index, const WaveformSamples& samples)>;
WalkExtent WalkWaveforms(InputStream& stream, int32_t declared, WaveformWalkMemo& memo,
                         const WaveformVisitor& visit);

// What the export says of a walk that did not go through every declared
// waveform, or of a capture whose read failed (`readFailed`, which comes
// first); empty when there is nothing to say.
std::string DescribeWalkEnd(const WalkExtent& extent, int32_t declared, bool readFailed);
inline constexpr const char* kCaptureReadFailure =
    "cannot read the capture: it shrank while being read, or a read failed";

}  // namespace quillwave
