#include "waveform_writer/waveform_writer.h"

#include <algorithm>
#include <bit>
#include <cstdio>

namespace quillwave::writer {
namespace {

void AppendU32(Bytes& file, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        file.push_back(static_cast<unsigned char>(value >> shift));
    }
}

void AppendText(Bytes& file, const std::string& text, size_t width) {
    const size_t kept = std::min(text.size(), width);
    file.insert(file.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(kept));
    file.insert(file.end(), width - kept, 0);
}

void PadHeader(Bytes& file, size_t headerStart, int32_t declaredSize, unsigned char filler) {
    const size_t written = file.size() - headerStart;
    if (declaredSize > 0 && static_cast<size_t>(declaredSize) > written) {
        file.insert(file.end(), static_cast<size_t>(declaredSize) - written, filler);
    }
}

}  // namespace

void AppendI16(Bytes& file, int16_t value) {
    const auto bits = static_cast<uint16_t>(value);
    file.push_back(static_cast<unsigned char>(bits));
    file.push_back(static_cast<unsigned char>(bits >> 8));
}

void AppendI32(Bytes& file, int32_t value) { AppendU32(file, static_cast<uint32_t>(value)); }

void OverwriteI32(Bytes& file, size_t offset, int32_t value) {
    Bytes field;
    AppendI32(field, value);
    std::copy(field.begin(), field.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
}

void AppendF32(Bytes& file, float value) { AppendU32(file, std::bit_cast<uint32_t>(value)); }

void AppendF64(Bytes& file, double value) {
    const auto bits = std::bit_cast<uint64_t>(value);
    AppendU32(file, static_cast<uint32_t>(bits));
    AppendU32(file, static_cast<uint32_t>(bits >> 32));
}

void AppendFileHeader(Bytes& file, int32_t waveformCount, std::string_view version,
                      std::string_view cookie) {
    for (size_t i = 0; i < 2; ++i)
        file.push_back(i < cookie.size() ? static_cast<unsigned char>(cookie[i]) : 0);
    for (size_t i = 0; i < 2; ++i)
        file.push_back(i < version.size() ? static_cast<unsigned char>(version[i]) : 0);
    AppendI32(file, 0);
    AppendI32(file, waveformCount);
}

void AppendWaveformHeader(Bytes& file, const WaveformSpec& waveform) {
    const size_t start = file.size();
    AppendI32(file, waveform.headerSize);
    AppendI32(file, waveform.waveformType);
    AppendI32(file, waveform.bufferCount);
    AppendI32(file, waveform.sampleCount);
    file.insert(file.end(), 16, 0);
    AppendF64(file, waveform.timeIncrement);
    AppendF64(file, waveform.timeOrigin);
    file.insert(file.end(), 8, 0);
    AppendText(file, waveform.summaryText3, 16);
    AppendText(file, waveform.summaryText4, 16);
    AppendText(file, waveform.summaryText2, 24);
    AppendText(file, waveform.summaryText1, 24);
    AppendI32(file, waveform.summaryNumber);
    AppendI32(file, 0);
    PadHeader(file, start, waveform.headerSize, waveform.extraByte);
}

void AppendBuffer(Bytes& file, const BufferSpec& buffer) {
    const size_t start = file.size();
    AppendI32(file, buffer.headerSize);
    AppendI16(file, buffer.dataType);
    AppendI16(file, buffer.sampleWidth);
    AppendI32(file, buffer.dataSize.value_or(static_cast<int32_t>(buffer.samples.size())));
    PadHeader(file, start, buffer.headerSize, 0xDD);
    file.insert(file.end(), buffer.samples.begin(), buffer.samples.end());
}

BufferSpec AnalogBuffer(int16_t dataType, const std::vector<float>& values) {
    BufferSpec buffer{.dataType = dataType, .sampleWidth = 4};
    for (float value : values) AppendF32(buffer.samples, value);
    return buffer;
}

BufferSpec HistogramBuffer(const std::vector<int32_t>& counts) {
    BufferSpec buffer{.dataType = 5, .sampleWidth = 4};
    for (int32_t count : counts) AppendI32(buffer.samples, count);
    return buffer;
}

BufferSpec LogicBuffer(const std::vector<unsigned char>& bytes) {
    return BufferSpec{.dataType = 6, .sampleWidth = 1, .samples = bytes};
}

bool WriteBytesToFile(const std::string& path, const Bytes& file) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    const bool written =
        file.empty() || std::fwrite(file.data(), 1, file.size(), out) == file.size();
    return std::fclose(out) == 0 && written;
}

}  // namespace quillwave::writer
