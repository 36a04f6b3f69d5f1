#include "export_output/sample_files.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <span>

#include "export_output/shortest_number.h"
#include "waveform_file/little_endian.h"
#include "waveform_file/sample_chunk.h"

namespace quillwave {
namespace {

// Samples are loaded in chunks of this many indices per column (by one
// thread; two threads sharing a CSV file take chunks of up to
// kLongestChunkLines).
constexpr size_t kChunkSamples = 16384;

constexpr size_t kMaxValueLength =
    std::max({kMaxShortestFloatLength, kMaxInt32Length, kMaxByteLength});
constexpr size_t kMaxCsvLineLength =
    kMaxShortestDoubleLength + kMaxColumns * (1 + kMaxValueLength) + 1;

// NumPy's own layout: the header is padded so the data starts at a multiple
// of this, and leaves room for the length of the first axis to grow to this
// many digits (numpy.save does both; matching it keeps the files identical).
constexpr size_t kNpyAlignment = 64;
constexpr size_t kNpyGrowthDigits = 21;
constexpr size_t kNpyPrefixLength = 10;  // magic (6), version (2), header length (2)

// A chunk of the waveform's columns as loaded, with what formatting them
// needs of each column.
struct Chunks {
    SampleChunk loaded;
    std::array<SampleKind, kMaxColumns> kind{};
    std::array<size_t, kMaxColumns> width{};
    size_t count = 0;
};

Chunks MakeChunks(const WaveformSamples& samples, size_t chunkSamples) {
    Chunks chunks;
    chunks.count = samples.columnCount;
    std::array<SampleBlock, kMaxColumns> blocks{};
    for (size_t c = 0; c < chunks.count; ++c) {
        blocks[c] = samples.columns[c].block;
        chunks.width[c] = static_cast<size_t>(blocks[c].sampleWidth);
        chunks.kind[c] = samples.columns[c].kind;
    }
    chunks.loaded = MakeSampleChunk(std::span(blocks.data(), chunks.count), chunkSamples);
    return chunks;
}

size_t FormatSample(SampleKind kind, const unsigned char* column, size_t i, char* out) {
    switch (kind) {
        case SampleKind::Float32:
            return FormatShortestFloat(LoadF32(column + 4 * i), out);
        case SampleKind::Int32:
            return FormatInt32(LoadI32(column + 4 * i), out);
        case SampleKind::Byte:
            return FormatByte(column[i], out);
    }
    return 0;
}

void StoreF64(double value, unsigned char* out) { StoreLE64(std::bit_cast<uint64_t>(value), out); }

// One stored sample into an NPY record: the widths are the kinds' (4 or 1),
// copied with a fixed size so no copy becomes a call.
void CopySample(const unsigned char* column, size_t width, size_t i, unsigned char* out) {
    if (width == 4) {
        std::memcpy(out, column + 4 * i, 4);
    } else {
        *out = column[i];
    }
}

// Calls `writeRows(chunks, first, count)` for each chunk of indices, with
// the chunk loaded. False when a chunk cannot be loaded or a write to `out`
// failed (nothing more is formatted then).
template <typename WriteRows>
bool ForEachChunk(InputStream& stream, const WaveformSamples& samples, const TextSink& out,
                  const std::atomic<bool>* stop, WriteRows writeRows) {
    const int64_t total = RowCount(samples);
    Chunks chunks = MakeChunks(samples, kChunkSamples);
    for (int64_t first = 0; first < total; first += static_cast<int64_t>(kChunkSamples)) {
        const auto count = static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(kChunkSamples), total - first));
        if (out.error != 0 || Stopped(stop) ||
            !LoadSampleChunk(stream, chunks.loaded, first, count)) {
            return false;
        }
        writeRows(chunks, first, count);
    }
    return out.error == 0;
}

// Formats the CSV lines of `count` loaded indices from `first` on.
void FormatCsvLines(const Chunks& chunks, int64_t first, size_t count,
                    const WaveformHeader& timeBase, const TimeGrid& grid, TextSink& out) {
    // Lines are formatted straight into the sink's buffer, a batch at a time.
    const size_t linesPerBatch = out.capacity > kNumberRoom + kMaxCsvLineLength
                                     ? (out.capacity - kNumberRoom) / kMaxCsvLineLength
                                     : 1;
    for (size_t i = 0; i < count;) {
        const size_t batchEnd = std::min(count, i + linesPerBatch);
        // Room for the lines and for the scratch the last number may write.
        char* const start = ReserveText(out, (batchEnd - i) * kMaxCsvLineLength + kNumberRoom);
        char* text = start;
        for (; i < batchEnd; ++i) {
            const auto index = static_cast<int32_t>(first + static_cast<int64_t>(i));
            text += FormatTimeOnGrid(ComputeTimeFromIndex(index, timeBase), index, grid, text);
            for (size_t c = 0; c < chunks.count; ++c) {
                *text++ = ',';
                text += FormatSample(chunks.kind[c], chunks.loaded.bytes[c], i, text);
            }
            *text++ = '\n';
        }
        CommitText(out, static_cast<size_t>(text - start));
    }
}

bool WriteCsv(InputStream& stream, const WaveformSamples& samples, TextSink& out,
              bool shareFormatting, const std::atomic<bool>* stop) {
    WriteText(out, CsvHeaderLine(samples));
    const WaveformHeader timeBase = samples.header;
    const TimeGrid grid = MakeTimeGrid(timeBase.timeIncrement, timeBase.timeOrigin);
    if (!shareFormatting || out.writer == nullptr) {
        return ForEachChunk(stream, samples, out, stop,
                            [&](const Chunks& chunks, int64_t first, size_t count) {
                                FormatCsvLines(chunks, first, count, timeBase, grid, out);
                            });
    }
    // Two threads, each with the samples of its own chunk.
    const ChunkPlan plan = PlanChunks(out, RowCount(samples));
    std::array<Chunks, 2> workers{MakeChunks(samples, plan.chunkLines),
                                  MakeChunks(samples, plan.chunkLines)};
    const auto load = [&](int64_t first, size_t count, int worker) {
        return !Stopped(stop) &&
               LoadSampleChunk(stream, workers[static_cast<size_t>(worker)].loaded, first, count);
    };
    const auto format = [&](int64_t first, size_t count, int worker, TextSink& text) {
        FormatCsvLines(workers[static_cast<size_t>(worker)], first, count, timeBase, grid, text);
    };
    return WriteChunksInOrder(out, plan, plan.chunkLines * kMaxCsvLineLength + kNumberRoom, load,
                              format);
}

bool WriteNpy(InputStream& stream, const WaveformSamples& samples, TextSink& out,
              const std::atomic<bool>* stop) {
    WriteText(out, NpyHeader(samples));
    const WaveformHeader timeBase = samples.header;
    const size_t rowSize = 8 + SampleBytesPerRow(samples);
    const size_t rowsPerBatch = std::max<size_t>(1, out.capacity / rowSize);
    return ForEachChunk(
        stream, samples, out, stop, [&](const Chunks& chunks, int64_t first, size_t count) {
            for (size_t i = 0; i < count;) {
                const size_t batchEnd = std::min(count, i + rowsPerBatch);
                auto* const start =
                    reinterpret_cast<unsigned char*>(ReserveText(out, (batchEnd - i) * rowSize));
                unsigned char* row = start;
                for (; i < batchEnd; ++i) {
                    const auto index = static_cast<int32_t>(first + static_cast<int64_t>(i));
                    StoreF64(ComputeTimeFromIndex(index, timeBase), row);
                    row += 8;
                    // The stored bytes are little-endian already, as NPY wants them.
                    for (size_t c = 0; c < chunks.count; ++c) {
                        CopySample(chunks.loaded.bytes[c], chunks.width[c], i, row);
                        row += chunks.width[c];
                    }
                }
                CommitText(out, static_cast<size_t>(row - start));
            }
        });
}

}  // namespace

const char* FormatExtension(ExportFormat format) {
    switch (format) {
        case ExportFormat::Csv:
            return "csv";
        case ExportFormat::Npy:
            return "npy";
        case ExportFormat::Sigrok:
            return "sr";
        case ExportFormat::Wav:
            return "wav";
        case ExportFormat::Mat:
            return "mat";
    }
    return "csv";
}

size_t SampleBytesPerRow(const WaveformSamples& samples) {
    size_t bytes = 0;
    for (size_t c = 0; c < samples.columnCount; ++c) {
        bytes += static_cast<size_t>(samples.columns[c].block.sampleWidth);
    }
    return bytes;
}

int32_t RowCount(const WaveformSamples& samples) {
    if (samples.columnCount == 0) return 0;
    int32_t rows = samples.columns[0].block.sampleCount;
    for (size_t c = 1; c < samples.columnCount; ++c) {
        rows = std::min(rows, samples.columns[c].block.sampleCount);
    }
    return std::max(rows, 0);
}

const char* ColumnName(const WaveformSamples& samples, size_t column) {
    if (column == 0) return "time";
    const SampleKind kind = samples.columns[column - 1].kind;
    size_t sameKind = 0;
    size_t ordinal = 0;  // 1-based among the columns of its kind
    for (size_t c = 0; c < samples.columnCount; ++c) {
        if (samples.columns[c].kind != kind) continue;
        ++sameKind;
        if (c == column - 1) ordinal = sameKind;
    }
    static_assert(kMaxColumns == 2, "names for two columns of a kind");
    switch (kind) {
        case SampleKind::Float32:
            return sameKind == 1 ? "value" : ordinal == 1 ? "value1" : "value2";
        case SampleKind::Int32:
            return sameKind == 1 ? "count" : ordinal == 1 ? "count1" : "count2";
        case SampleKind::Byte:  // logic bytes are always numbered
            return ordinal == 1 ? "byte1" : "byte2";
    }
    return "";
}

const char* ColumnNumpyType(const WaveformSamples& samples, size_t column) {
    if (column == 0) return "<f8";
    switch (samples.columns[column - 1].kind) {
        case SampleKind::Float32:
            return "<f4";
        case SampleKind::Int32:
            return "<i4";
        case SampleKind::Byte:
            return "|u1";
    }
    return "";
}

std::string CsvHeaderLine(const WaveformSamples& samples) {
    std::string line = ColumnName(samples, 0);
    for (size_t c = 1; c <= samples.columnCount; ++c) {
        line += ',';
        line += ColumnName(samples, c);
    }
    line += '\n';
    return line;
}

std::string NpyHeader(const WaveformSamples& samples) {
    // The dictionary as Python's repr writes it, keys in sorted order.
    std::string dictionary = "{'descr': [";
    for (size_t c = 0; c <= samples.columnCount; ++c) {
        if (c > 0) dictionary += ", ";
        dictionary += "('";
        dictionary += ColumnName(samples, c);
        dictionary += "', '";
        dictionary += ColumnNumpyType(samples, c);
        dictionary += "')";
    }
    const std::string rows = std::to_string(RowCount(samples));
    dictionary += "], 'fortran_order': False, 'shape': (";
    dictionary += rows;
    dictionary += ",), }";
    dictionary.append(kNpyGrowthDigits - rows.size(), ' ');
    const size_t withNewline = dictionary.size() + 1;
    const size_t padding = kNpyAlignment - (kNpyPrefixLength + withNewline) % kNpyAlignment;
    const size_t headerLength = withNewline + padding;  // < 256 with at most two columns
    std::string header = "\x93NUMPY\x01";
    header += '\0';
    header += static_cast<char>(headerLength & 0xFF);
    header += static_cast<char>(headerLength >> 8);
    header += dictionary;
    header.append(padding, ' ');
    header += '\n';
    return header;
}

bool WriteSampleFile(InputStream& stream, const WaveformSamples& samples, ExportFormat format,
                     TextSink& out, bool shareFormatting, const std::atomic<bool>* stop) {
    return format == ExportFormat::Npy ? WriteNpy(stream, samples, out, stop)
                                       : WriteCsv(stream, samples, out, shareFormatting, stop);
}

}  // namespace quillwave
