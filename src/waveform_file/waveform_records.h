// The records through which the program sees a waveform capture file, and the
// code tables they carry.
//
// File layout (all numbers little-endian, no padding anywhere):
//   FileHeader (12 bytes)
//   waveformCount x { stored waveform header (headerSize bytes, the first 144
//                     of which form WaveformHeader),
//                     bufferCount x { stored buffer header (headerSize bytes,
//                                     the first 12 form WaveformDataHeader),
//                                     dataSize bytes of samples } }
// A stored header may be longer than its record; the extra bytes are skipped.
#pragma once

#include <array>
#include <cstdint>

namespace quillwave {

// The two bytes every capture file starts with.
inline constexpr std::array<char, 2> PB_COOKIE = {'V', 'X'};
// The format version this program was written for. Files of other versions
// are read the same way; the version is only displayed.
inline constexpr std::array<char, 2> PB_VERSION = {'1', '0'};

inline constexpr int PB_FILE_HEADER_SIZE = 12;
inline constexpr int PB_WAVEFORM_HEADER_SIZE = 144;
inline constexpr int PB_DATA_HEADER_SIZE = 12;

// Waveform types, indices into waveformTable.
inline constexpr int32_t PB_UNKNOWN = 0;
inline constexpr int32_t PB_NORMAL = 1;
inline constexpr int32_t PB_PEAK_DETECT = 2;
inline constexpr int32_t PB_AVERAGE = 3;
inline constexpr int32_t PB_HORZ_HISTOGRAM = 4;
inline constexpr int32_t PB_VERT_HISTOGRAM = 5;
inline constexpr int32_t PB_LOGIC = 6;
inline constexpr int32_t PB_WAVEFORM_TYPE_COUNT = 7;

// Names shown in summary lines, indexed by waveform type.
inline constexpr std::array<const char*, PB_WAVEFORM_TYPE_COUNT> waveformTable = {
    "PB_UNKNOWN",        "PB_NORMAL",         "PB_PEAK_DETECT", "PB_AVERAGE",
    "PB_HORZ_HISTOGRAM", "PB_VERT_HISTOGRAM", "PB_LOGIC",
};

// Buffer data-type codes have no names in the format; they are used by number:
//   1, 2, 3: binary32 analog values (3 = peak-detect first column, 2 = second)
//   5: signed 32-bit histogram counts
//   6: logic bytes
//   0, 4: accepted by no reader
inline constexpr int16_t PB_MAX_DATA_TYPE = 6;

struct FileHeader {
    std::array<char, 2> cookie{};
    std::array<char, 2> version{};
    int32_t waveformCount = 0;
};

struct WaveformHeader {
    int32_t headerSize = 0;
    int32_t waveformType = 0;
    int32_t bufferCount = 0;
    int32_t sampleCount = 0;
    double timeIncrement = 0.0;
    double timeOrigin = 0.0;
    // Texts end at their first zero byte or at the field's end, whichever is first.
    std::array<char, 16> summaryText3{};
    std::array<char, 16> summaryText4{};
    std::array<char, 24> summaryText2{};
    std::array<char, 24> summaryText1{};
    int32_t summaryNumber = 0;
};

struct WaveformDataHeader {
    int32_t headerSize = 0;
    int16_t dataType = 0;
    int16_t sampleWidth = 0;
    int32_t dataSize = 0;
};

}  // namespace quillwave
