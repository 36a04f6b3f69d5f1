// Composes capture files byte by byte, for tests, benchmarks and the sample
// capture. Every field can be set to any value, including inconsistent ones,
// so well-formed and damaged files are built the same way:
//
//   Bytes file;
//   AppendFileHeader(file, 1);
//   AppendWaveformHeader(file, {.waveformType = 1, .bufferCount = 1, .sampleCount = 2});
//   AppendBuffer(file, AnalogBuffer(1, {0.5f, -0.25f}));
//
// A file can be cut short afterwards with file.resize(n).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillwave::writer {

using Bytes = std::vector<unsigned char>;

struct WaveformSpec {
    // Stored in the header's size field. The header written is this long, but
    // never shorter than its 144 known bytes.
    int32_t headerSize = 144;
    int32_t waveformType = 1;
    int32_t bufferCount = 1;
    int32_t sampleCount = 0;
    double timeIncrement = 1e-6;
    double timeOrigin = 0.0;
    // Texts longer than their field (24, 24, 16, 16 bytes) are cut to it.
    std::string summaryText1;
    std::string summaryText2;
    std::string summaryText3;
    std::string summaryText4;
    int32_t summaryNumber = 0;
    unsigned char extraByte = 0xEE;  // fills header bytes past the 144 known ones
};

struct BufferSpec {
    int32_t headerSize = 12;  // as WaveformSpec::headerSize, with 12 known bytes
    int16_t dataType = 1;
    int16_t sampleWidth = 4;
    std::optional<int32_t> dataSize;  // defaults to samples.size()
    Bytes samples;
};

void AppendFileHeader(Bytes& file, int32_t waveformCount, std::string_view version = "10",
                      std::string_view cookie = "VX");
void AppendWaveformHeader(Bytes& file, const WaveformSpec& waveform);
void AppendBuffer(Bytes& file, const BufferSpec& buffer);

// Overwrites the 4 bytes at `offset`: for declaring a header size other
// than the bytes that follow it (a header longer than the file, say).
void OverwriteI32(Bytes& file, size_t offset, int32_t value);

void AppendI16(Bytes& file, int16_t value);
void AppendI32(Bytes& file, int32_t value);
void AppendF32(Bytes& file, float value);
void AppendF64(Bytes& file, double value);

BufferSpec AnalogBuffer(int16_t dataType, const std::vector<float>& values);
BufferSpec HistogramBuffer(const std::vector<int32_t>& counts);
BufferSpec LogicBuffer(const std::vector<unsigned char>& bytes);

// Writes `file` to `path`, replacing it. False on any error.
bool WriteBytesToFile(const std::string& path, const Bytes& file);

}  // namespace quillwave::writer
