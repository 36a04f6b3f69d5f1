// Loads a known sequence of chunks ahead of their use, on a thread of its
// own, so that the thread that uses them (the sr writer's, which libzip
// keeps busy computing every entry's CRC-32) spends no time reading the
// capture or weaving columns.
//
// The chunks are numbered 0 .. count-1 and taken in that order; a chunk
// taken out of order (a reader that starts an entry over) restarts the
// loading there, so any order still gives the right bytes. While the
// prefetcher lives, only its thread calls `load`: whatever `load` touches
// (the capture's stream) must not be used by others until it is destroyed.
// Where no thread can be had, each chunk is loaded when it is taken.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace quillwave {

class ChunkPrefetcher {
  public:
    // Fills `out` (chunkBytes long) with chunk `index`; false when it could
    // not be loaded.
    using LoadFunction = std::function<bool(size_t index, unsigned char* out)>;

    ChunkPrefetcher(size_t count, size_t chunkBytes, LoadFunction load);
    ~ChunkPrefetcher();  // waits for a load under way
    ChunkPrefetcher(const ChunkPrefetcher&) = delete;
    ChunkPrefetcher& operator=(const ChunkPrefetcher&) = delete;

    // Chunk `index`'s bytes, valid until the next Take; null when its load
    // failed. Taking a chunk gives back the one taken before it.
    const unsigned char* Take(size_t index);

  private:
    static constexpr size_t kSlots = 3;  // one in use, two loading ahead
    static constexpr size_t kNone = static_cast<size_t>(-1);
    struct Slot {
        std::unique_ptr<unsigned char[]> bytes;
        size_t index = kNone;  // the chunk it holds
        bool loaded = false;
    };

    void LoadAhead();

    size_t count_;
    LoadFunction load_;
    Slot slots_[kSlots];
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t inUse_ = 0;     // the chunk last taken: loads stay within kSlots of it
    size_t nextLoad_ = 0;  // the chunk the thread loads next
    size_t restarts_ = 0;  // a load begun before the latest restart is dropped
    bool quit_ = false;
    std::thread thread_;  // not joinable: no thread could be had
};

}  // namespace quillwave
