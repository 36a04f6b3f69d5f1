#include "export_output/capture_walk.h"

#include "waveform_file/waveform_samples.h"

namespace quillwave {
namespace {

int64_t NextWaveformStart(InputStream& stream, int64_t start, WaveformWalkMemo* memo) {
    stream.position = start;
    ReadWaveformSamples(stream, memo);
    return stream.position;
}

}  // namespace

WalkExtent MeasureWalk(InputStream& stream, int64_t firstWaveform, int32_t declared,
                       WaveformWalkMemo* memo) {
    if (declared <= 0) return {};
    const auto atEnd = [&](int64_t position) { return position >= stream.size; };
    if (atEnd(firstWaveform)) return {.waveforms = 0, .end = WalkEnd::FileEnds};
    // Brent: the hare visits every waveform start in order (index 1, 2, ...),
    // the tortoise waits at indices 2^k - 1. A repeat among the first
    // `declared` starts (mu + lambda <= declared) is seen by hare index
    // 2 * max(mu + 1, lambda) + lambda <= 3 * declared + 2; past that, none
    // lies within the declared waveforms.
    const int64_t lastIndex = 3 * static_cast<int64_t>(declared) + 2;
    int64_t tortoise = firstWaveform;
    int64_t hare = NextWaveformStart(stream, firstWaveform, memo);
    int64_t hareIndex = 1;
    int64_t power = 1;
    int64_t lambda = 1;
    for (;;) {
        if (atEnd(hare)) {
            // A walk that reaches the end never repeated a start before it.
            if (hareIndex >= declared) return {.waveforms = declared};
            return {.waveforms = hareIndex, .end = WalkEnd::FileEnds};
        }
        if (hare == tortoise) break;
        if (hareIndex >= lastIndex) return {.waveforms = declared};
        if (power == lambda) {
            tortoise = hare;
            power *= 2;
            lambda = 0;
        }
        hare = NextWaveformStart(stream, hare, memo);
        ++hareIndex;
        ++lambda;
    }
    // The cycle is lambda long; mu is the index of its first start.
    tortoise = firstWaveform;
    hare = firstWaveform;
    for (int64_t i = 0; i < lambda; ++i) hare = NextWaveformStart(stream, hare, memo);
    int64_t mu = 0;
    while (tortoise != hare && mu < hareIndex) {
        tortoise = NextWaveformStart(stream, tortoise, memo);
        hare = NextWaveformStart(stream, hare, memo);
        ++mu;
    }
    const int64_t distinct = mu + lambda;
    if (distinct >= declared) return {.waveforms = declared};
    return {.waveforms = distinct, .end = WalkEnd::Loops, .loopsTo = mu};
}

WalkExtent WalkWaveforms(InputStream& stream, int32_t declared, WaveformWalkMemo& memo,
                         const WaveformVisitor& visit) {
    const int64_t firstWaveform = stream.position;
    const WalkExtent extent = MeasureWalk(stream, firstWaveform, declared, &memo);
    stream.position = firstWaveform;
    for (int64_t k = 0; k < extent.waveforms; ++k) visit(k, ReadWaveformSamples(stream, &memo));
    return extent;
}

std::string DescribeWalkEnd(const WalkExtent& extent, int32_t declared, bool readFailed) {
    const std::string declaredText = std::to_string(declared);
    if (readFailed) return kCaptureReadFailure;
    if (extent.end == WalkEnd::Loops) {
        const std::string next = std::to_string(extent.waveforms + 1);
        return "waveform " + next + ": starts where waveform " +
               std::to_string(extent.loopsTo + 1) + " started (the capture loops); waveforms " +
               next + " to " + declaredText + " are not exported";
    }
    if (extent.end == WalkEnd::FileEnds) {
        return "the file ends after " + std::to_string(extent.waveforms) + " of its " +
               declaredText + " declared waveforms";
    }
    return {};
}

}  // namespace quillwave
