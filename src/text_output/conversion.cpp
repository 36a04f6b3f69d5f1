#include "text_output/conversion.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>

#include "text_output/number_format.h"
#include "waveform_file/buffer_readers.h"
#include "waveform_file/header_readers.h"
#include "waveform_file/little_endian.h"

namespace quillwave {
namespace {

// Samples are streamed through chunks of this many elements per buffer, so
// memory stays flat however large a waveform is.
constexpr size_t kChunkSamples = 16384;

// Longest line any writer produces: time, two fixed values and separators.
constexpr size_t kMaxLineLength = kMaxExponentLength + 2 * (2 + kMaxFixedLength) + 1;

size_t AppendSeparator(char* out) {
    out[0] = ',';
    out[1] = ' ';
    return 2;
}

// Writes one line per sample index. For every chunk of indices it loads the
// stored bytes of that chunk from each block, then asks `formatValues` to
// write the value part of each line (after "time, ") from those bytes.
// Lines are formatted straight into the sink's buffer, a batch at a time;
// the cursor lives in a local so the compiler need not reload it after
// every character stored.
template <size_t BlockCount, typename FormatValues>
bool WriteSampleLines(InputStream& stream, const WaveformHeader& header, TextSink& sink,
                      const std::array<SampleBlock, BlockCount>& blocks,
                      FormatValues formatValues) {
    const int64_t total = std::max(header.sampleCount, 0);
    if (total == 0) return true;
    const WaveformHeader timeBase = header;
    std::array<std::unique_ptr<unsigned char[]>, BlockCount> chunks;
    std::array<const unsigned char*, BlockCount> bytes{};
    for (size_t b = 0; b < BlockCount; ++b) {
        chunks[b] = std::make_unique_for_overwrite<unsigned char[]>(
            kChunkSamples * static_cast<size_t>(blocks[b].sampleWidth));
        bytes[b] = chunks[b].get();
    }
    const size_t linesPerBatch = std::max<size_t>(1, sink.capacity / kMaxLineLength);
    for (int64_t first = 0; first < total; first += static_cast<int64_t>(kChunkSamples)) {
        const auto count = static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(kChunkSamples), total - first));
        for (size_t b = 0; b < BlockCount; ++b) {
            // Fails only when the file shrank after its buffers were checked.
            if (!LoadSamples(stream, blocks[b], first, count, chunks[b].get())) return false;
        }
        for (size_t i = 0; i < count;) {
            const size_t batchEnd = std::min(count, i + linesPerBatch);
            char* const start = ReserveText(sink, (batchEnd - i) * kMaxLineLength);
            char* out = start;
            for (; i < batchEnd; ++i) {
                const auto index = static_cast<int32_t>(first + static_cast<int64_t>(i));
                out += FormatExponent(ComputeTimeFromIndex(index, timeBase), out);
                out += AppendSeparator(out);
                out += formatValues(bytes, i, out);
                *out++ = '\n';
            }
            CommitText(sink, static_cast<size_t>(out - start));
        }
    }
    return true;
}

}  // namespace

double ComputeTimeFromIndex(int32_t index, const WaveformHeader& header) {
    const double offset = static_cast<double>(index) * header.timeIncrement;
    return offset + header.timeOrigin;
}

bool OutputNormalData(InputStream& stream, const WaveformHeader& header, TextSink& sink) {
    const std::optional<SampleBlock> block = ReadAnalogWaveform(stream, header);
    if (!block) return false;
    return WriteSampleLines<1>(stream, header, sink, {*block},
                               [](const auto& bytes, size_t i, char* out) {
                                   return FormatFixed(LoadF32(bytes[0] + 4 * i), out);
                               });
}

bool OutputPeakDetectData(InputStream& stream, const WaveformHeader& header, TextSink& sink) {
    // The two columns are stored as data type 3 (first) and 2 (second), in
    // either order; the first buffer's type decides, the second is not checked.
    int16_t firstType = 0;
    const std::optional<SampleBlock> firstLoaded = ReadAnalogWaveform(stream, header, &firstType);
    if (firstType != 3 && firstType != 2) return false;
    const std::optional<SampleBlock> secondLoaded = ReadAnalogWaveform(stream, header);
    if (!secondLoaded) return false;
    const SampleBlock& firstColumn = firstType == 3 ? *firstLoaded : *secondLoaded;
    const SampleBlock& secondColumn = firstType == 3 ? *secondLoaded : *firstLoaded;
    return WriteSampleLines<2>(stream, header, sink, {firstColumn, secondColumn},
                               [](const auto& bytes, size_t i, char* out) {
                                   size_t length = FormatFixed(LoadF32(bytes[0] + 4 * i), out);
                                   length += AppendSeparator(out + length);
                                   return length +
                                          FormatFixed(LoadF32(bytes[1] + 4 * i), out + length);
                               });
}

bool OutputHistogramData(InputStream& stream, const WaveformHeader& header, TextSink& sink) {
    const std::optional<SampleBlock> block = ReadHistogramWaveform(stream, header);
    if (!block) return false;
    return WriteSampleLines<1>(stream, header, sink, {*block},
                               [](const auto& bytes, size_t i, char* out) {
                                   return FormatDecimal(LoadI32(bytes[0] + 4 * i), out);
                               });
}

bool OutputLogicData(InputStream& stream, const WaveformHeader& header, TextSink& sink) {
    if (header.bufferCount == 2) {
        // Both buffers are read even when the first is rejected, so the
        // stream always ends after the second.
        const std::optional<SampleBlock> low = ReadLogicWaveform(stream, header);
        const std::optional<SampleBlock> high = ReadLogicWaveform(stream, header);
        if (!low || !high) return false;
        return WriteSampleLines<2>(stream, header, sink, {*high, *low},
                                   [](const auto& bytes, size_t i, char* out) {
                                       const size_t length = FormatHex(bytes[0][i], out);
                                       return length + FormatHex(bytes[1][i], out + length);
                                   });
    }
    const std::optional<SampleBlock> block = ReadLogicWaveform(stream, header);
    if (!block) return false;
    return WriteSampleLines<1>(
        stream, header, sink, {*block},
        [](const auto& bytes, size_t i, char* out) { return FormatHex(bytes[0][i], out); });
}

bool OutputWaveform(InputStream& stream, TextSink& sink) {
    WaveformHeader header;
    if (!ReadWaveformHeader(stream, header)) return false;
    switch (header.waveformType) {
        case PB_NORMAL:
        case PB_AVERAGE:
            return OutputNormalData(stream, header, sink);
        case PB_PEAK_DETECT:
            return OutputPeakDetectData(stream, header, sink);
        case PB_HORZ_HISTOGRAM:
        case PB_VERT_HISTOGRAM:
            return OutputHistogramData(stream, header, sink);
        case PB_LOGIC:
            return OutputLogicData(stream, header, sink);
        default:
            IgnoreWaveformBuffers(stream, header.bufferCount);
            return false;
    }
}

}  // namespace quillwave
