// The samples of a chunk of rows, loaded from the file column by column:
// what every writer that streams a waveform's samples (quillwave's lines,
// the export's CSV and NPY files) loads them into, so that memory stays
// flat whatever the waveform's size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "waveform_file/buffer_readers.h"
#include "waveform_file/input_stream.h"
#include "waveform_file/waveform_samples.h"

namespace quillwave {

struct SampleChunk {
    size_t columns = 0;
    std::array<SampleBlock, kMaxColumns> blocks{};
    std::array<std::unique_ptr<unsigned char[]>, kMaxColumns> storage;
    // Column c's stored bytes of the rows loaded, from the chunk's first row.
    std::array<const unsigned char*, kMaxColumns> bytes{};
};

// Room for `rows` rows of each block (at most kMaxColumns of them), in the
// order given.
SampleChunk MakeSampleChunk(std::span<const SampleBlock> blocks, size_t rows);

// Loads rows first .. first + count - 1 of every column (count no more than
// the room). False when the file no longer holds them (it shrank after the
// buffers were checked); the chunk's bytes are then not to be used.
bool LoadSampleChunk(InputStream& stream, SampleChunk& chunk, int64_t first, size_t count);

}  // namespace quillwave
