#include "waveform_file/sample_chunk.h"

namespace quillwave {

SampleChunk MakeSampleChunk(std::span<const SampleBlock> blocks, size_t rows) {
    SampleChunk chunk;
    chunk.columns = std::min(blocks.size(), kMaxColumns);
    for (size_t c = 0; c < chunk.columns; ++c) {
        chunk.blocks[c] = blocks[c];
        chunk.storage[c] = std::make_unique_for_overwrite<unsigned char[]>(
            rows * static_cast<size_t>(blocks[c].sampleWidth));
        chunk.bytes[c] = chunk.storage[c].get();
    }
    return chunk;
}

bool LoadSampleChunk(InputStream& stream, SampleChunk& chunk, int64_t first, size_t count) {
    for (size_t c = 0; c < chunk.columns; ++c) {
        if (!LoadSamples(stream, chunk.blocks[c], first, count, chunk.storage[c].get())) return false;
    }
    return true;
}

}  // namespace quillwave
