#include "export_output/chunk_prefetch.h"

#include <system_error>
#include <utility>

namespace quillwave {

ChunkPrefetcher::ChunkPrefetcher(size_t count, size_t chunkBytes, LoadFunction load)
    : count_(count), load_(std::move(load)) {
    for (Slot& slot : slots_) {
        slot.bytes = std::make_unique_for_overwrite<unsigned char[]>(chunkBytes);
    }
    // The system may refuse a thread (a process or memory limit), told only
    // by an exception: each chunk is then loaded when it is taken.
    try {
        thread_ = std::thread(&ChunkPrefetcher::LoadAhead, this);
    } catch (const std::system_error&) {
    }
}

ChunkPrefetcher::~ChunkPrefetcher() {
    if (!thread_.joinable()) return;
    {
        const std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ChunkPrefetcher::LoadAhead() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock,
                      [&] { return quit_ || (nextLoad_ < count_ && nextLoad_ < inUse_ + kSlots); });
        if (quit_) return;
        const size_t index = nextLoad_;
        const size_t restarts = restarts_;
        // Within kSlots of the chunk in use, so never its slot; emptied
        // first, so that a Take looking for what it held waits instead.
        Slot& slot = slots_[index % kSlots];
        slot.index = kNone;
        lock.unlock();
        const bool loaded = load_(index, slot.bytes.get());
        lock.lock();
        if (restarts != restarts_) continue;  // loaded for an order given up
        slot.index = index;
        slot.loaded = loaded;
        ++nextLoad_;
        changed_.notify_all();
    }
}

const unsigned char* ChunkPrefetcher::Take(size_t index) {
    if (!thread_.joinable()) {
        Slot& slot = slots_[0];
        if (slot.index != index) {
            slot.loaded = load_(index, slot.bytes.get());
            slot.index = index;
        }
        return slot.loaded ? slot.bytes.get() : nullptr;
    }
    std::unique_lock lock(mutex_);
    Slot& slot = slots_[index % kSlots];
    if (slot.index != index && index != nextLoad_) {
        // Out of order: loading starts again from this chunk.
        ++restarts_;
        for (Slot& each : slots_) each.index = kNone;
        nextLoad_ = index;
    }
    inUse_ = index;
    changed_.notify_all();
    changed_.wait(lock, [&] { return slot.index == index; });
    return slot.loaded ? slot.bytes.get() : nullptr;
}

}  // namespace quillwave
