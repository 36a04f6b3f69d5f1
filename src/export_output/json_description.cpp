#include "export_output/json_description.h"

#include <cmath>
#include <string_view>

#include "export_output/sample_files.h"
#include "export_output/shortest_number.h"
#include "text_output/digits.h"

namespace quillwave {
namespace {

void AppendEscapedByte(std::string& out, unsigned char byte) {
    out += "\\u00";
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0xF];
}

template <size_t N>
std::string_view TextOf(const std::array<char, N>& field) {
    size_t length = 0;
    while (length < N && field[length] != '\0') ++length;
    return {field.data(), length};
}

void AppendInteger(std::string& out, int64_t value) { out += std::to_string(value); }

void AppendBuffers(std::string& out, const WaveformSamples& samples) {
    out += "[";
    size_t listed = 0;
    for (size_t b = 0; b < samples.buffersRead; ++b) {
        const BufferReport& buffer = samples.buffers[b];
        if (!buffer.headerRead) continue;
        out += listed++ == 0 ? "{" : ", {";
        out += "\"dataType\": ";
        AppendInteger(out, buffer.header.dataType);
        out += ", \"sampleWidth\": ";
        AppendInteger(out, buffer.header.sampleWidth);
        out += ", \"dataSize\": ";
        AppendInteger(out, buffer.header.dataSize);
        out += "}";
    }
    out += "]";
}

void AppendColumns(std::string& out, const WaveformSamples& samples) {
    if (!YieldsSamples(samples)) {
        out += "[]";
        return;
    }
    out += "[";
    for (size_t c = 0; c <= samples.columnCount; ++c) {
        if (c > 0) out += ", ";
        out += "{\"name\": ";
        AppendJsonString(out, ColumnName(samples, c));
        out += ", \"dtype\": ";
        AppendJsonString(out, ColumnNumpyType(samples, c));
        if (c > 0) {
            out += ", \"dataType\": ";
            AppendInteger(out, samples.columns[c - 1].dataType);
        }
        out += "}";
    }
    out += "]";
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view bytes) {
    out += '"';
    while (!bytes.empty()) {
        const auto byte = static_cast<unsigned char>(bytes[0]);
        const size_t length = Utf8SequenceLength(bytes);
        if (length == 0 || byte < 0x20) {
            AppendEscapedByte(out, byte);
            bytes.remove_prefix(1);
            continue;
        }
        if (byte == '"' || byte == '\\') out += '\\';
        out.append(bytes.substr(0, length));
        bytes.remove_prefix(length);
    }
    out += '"';
}

void AppendJsonNumber(std::string& out, double value) {
    char text[kNumberRoom];
    const size_t length = FormatShortestDouble(value, text);
    if (std::isfinite(value)) {
        out.append(text, length);
        // JSON readers take a number without fraction or exponent as an
        // integer: "-0" would read back as 0, losing its sign.
        if (std::string_view(text, length).find_first_of(".e") == std::string_view::npos) {
            out += ".0";
        }
    } else {
        out += '"';
        out.append(text, length);
        out += '"';
    }
}

std::string DescribeCaptureStart(const FileHeader& header) {
    std::string out = "{\n  \"version\": ";
    const char version[3] = {header.version[0], '.', header.version[1]};
    AppendJsonString(out, std::string_view(version, 3));
    out += ",\n  \"waveformCount\": ";
    AppendInteger(out, header.waveformCount);
    out += ",\n  \"waveforms\": [";
    return out;
}

std::string DescribeWaveform(size_t index, const WaveformSamples& samples,
                             std::string_view fileName, std::string_view status,
                             std::string_view formatFields) {
    std::string out = index == 0 ? "\n    {\n" : ",\n    {\n";
    const auto field = [&](const char* name) {
        out += "      \"";
        out += name;
        out += "\": ";
    };
    const WaveformHeader& header = samples.header;
    const bool known = samples.headerRead;
    field("type");
    if (known && header.waveformType >= 0 && header.waveformType < PB_WAVEFORM_TYPE_COUNT) {
        AppendJsonString(out, waveformTable[static_cast<size_t>(header.waveformType)]);
    } else {
        out += "null";
    }
    const auto integer = [&](const char* name, int64_t value) {
        out += ",\n";
        field(name);
        if (known) {
            AppendInteger(out, value);
        } else {
            out += "null";
        }
    };
    const auto number = [&](const char* name, double value) {
        out += ",\n";
        field(name);
        if (known) {
            AppendJsonNumber(out, value);
        } else {
            out += "null";
        }
    };
    const auto text = [&](const char* name, std::string_view value) {
        out += ",\n";
        field(name);
        if (known) {
            AppendJsonString(out, value);
        } else {
            out += "null";
        }
    };
    integer("sampleCount", header.sampleCount);
    number("timeIncrement", header.timeIncrement);
    number("timeOrigin", header.timeOrigin);
    integer("summaryNumber", header.summaryNumber);
    text("summaryText1", TextOf(header.summaryText1));
    text("summaryText2", TextOf(header.summaryText2));
    text("summaryText3", TextOf(header.summaryText3));
    text("summaryText4", TextOf(header.summaryText4));
    out += ",\n";
    field("buffers");
    AppendBuffers(out, samples);
    out += ",\n";
    field("columns");
    AppendColumns(out, samples);
    out += ",\n";
    field("file");
    if (fileName.empty()) {
        out += "null";
    } else {
        AppendJsonString(out, fileName);
    }
    out += formatFields;
    out += ",\n";
    field("status");
    AppendJsonString(out, status);
    out += "\n    }";
    return out;
}

std::string DescribeCaptureEnd(size_t entries) { return entries == 0 ? "]\n}\n" : "\n  ]\n}\n"; }

}  // namespace quillwave
