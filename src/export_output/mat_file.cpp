// The MAT writer: a level 5 MAT-file written here, element by element,
// straight to the output's descriptor. Every size is known before the first
// byte, so the file is written in one pass (a pipe takes it too), the
// samples streamed in chunks. A waveform with a variable too large for
// level 5 goes to the MAT 7.3 writer (mat73_file.cpp), where built.
//
// Layout: the 128-byte header; one miMATRIX element per column, an N x 1
// array named as the CSV's column (time double, values single, counts
// int32, logic bytes uint8), its data the stored bits, little-endian; then
// the struct `info` of the waveform's header. Each element, and each of its
// subelements, is padded to a multiple of 8 bytes.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "export_output/format_files.h"
#include "export_output/utf8.h"
#include "waveform_file/little_endian.h"

namespace quillwave {
namespace {

// Data types of elements, and classes of arrays, as the MAT-file numbers them.
constexpr uint32_t kMiInt8 = 1;
constexpr uint32_t kMiUint8 = 2;
constexpr uint32_t kMiUint16 = 4;
constexpr uint32_t kMiInt32 = 5;
constexpr uint32_t kMiUint32 = 6;
constexpr uint32_t kMiSingle = 7;
constexpr uint32_t kMiDouble = 9;
constexpr uint32_t kMiMatrix = 14;
constexpr uint32_t kMiUtf16 = 17;
constexpr uint32_t kMxStruct = 2;
constexpr uint32_t kMxChar = 4;
constexpr uint32_t kMxDouble = 6;
constexpr uint32_t kMxSingle = 7;
constexpr uint32_t kMxUint8 = 9;
constexpr uint32_t kMxInt32 = 12;

// Struct field names take this many bytes each, the terminating zero included.
constexpr uint32_t kFieldNameLength = 32;

// The samples go out in writes of this size (a multiple of 8, so a chunk of
// any column's elements fills it whole).
constexpr size_t kChunkBytes = size_t{4} << 20;

// No date, no host: the same capture gives the same file.
constexpr std::string_view kHeaderText = "MATLAB 5.0 MAT-file, written by quillwave";

uint64_t Padded(uint64_t bytes) { return (bytes + 7) & ~uint64_t{7}; }

void AppendU32(std::string& out, uint32_t value) {
    char bytes[4];
    StoreLE32(value, bytes);
    out.append(bytes, 4);
}

// (Padding is under 8 bytes: it fits any size_t.)
void AppendPadding(std::string& out) {
    out.append(static_cast<size_t>(Padded(out.size()) - out.size()), '\0');
}

void AppendTag(std::string& out, uint32_t type, uint64_t bytes) {
    AppendU32(out, type);
    AppendU32(out, static_cast<uint32_t>(bytes));
}

// An element of `bytes` little-endian bytes, padded.
void AppendElement(std::string& out, uint32_t type, std::string_view bytes) {
    AppendTag(out, type, bytes.size());
    out.append(bytes);
    AppendPadding(out);
}

// Bytes of a matrix's subelements before its data's: flags, dimensions
// (two), name.
uint64_t MatrixPrefixBytes(std::string_view name) { return 16 + 16 + 8 + Padded(name.size()); }

// A matrix element up to its data: its tag, flags, dimensions, name, and the
// tag of its real part, whose `dataBytes` follow (then padding).
std::string MatrixStart(uint32_t arrayClass, uint32_t dataType, uint32_t rows, uint32_t columns,
                        std::string_view name, uint64_t dataBytes) {
    std::string out;
    AppendTag(out, kMiMatrix, MatrixPrefixBytes(name) + 8 + Padded(dataBytes));
    AppendTag(out, kMiUint32, 8);
    AppendU32(out, arrayClass);
    AppendU32(out, 0);
    AppendTag(out, kMiInt32, 8);
    AppendU32(out, rows);
    AppendU32(out, columns);
    AppendElement(out, kMiInt8, name);
    AppendTag(out, dataType, dataBytes);
    return out;
}

void AppendMatrix(std::string& out, uint32_t arrayClass, uint32_t dataType, uint32_t columns,
                  std::string_view data) {
    out += MatrixStart(arrayClass, dataType, 1, columns, "", data.size());
    out.append(data);
    AppendPadding(out);
}

template <size_t N>
std::string_view TextOf(const std::array<char, N>& field) {
    return {field.data(), strnlen(field.data(), N)};
}

std::string Int32Bytes(int32_t value) {
    std::string out;
    AppendU32(out, static_cast<uint32_t>(value));
    return out;
}

std::string DoubleBytes(double value) {
    char bytes[8];
    StoreLE64(std::bit_cast<uint64_t>(value), bytes);
    return {bytes, 8};
}

// The `info` struct: the header's fields under the description's names.
std::string InfoElement(const WaveformSamples& samples) {
    const WaveformHeader& header = samples.header;
    struct Field {
        const char* name;
        uint32_t arrayClass;
        uint32_t dataType;
        std::string data;
        uint32_t columns;
    };
    const auto text = [](const char* name, std::string_view value) {
        const std::u16string units = MatCharacters(value);
        std::string bytes;
        bool surrogates = false;
        for (const char16_t unit : units) {
            bytes += static_cast<char>(unit & 0xFF);
            bytes += static_cast<char>(unit >> 8);
            surrogates = surrogates || (unit >= 0xD800 && unit < 0xE000);
        }
        // MATLAB, Octave and scipy read UTF-16 text (miUTF16) exactly, but
        // scipy refuses the whole file when a character takes two units: as
        // plain uint16 units MATLAB and Octave still read such a text
        // exactly, and scipy loads the file (other characters for that text).
        return Field{name, kMxChar, surrogates ? kMiUint16 : kMiUtf16, bytes,
                     static_cast<uint32_t>(units.size())};
    };
    const std::string_view type =
        header.waveformType >= 0 && header.waveformType < PB_WAVEFORM_TYPE_COUNT
            ? waveformTable[static_cast<size_t>(header.waveformType)]
            : "";
    const Field fields[] = {
        text("type", type),
        {"sampleCount", kMxInt32, kMiInt32, Int32Bytes(header.sampleCount), 1},
        {"timeIncrement", kMxDouble, kMiDouble, DoubleBytes(header.timeIncrement), 1},
        {"timeOrigin", kMxDouble, kMiDouble, DoubleBytes(header.timeOrigin), 1},
        {"summaryNumber", kMxInt32, kMiInt32, Int32Bytes(header.summaryNumber), 1},
        text("summaryText1", TextOf(header.summaryText1)),
        text("summaryText2", TextOf(header.summaryText2)),
        text("summaryText3", TextOf(header.summaryText3)),
        text("summaryText4", TextOf(header.summaryText4)),
    };
    std::string body;
    AppendTag(body, kMiUint32, 8);
    AppendU32(body, kMxStruct);
    AppendU32(body, 0);
    AppendTag(body, kMiInt32, 8);
    AppendU32(body, 1);
    AppendU32(body, 1);
    AppendElement(body, kMiInt8, "info");
    // The field name length, in the small element form (type and size in
    // one word, the value in the next), as MATLAB writes it.
    AppendU32(body, kMiInt32 | (4u << 16));
    AppendU32(body, kFieldNameLength);
    std::string names;
    for (const Field& field : fields) {
        std::string name = field.name;
        name.resize(kFieldNameLength, '\0');
        names += name;
    }
    AppendElement(body, kMiInt8, names);
    for (const Field& field : fields) {
        AppendMatrix(body, field.arrayClass, field.dataType, field.columns, field.data);
    }
    std::string out;
    AppendTag(out, kMiMatrix, body.size());
    return out + body;
}

std::string MatFileHeader() {
    std::string out(kHeaderText);
    out.resize(116, ' ');
    out.append(8, '\0');  // no subsystem data
    out += '\0';          // version 0x0100, little-endian
    out += '\x01';
    out += "IM";  // "MI" as a little-endian word: the file's byte order
    return out;
}

// Writes through the job's sink, in order (never placed: the file is made
// in one pass, so a pipe takes it too); the sink's thread writes while the
// next chunk loads, and keeps the first failure's errno.
struct Output {
    TextSink& sink;

    bool Write(const void* data, size_t size) {
        if (sink.error != 0) return false;
        WriteText(sink, {static_cast<const char*>(data), size});
        return sink.error == 0;
    }
    bool Write(const std::string& text) { return Write(text.data(), text.size()); }
};

}  // namespace

MatColumn MatColumnOf(const WaveformSamples& samples, size_t column) {
    const char* name = ColumnName(samples, column);
    if (column == 0) return {name, kMxDouble, kMiDouble, 8};
    switch (samples.columns[column - 1].kind) {
        case SampleKind::Float32:
            return {name, kMxSingle, kMiSingle, 4};
        case SampleKind::Int32:
            return {name, kMxInt32, kMiInt32, 4};
        case SampleKind::Byte:
            return {name, kMxUint8, kMiUint8, 1};
    }
    return {name, kMxDouble, kMiDouble, 8};
}

bool LoadMatColumn(InputStream& stream, const WaveformSamples& samples, size_t column,
                   int64_t first, size_t count, unsigned char* out) {
    if (column > 0)
        return LoadSamples(stream, samples.columns[column - 1].block, first, count, out);
    for (size_t i = 0; i < count; ++i) {
        const double time = ComputeTimeFromIndex(first + static_cast<int64_t>(i), samples.header);
        StoreLE64(std::bit_cast<uint64_t>(time), out + 8 * i);
    }
    return true;
}

std::u16string MatCharacters(std::string_view text) {
    std::u16string units;
    while (!text.empty()) {
        const auto lead = static_cast<unsigned char>(text[0]);
        const size_t length = Utf8SequenceLength(text);
        if (length <= 1) {
            units += static_cast<char16_t>(lead);
            text.remove_prefix(1);
            continue;
        }
        // The lead byte's bits, then six from each continuation byte.
        uint32_t point = lead & (0x7Fu >> length);
        for (size_t i = 1; i < length; ++i) {
            point = (point << 6) | (static_cast<unsigned char>(text[i]) & 0x3Fu);
        }
        text.remove_prefix(length);
        if (point < 0x10000) {
            units += static_cast<char16_t>(point);
        } else {
            point -= 0x10000;
            units += static_cast<char16_t>(0xD800 + (point >> 10));
            units += static_cast<char16_t>(0xDC00 + (point & 0x3FF));
        }
    }
    return units;
}

bool MatNeedsVersion73(const WaveformSamples& samples, uint64_t variableLimit) {
    const auto rows = static_cast<uint64_t>(RowCount(samples));
    for (size_t c = 0; c <= samples.columnCount; ++c) {
        const MatColumn column = MatColumnOf(samples, c);
        // The whole element, its tag included.
        const uint64_t bytes = 8 + MatrixPrefixBytes(column.name) + 8 + Padded(rows * column.width);
        if (bytes > variableLimit) return true;
    }
    return false;
}

FormatFileResult WriteMatFile(InputStream& stream, const WaveformSamples& samples, TextSink& sink,
                              const std::atomic<bool>* stop, uint64_t variableLimit) {
    if (MatNeedsVersion73(samples, variableLimit)) {
#ifdef QUILLWAVE_WITH_MAT73
        // libmatio writes the file itself, by name: nothing is in the sink.
        return WriteMat73File(stream, samples, sink.fd, stop);
#else
        return {};  // refused before (FormatRefusal)
#endif
    }
    FormatFileResult result;
    const int32_t rows = RowCount(samples);
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kChunkBytes);
    Output out{sink};
    bool stopped = false;
    out.Write(MatFileHeader());
    for (size_t c = 0; c <= samples.columnCount && sink.error == 0; ++c) {
        const MatColumn column = MatColumnOf(samples, c);
        const uint64_t dataBytes = static_cast<uint64_t>(rows) * column.width;
        if (!out.Write(MatrixStart(column.arrayClass, column.dataType, static_cast<uint32_t>(rows),
                                   1, column.name, dataBytes))) {
            break;
        }
        const size_t chunk = kChunkBytes / column.width;
        for (int32_t first = 0; first < rows; first += static_cast<int32_t>(chunk)) {
            const auto count =
                static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk), rows - first));
            if (Stopped(stop)) {
                stopped = true;
                break;
            }
            if (!LoadMatColumn(stream, samples, c, first, count, buffer.get())) {
                result.readFailed = true;
                break;
            }
            if (!out.Write(buffer.get(), count * column.width)) break;
        }
        if (stopped || result.readFailed) break;
        const std::string padding(static_cast<size_t>(Padded(dataBytes) - dataBytes), '\0');
        out.Write(padding);
    }
    if (!stopped && !result.readFailed) out.Write(InfoElement(samples));
    FlushTextSink(sink);
    result.writeError = sink.error;
    result.written = sink.error == 0 && !result.readFailed && !stopped;
    return result;
}

}  // namespace quillwave
