// A memo of where steps over data buffers lead, shared by all the walks over
// one input file.
//
// A step over a buffer depends only on where it starts (the file does not
// change under the program), so the file defines a fixed map from position
// to position, and every walk follows that map. A crafted file can send many
// waveforms, each from its own start, into one long loop of buffers; walked
// afresh, each would cost a cycle detection over the whole loop. The memo
// keeps what the walks have seen as chains of positions, x_0, x_1 = step(x_0),
// ..., sampled every `stride` positions: a walk that reaches a sampled
// position jumps to its end through the chains and takes fewer than `stride`
// steps from the nearest sample, so every step is taken once, plus a few per
// walk. Memory is bounded: past `maxSamples` samples, walks go on as without
// a memo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "waveform_file/input_stream.h"

namespace quillwave {

inline constexpr int64_t kWalkSampleStride = 64;
inline constexpr size_t kMaxWalkSamples = size_t{1} << 17;

// Positions x_0 .. x_{own-1} of one stretch of walk, and what follows them.
struct WalkChain {
    std::vector<int64_t> samples;  // x_{k * stride}
    int64_t own = 0;
    int64_t last = 0;  // x_{own-1}
    // With cycleLength > 0, x_q for q >= cycleStart is x_{cycleStart +
    // (q - cycleStart) % cycleLength}.
    int64_t cycleStart = 0;
    int64_t cycleLength = 0;
    // With next >= 0, x_{own + s} is chain next's x_{nextIndex + s}; and,
    // skipping the chains between, x_{own + rootDistance + s} is chain
    // root's x_{rootIndex + s}. Neither is set for a chain that ends where
    // the walks so far ended: one that goes further extends it.
    int32_t next = -1;
    int64_t nextIndex = 0;
    int32_t root = -1;
    int64_t rootIndex = 0;
    int64_t rootDistance = 0;
};

// A sampled position, found by open addressing (position -1: empty slot).
struct WalkSampleSlot {
    int64_t position = -1;
    int32_t chain = 0;
    int32_t sample = 0;  // the position is the chain's x_{sample * stride}
};

struct BufferWalkMemo {
    int64_t stride = kWalkSampleStride;
    size_t maxSamples = kMaxWalkSamples;
    std::vector<WalkChain> chains;
    std::vector<WalkSampleSlot> table;
    size_t sampleCount = 0;
};

// Steps over `count` buffers (count > 0) as IgnoreWaveformBuffers does, with
// the memo's help, and records what it learns in it. Returns the number of
// steps really taken.
int64_t WalkBuffersWithMemo(InputStream& stream, int64_t count, BufferWalkMemo& memo);

}  // namespace quillwave
