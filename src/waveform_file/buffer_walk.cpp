#include "waveform_file/buffer_walk.h"

#include <algorithm>

#include "waveform_file/header_readers.h"

namespace quillwave {
namespace {

// A position on the walks as a chain and an index along it.
struct ChainPoint {
    int32_t chain = -1;
    int64_t index = 0;
};

size_t SlotOf(const BufferWalkMemo& memo, int64_t position) {
    const size_t mask = memo.table.size() - 1;
    const uint64_t hash = static_cast<uint64_t>(position) * 0x9E3779B97F4A7C15u;
    size_t slot = static_cast<size_t>(hash ^ (hash >> 29)) & mask;
    while (memo.table[slot].position >= 0 && memo.table[slot].position != position) {
        slot = (slot + 1) & mask;
    }
    return slot;
}

ChainPoint FindSample(const BufferWalkMemo& memo, int64_t position) {
    if (memo.sampleCount == 0) return {};
    const WalkSampleSlot& slot = memo.table[SlotOf(memo, position)];
    if (slot.position != position) return {};
    return {slot.chain, int64_t{slot.sample} * memo.stride};
}

void AddSample(BufferWalkMemo& memo, int32_t chain, int64_t position) {
    if (2 * (memo.sampleCount + 1) > memo.table.size()) {
        std::vector<WalkSampleSlot> old(std::max<size_t>(1024, 2 * memo.table.size()));
        old.swap(memo.table);
        for (const WalkSampleSlot& slot : old) {
            if (slot.position >= 0) memo.table[SlotOf(memo, slot.position)] = slot;
        }
    }
    std::vector<int64_t>& samples = memo.chains[static_cast<size_t>(chain)].samples;
    memo.table[SlotOf(memo, position)] = {position, chain, static_cast<int32_t>(samples.size())};
    samples.push_back(position);
    ++memo.sampleCount;
}

// Past this, walks record nothing more. A chain costs about as much as a
// dozen samples.
bool MemoFull(const BufferWalkMemo& memo) {
    return memo.sampleCount >= memo.maxSamples || memo.chains.size() >= memo.maxSamples / 16;
}

WalkChain& ChainAt(BufferWalkMemo& memo, int32_t chain) {
    return memo.chains[static_cast<size_t>(chain)];
}

// Follows the chains from `at` to the chain whose own positions hold it, or
// to the end of the open chain it lies beyond. The root shortcut makes a
// long walk one hop however many chains lead into each other.
ChainPoint Locate(BufferWalkMemo& memo, ChainPoint at) {
    for (;;) {
        const WalkChain& chain = ChainAt(memo, at.chain);
        if (chain.cycleLength > 0 && at.index >= chain.cycleStart) {
            at.index = chain.cycleStart + (at.index - chain.cycleStart) % chain.cycleLength;
        }
        if (at.index < chain.own || chain.next < 0) return at;
        const int64_t beyond = at.index - chain.own;
        at = beyond >= chain.rootDistance
                 ? ChainPoint{chain.root, chain.rootIndex + beyond - chain.rootDistance}
                 : ChainPoint{chain.next, chain.nextIndex + beyond};
    }
}

// Whether the walk from `from` reaches chain `target`; if so, the index at
// which it enters it and the steps it takes to get there. Only an open chain
// (the one being extended) is asked for, and a chain leading into an open
// one has it as its root, so following roots is enough.
bool RouteEnters(BufferWalkMemo& memo, ChainPoint from, int32_t target, int64_t& index,
                 int64_t& distance) {
    distance = 0;
    for (;;) {
        if (from.chain == target) {
            index = from.index;
            return true;
        }
        const WalkChain& chain = ChainAt(memo, from.chain);
        if (chain.next < 0 || chain.cycleLength > 0) return false;
        distance += chain.own - from.index + chain.rootDistance;
        from = {chain.root, chain.rootIndex};
    }
}

// Ends the recording of `chain`, whose x_index is the sample `hit`.
void CloseChain(BufferWalkMemo& memo, int32_t chainIndex, int64_t index, ChainPoint hit) {
    WalkChain& chain = ChainAt(memo, chainIndex);
    chain.own = index;
    if (hit.chain == chainIndex) {
        chain.cycleStart = hit.index;
        chain.cycleLength = index - hit.index;
        return;
    }
    chain.next = hit.chain;
    chain.nextIndex = hit.index;
    int64_t entry = 0;
    int64_t distance = 0;
    if (RouteEnters(memo, hit, chainIndex, entry, distance)) {
        // The chains ahead lead back into this one: a loop through them.
        chain.cycleStart = entry;
        chain.cycleLength = index + distance - entry;
        chain.root = chainIndex;
        chain.rootIndex = entry;
        chain.rootDistance = distance;
        return;
    }
    const WalkChain& ahead = ChainAt(memo, hit.chain);
    if (ahead.next < 0 || ahead.cycleLength > 0) {
        chain.root = hit.chain;
        chain.rootIndex = hit.index;
        chain.rootDistance = 0;
    } else {
        chain.root = ahead.root;
        chain.rootIndex = ahead.rootIndex;
        chain.rootDistance = ahead.own - hit.index + ahead.rootDistance;
    }
}

void EndOpenChain(BufferWalkMemo& memo, int32_t chain, int64_t own, int64_t last) {
    ChainAt(memo, chain).own = own;
    ChainAt(memo, chain).last = last;
}

}  // namespace

int64_t WalkBuffersWithMemo(InputStream& stream, int64_t count, BufferWalkMemo& memo) {
    int64_t remaining = count;
    int64_t steps = 0;
    int32_t chain = -1;  // the chain being recorded: x_index is the position
    int64_t index = 0;
    int64_t previous = 0;
    for (;;) {
        const int64_t position = stream.position;
        const ChainPoint hit = FindSample(memo, position);
        const bool known = hit.chain >= 0;
        if (known && !(hit.chain == chain && hit.index == index)) {
            ChainPoint at{hit.chain, hit.index + remaining};
            if (chain >= 0) {
                CloseChain(memo, chain, index, hit);
                at = {chain, index + remaining};
            }
            at = Locate(memo, at);
            const WalkChain& found = ChainAt(memo, at.chain);
            if (at.index < found.own) {
                stream.position = found.samples[static_cast<size_t>(at.index / memo.stride)];
                for (int64_t s = at.index % memo.stride; s > 0; --s, ++steps) {
                    IgnoreWaveformData(stream);
                }
                return steps;
            }
            // Beyond what the walks have seen so far: go on from the end of
            // that chain, extending it.
            chain = at.chain;
            index = found.own - 1;
            remaining = at.index - index;
            stream.position = found.last;
            continue;
        }
        // Walks are recorded from their stride-th step on: shorter ones cost
        // no more than a jump would.
        if (chain < 0 && steps >= memo.stride) {
            if (MemoFull(memo)) {
                return steps + IgnoreWaveformBuffers(stream, static_cast<int32_t>(remaining));
            }
            chain = static_cast<int32_t>(memo.chains.size());
            memo.chains.emplace_back();
            index = 0;
            AddSample(memo, chain, position);
        } else if (chain >= 0 && !known && index % memo.stride == 0) {
            if (MemoFull(memo)) {
                EndOpenChain(memo, chain, index, previous);
                return steps + IgnoreWaveformBuffers(stream, static_cast<int32_t>(remaining));
            }
            AddSample(memo, chain, position);
        }
        if (remaining == 0) {
            if (chain >= 0) EndOpenChain(memo, chain, index + 1, position);
            return steps;
        }
        previous = position;
        IgnoreWaveformData(stream);
        ++steps;
        --remaining;
        ++index;
    }
}

}  // namespace quillwave
