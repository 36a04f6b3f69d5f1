// Every allocation the library makes may fail: each is made to fail in turn
// (this program replaces operator new), and each failure must come back as
// QUILLWAVE_E_NO_MEMORY with nothing leaked, never as an abort.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "quillwave/quillwave.h"
#include "test_support.h"
#include "waveform_writer/waveform_writer.h"

namespace {

// Allocations left before the one that fails; negative: none fails.
std::atomic<long> allocationsBeforeFailure{-1};

void* Allocate(std::size_t size) {
    if (allocationsBeforeFailure.load() >= 0 && allocationsBeforeFailure.fetch_sub(1) == 0) {
        throw std::bad_alloc();
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

}  // namespace

// Visible, so the shared library's allocations come here too.
#define REPLACEMENT __attribute__((visibility("default")))
REPLACEMENT void* operator new(std::size_t size) { return Allocate(size); }
REPLACEMENT void* operator new[](std::size_t size) { return Allocate(size); }
REPLACEMENT void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
REPLACEMENT void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
REPLACEMENT void operator delete(void* memory) noexcept { std::free(memory); }
REPLACEMENT void operator delete[](void* memory) noexcept { std::free(memory); }
REPLACEMENT void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
REPLACEMENT void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace quillwave::testing {
namespace {

using namespace writer;

TEST(LibraryMemory, EveryFailedAllocationWhileOpeningIsACode) {
    TempDir dir;
    Bytes file;
    AppendFileHeader(file, 4);
    AppendWaveformHeader(file, {.sampleCount = 2});
    AppendBuffer(file, AnalogBuffer(1, {1.0f, 2.0f}));
    AppendWaveformHeader(file, {.waveformType = 0, .bufferCount = 3});  // walked with a memo
    for (int i = 0; i < 3; ++i) AppendBuffer(file, AnalogBuffer(1, {}));
    AppendWaveformHeader(file, {.waveformType = 5, .sampleCount = 1});
    AppendBuffer(file, AnalogBuffer(1, {1.0f}));  // rejected: it has a reason sentence
    AppendWaveformHeader(file, {.waveformType = 6, .bufferCount = 2, .sampleCount = 1});
    AppendBuffer(file, LogicBuffer({1}));
    AppendBuffer(file, LogicBuffer({2}));
    const std::string path = dir.Path("c.bin");
    ASSERT_TRUE(WriteBytesToFile(path, file));
    int failures = 0;
    for (long n = 0;; ++n) {
        quillwave_capture* capture = nullptr;
        allocationsBeforeFailure = n;
        const int status = quillwave_open(path.c_str(), nullptr, &capture, nullptr);
        const bool injected = allocationsBeforeFailure.load() < 0;
        allocationsBeforeFailure = -1;
        if (!injected) {
            // Every allocation succeeded: this is the open that works.
            ASSERT_EQ(status, QUILLWAVE_OK);
            EXPECT_EQ(quillwave_waveform_count(capture), 4);
            quillwave_close(capture);
            break;
        }
        ASSERT_EQ(status, QUILLWAVE_E_NO_MEMORY) << "allocation " << n;
        EXPECT_EQ(capture, nullptr);
        ++failures;
    }
    EXPECT_GT(failures, 5) << "the open made fewer allocations than expected";
}

}  // namespace
}  // namespace quillwave::testing
