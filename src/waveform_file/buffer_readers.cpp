#include "waveform_file/buffer_readers.h"

#include "waveform_file/header_readers.h"

namespace quillwave {
namespace {

struct BufferKind {
    int16_t sampleWidth;
    int16_t firstDataType;  // accepted data types form the range first..last
    int16_t lastDataType;
};

constexpr BufferKind kAnalog{4, 1, 3};
constexpr BufferKind kHistogram{4, 5, 5};
constexpr BufferKind kLogic{1, 6, 6};

bool Accepts(const BufferKind& kind, const WaveformDataHeader& buffer, int32_t sampleCount) {
    if (buffer.sampleWidth != kind.sampleWidth) return false;
    if (buffer.dataType < kind.firstDataType || buffer.dataType > kind.lastDataType) return false;
    // Only divided once the width is known to be the reader's (never 0).
    return buffer.dataSize / buffer.sampleWidth == sampleCount;
}

std::optional<SampleBlock> ReadBuffer(InputStream& stream, const WaveformHeader& waveform,
                                      const BufferKind& kind, int16_t* dataTypeReport) {
    if (dataTypeReport != nullptr) *dataTypeReport = 0;
    WaveformDataHeader buffer;
    if (!ReadWaveformDataHeader(stream, buffer)) return std::nullopt;
    // A negative dataSize can be "accepted" alongside a negative sampleCount,
    // but holds no samples; it is stepped over (backwards) like a rejection.
    if (!Accepts(kind, buffer, waveform.sampleCount) || buffer.dataSize < 0) {
        SeekRelative(stream, buffer.dataSize);
        return std::nullopt;
    }
    if (buffer.dataSize > BytesRemaining(stream)) {
        // The file ends inside the samples: none of them can be trusted.
        SeekToEnd(stream);
        return std::nullopt;
    }
    const SampleBlock block{stream.position, waveform.sampleCount, kind.sampleWidth};
    SeekRelative(stream, buffer.dataSize);
    if (dataTypeReport != nullptr) *dataTypeReport = buffer.dataType;
    return block;
}

}  // namespace

std::optional<SampleBlock> ReadAnalogWaveform(InputStream& stream, const WaveformHeader& waveform,
                                              int16_t* dataTypeReport) {
    return ReadBuffer(stream, waveform, kAnalog, dataTypeReport);
}

std::optional<SampleBlock> ReadHistogramWaveform(InputStream& stream,
                                                 const WaveformHeader& waveform) {
    return ReadBuffer(stream, waveform, kHistogram, nullptr);
}

std::optional<SampleBlock> ReadLogicWaveform(InputStream& stream, const WaveformHeader& waveform) {
    return ReadBuffer(stream, waveform, kLogic, nullptr);
}

bool LoadSamples(InputStream& stream, const SampleBlock& block, int64_t first, size_t count,
                 unsigned char* destination) {
    const size_t bytes = count * static_cast<size_t>(block.sampleWidth);
    const int64_t offset = block.fileOffset + first * block.sampleWidth;
    return ReadBytesAt(stream, offset, destination, bytes) == bytes;
}

}  // namespace quillwave
