#include "text_output/conversion.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>

#include "text_output/number_format.h"
#include "text_output/vector_fields.h"
#include "waveform_file/buffer_readers.h"
#include "waveform_file/little_endian.h"
#include "waveform_file/sample_chunk.h"

namespace quillwave {
namespace {

// Samples are streamed through chunks of this many elements per buffer, so
// memory stays flat however large a waveform is. One thread keeps a chunk's
// samples within the first-level cache (twice as many make logic
// conversions 5% slower); two threads sharing a waveform take chunks of up
// to kLongestChunkLines.
constexpr size_t kChunkSamples = 16384;

// Longest line any writer produces: time, two fixed values and separators.
constexpr size_t kMaxLineLength = kMaxExponentLength + 2 * (2 + kMaxFixedLength) + 1;

size_t AppendSeparator(char* out) {
    out[0] = ',';
    out[1] = ' ';
    return 2;
}

// Writes one line per sample index, a chunk of indices at a time: it loads
// the stored bytes of the chunk from each block, then formats the lines
// eight at a time: the times as two quads when the vector formatter takes
// them, and the values by `formatQuadValues` (given a quad), else each line
// by itself with `formatValues` writing the value part (after "time, ") from
// the bytes. Lines are formatted straight into a sink's buffer, a batch at a
// time; the cursor lives in a local so the compiler need not reload it after
// every character stored. Where the sink has a writer thread, chunks go
// through WriteChunksInOrder, which formats them on two threads.
// Stops at the first failure: a sink that cannot be written (a full disk, a
// closed pipe) is not fed any more lines, and a read that finds the file
// shorter than it was writes no invented sample.
template <size_t BlockCount, typename FormatValues, typename FormatQuadValues>
bool WriteSampleLines(InputStream& stream, const WaveformHeader& header, TextSink& sink,
                      const std::array<SampleBlock, BlockCount>& blocks, FormatValues formatValues,
                      FormatQuadValues formatQuadValues) {
    const int64_t total = std::max(header.sampleCount, 0);
    if (total == 0) return true;
    // The lines of `count` samples from index `first`, whose stored bytes
    // are at `bytes`, into `text`. Everything is a local copy, not a
    // reference into what the other thread's calls can reach: the compiler
    // may then keep it in registers across the character stores, which
    // could otherwise alias it.
    const auto formatLines = [&](const std::array<const unsigned char*, BlockCount> bytes,
                                 const int64_t first, const size_t count, TextSink& text) {
        const WaveformHeader timeBase = header;
        const auto writeLine = [&](int64_t index, size_t i, char* out) {
            out += FormatExponent(ComputeTimeFromIndex(static_cast<int32_t>(index), timeBase), out);
            out += AppendSeparator(out);
            out += formatValues(bytes, i, out);
            *out++ = '\n';
            return out;
        };
        // Whole pairs of quads where the sink has room for them (any sink but
        // a tiny one).
        const size_t linesPerBatch = std::max<size_t>(1, text.capacity / kMaxLineLength / 8 * 8);
        for (size_t i = 0; i < count;) {
            const size_t batchEnd = std::min(count, i + linesPerBatch);
            char* const start = ReserveText(text, (batchEnd - i) * kMaxLineLength);
            char* out = start;
            for (; i + 8 <= batchEnd; i += 8) {
                const int64_t index = first + static_cast<int64_t>(i);
                TimeQuadPair times;
                if (FormatTimeQuads(static_cast<int32_t>(index), timeBase.timeIncrement,
                                    timeBase.timeOrigin, times)) {
                    out = formatQuadValues(bytes, i, times.quads[0], out);
                    out = formatQuadValues(bytes, i + 4, times.quads[1], out);
                } else {
                    for (size_t j = 0; j < 8; ++j) {
                        out = writeLine(index + static_cast<int64_t>(j), i + j, out);
                    }
                }
            }
            for (; i < batchEnd; ++i) out = writeLine(first + static_cast<int64_t>(i), i, out);
            CommitText(text, static_cast<size_t>(out - start));
        }
    };

    // Each chunk's bytes, as a local array the formatter copies.
    const auto bytesOf = [](const SampleChunk& chunk) {
        std::array<const unsigned char*, BlockCount> bytes{};
        std::copy_n(chunk.bytes.begin(), BlockCount, bytes.begin());
        return bytes;
    };
    // One thread: every chunk formatted straight into the sink.
    const auto writeAlone = [&] {
        SampleChunk chunk = MakeSampleChunk(blocks, kChunkSamples);
        for (int64_t first = 0; first < total; first += static_cast<int64_t>(kChunkSamples)) {
            const auto count = static_cast<size_t>(
                std::min<int64_t>(static_cast<int64_t>(kChunkSamples), total - first));
            if (!LoadSampleChunk(stream, chunk, first, count)) return false;
            if (sink.error != 0) return false;
            formatLines(bytesOf(chunk), first, count, sink);
        }
        return sink.error == 0;
    };
    if (sink.writer == nullptr) return writeAlone();

    // Two threads, each with the samples of its own chunk, made before the
    // second thread is asked to help: where memory is short, one thread
    // formats on with the smaller chunks above.
    const ChunkPlan plan = PlanChunks(sink, total);
    std::array<SampleChunk, 2> workers;
    try {
        workers = {MakeSampleChunk(blocks, plan.chunkLines),
                   MakeSampleChunk(blocks, plan.chunkLines)};
    } catch (const std::bad_alloc&) {
        return writeAlone();
    }
    const auto load = [&](int64_t first, size_t count, int worker) {
        return LoadSampleChunk(stream, workers[static_cast<size_t>(worker)], first, count);
    };
    const auto format = [&](int64_t first, size_t count, int worker, TextSink& text) {
        formatLines(bytesOf(workers[static_cast<size_t>(worker)]), first, count, text);
    };
    return WriteChunksInOrder(sink, plan, plan.chunkLines * kMaxLineLength, load, format);
}

// Four lines of a quad whose values each `formatValue` writes by itself.
template <typename Bytes, typename FormatValue>
char* WriteQuadLines(const Bytes& bytes, size_t i, const TimeQuad& times, char* out,
                     FormatValue formatValue) {
    for (size_t j = 0; j < 4; ++j) {
        out = WriteTimeField(times, j, out);
        out += formatValue(bytes, i + j, out);
        *out++ = '\n';
    }
    return out;
}

// Four lines of a one-column quad whose values the vector formatter
// `FormatQuad` makes together (or, when it declines, `formatValue` one by
// one), each written by `WriteField`. Forced inline: left to itself the
// compiler keeps it out of line, with a stack frame per quad.
template <typename ValueQuad, bool (*FormatQuad)(const unsigned char*, ValueQuad&),
          char* (*WriteField)(const ValueQuad&, size_t, char*), typename Bytes,
          typename FormatValue>
[[gnu::always_inline]] inline char* WriteOneColumnQuad(const Bytes& bytes, size_t i,
                                                       const TimeQuad& times, char* out,
                                                       FormatValue formatValue) {
    ValueQuad values;
    if (!FormatQuad(bytes[0] + 4 * i, values)) {
        return WriteQuadLines(bytes, i, times, out, formatValue);
    }
    for (size_t j = 0; j < 4; ++j) {
        out = WriteField(values, j, WriteTimeField(times, j, out));
        *out++ = '\n';
    }
    return out;
}

size_t FormatFixedAt(const unsigned char* column, size_t i, char* out) {
    return FormatFixed(LoadF32(column + 4 * i), out);
}

}  // namespace

bool OutputNormalData(InputStream& stream, const WaveformSamples& samples, TextSink& sink) {
    const auto formatValue = [](const auto& bytes, size_t i, char* out) {
        return FormatFixedAt(bytes[0], i, out);
    };
    return WriteSampleLines<1>(
        stream, samples.header, sink, {samples.columns[0].block}, formatValue,
        [&](const auto& bytes, size_t i, const TimeQuad& times, char* out) {
            return WriteOneColumnQuad<FixedQuad, FormatFixedQuad, WriteFixedField>(
                bytes, i, times, out, formatValue);
        });
}

bool OutputPeakDetectData(InputStream& stream, const WaveformSamples& samples, TextSink& sink) {
    const auto formatValues = [](const auto& bytes, size_t i, char* out) {
        size_t length = FormatFixedAt(bytes[0], i, out);
        length += AppendSeparator(out + length);
        return length + FormatFixedAt(bytes[1], i, out + length);
    };
    return WriteSampleLines<2>(
        stream, samples.header, sink, {samples.columns[0].block, samples.columns[1].block},
        formatValues, [&](const auto& bytes, size_t i, const TimeQuad& times, char* out) {
            FixedQuad firstValues;
            FixedQuad secondValues;
            if (!FormatFixedQuad(bytes[0] + 4 * i, firstValues) ||
                !FormatFixedQuad(bytes[1] + 4 * i, secondValues)) {
                return WriteQuadLines(bytes, i, times, out, formatValues);
            }
            for (size_t j = 0; j < 4; ++j) {
                out = WriteFixedField(firstValues, j, WriteTimeField(times, j, out));
                out += AppendSeparator(out);
                out = WriteFixedField(secondValues, j, out);
                *out++ = '\n';
            }
            return out;
        });
}

bool OutputHistogramData(InputStream& stream, const WaveformSamples& samples, TextSink& sink) {
    const auto formatValue = [](const auto& bytes, size_t i, char* out) {
        return FormatDecimal(LoadI32(bytes[0] + 4 * i), out);
    };
    return WriteSampleLines<1>(
        stream, samples.header, sink, {samples.columns[0].block}, formatValue,
        [&](const auto& bytes, size_t i, const TimeQuad& times, char* out) {
            return WriteOneColumnQuad<DecimalQuad, FormatDecimalQuad, WriteDecimalField>(
                bytes, i, times, out, formatValue);
        });
}

bool OutputLogicData(InputStream& stream, const WaveformSamples& samples, TextSink& sink) {
    if (samples.columnCount == 2) {
        // "%x%x": the second buffer's byte, then the first's.
        const auto formatValue = [](const auto& bytes, size_t i, char* out) {
            const size_t length = FormatHexByte(bytes[0][i], out);
            return length + FormatHexByte(bytes[1][i], out + length);
        };
        return WriteSampleLines<2>(
            stream, samples.header, sink, {samples.columns[1].block, samples.columns[0].block},
            formatValue, [&](const auto& bytes, size_t i, const TimeQuad& times, char* out) {
                return WriteQuadLines(bytes, i, times, out, formatValue);
            });
    }
    const auto formatValue = [](const auto& bytes, size_t i, char* out) {
        return FormatHexByte(bytes[0][i], out);
    };
    return WriteSampleLines<1>(stream, samples.header, sink, {samples.columns[0].block},
                               formatValue,
                               [&](const auto& bytes, size_t i, const TimeQuad& times, char* out) {
                                   return WriteQuadLines(bytes, i, times, out, formatValue);
                               });
}

bool OutputWaveform(InputStream& stream, TextSink& sink, WaveformWalkMemo* memo) {
    return WriteWaveformLines(stream, ReadWaveformSamples(stream, memo), sink);
}

bool WriteWaveformLines(InputStream& stream, const WaveformSamples& samples, TextSink& sink) {
    if (!YieldsSamples(samples)) return false;
    switch (samples.header.waveformType) {
        case PB_NORMAL:
        case PB_AVERAGE:
            return OutputNormalData(stream, samples, sink);
        case PB_PEAK_DETECT:
            return OutputPeakDetectData(stream, samples, sink);
        case PB_HORZ_HISTOGRAM:
        case PB_VERT_HISTOGRAM:
            return OutputHistogramData(stream, samples, sink);
        default:
            return OutputLogicData(stream, samples, sink);
    }
}

}  // namespace quillwave
