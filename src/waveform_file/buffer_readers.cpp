#include "waveform_file/buffer_readers.h"

#include "waveform_file/header_readers.h"

namespace quillwave {
namespace {

struct BufferKind {
    int16_t sampleWidth;
    int16_t firstDataType;  // accepted data types form the range first..last
    int16_t lastDataType;
};

constexpr BufferKind KindOf(SampleKind kind) {
    switch (kind) {
        case SampleKind::Float32:
            return {4, 1, 3};
        case SampleKind::Int32:
            return {4, 5, 5};
        case SampleKind::Byte:
            break;
    }
    return {1, 6, 6};
}

BufferProblem Judge(const BufferKind& kind, const WaveformDataHeader& buffer, int32_t sampleCount) {
    if (buffer.sampleWidth != kind.sampleWidth) return BufferProblem::WrongWidth;
    if (buffer.dataType < kind.firstDataType || buffer.dataType > kind.lastDataType) {
        return BufferProblem::WrongDataType;
    }
    // A negative dataSize holds no samples (even where it matches a negative
    // sampleCount); it is stepped over (backwards) like any rejection.
    if (buffer.dataSize < 0) return BufferProblem::NegativeSize;
    // Only divided once the width is known to be the reader's (never 0).
    if (buffer.dataSize / buffer.sampleWidth != sampleCount) return BufferProblem::WrongCount;
    return BufferProblem::None;
}

}  // namespace

int16_t SampleWidthOf(SampleKind kind) { return KindOf(kind).sampleWidth; }

std::optional<SampleBlock> ReadSampleBuffer(InputStream& stream, const WaveformHeader& waveform,
                                            SampleKind kind, BufferReport* report) {
    BufferReport found{.wanted = kind};
    std::optional<SampleBlock> block;
    if (!ReadWaveformDataHeader(stream, found.header)) {
        found.problem = BufferProblem::HeaderUnreadable;
    } else {
        found.headerRead = true;
        const int32_t dataSize = found.header.dataSize;
        found.problem = Judge(KindOf(kind), found.header, waveform.sampleCount);
        if (found.problem == BufferProblem::None && !FileHolds(stream, stream.position, dataSize)) {
            // The file ends inside the samples: none of them can be trusted.
            found.problem = BufferProblem::Truncated;
            found.bytesPresent = BytesRemaining(stream);
            SeekToEnd(stream);
        } else {
            if (found.problem == BufferProblem::None) {
                block = SampleBlock{stream.position, waveform.sampleCount, SampleWidthOf(kind)};
            }
            SeekRelative(stream, dataSize);
        }
    }
    if (report != nullptr) *report = found;
    return block;
}

std::optional<SampleBlock> ReadAnalogWaveform(InputStream& stream, const WaveformHeader& waveform,
                                              int16_t* dataTypeReport) {
    BufferReport report;
    std::optional<SampleBlock> block =
        ReadSampleBuffer(stream, waveform, SampleKind::Float32, &report);
    if (dataTypeReport != nullptr) *dataTypeReport = block ? report.header.dataType : int16_t{0};
    return block;
}

std::optional<SampleBlock> ReadHistogramWaveform(InputStream& stream,
                                                 const WaveformHeader& waveform) {
    return ReadSampleBuffer(stream, waveform, SampleKind::Int32);
}

std::optional<SampleBlock> ReadLogicWaveform(InputStream& stream, const WaveformHeader& waveform) {
    return ReadSampleBuffer(stream, waveform, SampleKind::Byte);
}

bool LoadSamples(InputStream& stream, const SampleBlock& block, int64_t first, size_t count,
                 unsigned char* destination) {
    const size_t bytes = count * static_cast<size_t>(block.sampleWidth);
    const int64_t offset = block.fileOffset + first * block.sampleWidth;
    return ReadBytesAt(stream, offset, destination, bytes) == bytes;
}

}  // namespace quillwave
