#include "waveform_file/header_readers.h"

#include <array>
#include <cstring>

#include "waveform_file/buffer_walk.h"
#include "waveform_file/little_endian.h"

namespace quillwave {
namespace {

// Reads the first `recordSize` bytes of a stored header into `record` and
// steps over the rest. Never allocates for the declared size: the file's own
// size tells whether it holds the whole header.
bool ReadStoredHeader(InputStream& stream, unsigned char* record, int32_t recordSize) {
    const int64_t start = stream.position;
    if (ReadBytes(stream, record, 4) != 4) return false;
    const int32_t declaredSize = LoadI32(record);
    if (declaredSize < recordSize) return false;
    if (!FileHolds(stream, start, declaredSize)) {
        SeekToEnd(stream);
        return false;
    }
    const auto rest = static_cast<size_t>(recordSize - 4);
    if (ReadBytes(stream, record + 4, rest) != rest) return false;
    SeekRelative(stream, declaredSize - recordSize);
    return true;
}

template <size_t N>
void CopyText(std::array<char, N>& text, const unsigned char* field) {
    std::memcpy(text.data(), field, N);
}

}  // namespace

bool ReadFileHeader(InputStream& stream, FileHeader& header) {
    std::array<unsigned char, PB_FILE_HEADER_SIZE> bytes{};
    if (ReadBytes(stream, bytes.data(), bytes.size()) != bytes.size()) return false;
    header.cookie = {static_cast<char>(bytes[0]), static_cast<char>(bytes[1])};
    header.version = {static_cast<char>(bytes[2]), static_cast<char>(bytes[3])};
    header.waveformCount = LoadI32(bytes.data() + 8);
    return true;
}

bool ReadWaveformHeader(InputStream& stream, WaveformHeader& header) {
    std::array<unsigned char, PB_WAVEFORM_HEADER_SIZE> bytes{};
    if (!ReadStoredHeader(stream, bytes.data(), PB_WAVEFORM_HEADER_SIZE)) return false;
    const unsigned char* p = bytes.data();
    header.headerSize = LoadI32(p + 0);
    header.waveformType = LoadI32(p + 4);
    header.bufferCount = LoadI32(p + 8);
    header.sampleCount = LoadI32(p + 12);
    header.timeIncrement = LoadF64(p + 32);
    header.timeOrigin = LoadF64(p + 40);
    CopyText(header.summaryText3, p + 56);
    CopyText(header.summaryText4, p + 72);
    CopyText(header.summaryText2, p + 88);
    CopyText(header.summaryText1, p + 112);
    header.summaryNumber = LoadI32(p + 136);
    if (header.waveformType < 0 || header.waveformType >= PB_WAVEFORM_TYPE_COUNT) {
        header.waveformType = PB_UNKNOWN;
    }
    return true;
}

bool ReadWaveformDataHeader(InputStream& stream, WaveformDataHeader& header) {
    std::array<unsigned char, PB_DATA_HEADER_SIZE> bytes{};
    if (!ReadStoredHeader(stream, bytes.data(), PB_DATA_HEADER_SIZE)) return false;
    header.headerSize = LoadI32(bytes.data() + 0);
    header.dataType = LoadI16(bytes.data() + 4);
    header.sampleWidth = LoadI16(bytes.data() + 6);
    header.dataSize = LoadI32(bytes.data() + 8);
    if (header.dataType > PB_MAX_DATA_TYPE) header.dataType = 0;
    return true;
}

bool IgnoreWaveformData(InputStream& stream) {
    WaveformDataHeader header;
    if (!ReadWaveformDataHeader(stream, header)) return false;
    SeekRelative(stream, header.dataSize);
    return true;
}

int64_t IgnoreWaveformBuffers(InputStream& stream, int32_t bufferCount, BufferWalkMemo* memo) {
    if (memo != nullptr && bufferCount >= memo->stride) {
        return WalkBuffersWithMemo(stream, bufferCount, *memo);
    }
    // Where a step over one buffer leads depends only on where it starts
    // (the file does not change under the program), so a walk that comes
    // back to a position it has stood on repeats itself from there on. A
    // crafted file can make such a loop out of a negative dataSize, while
    // declaring up to 2^31 - 1 buffers. Brent's cycle detection finds the
    // period in time proportional to it and constant memory; the remaining
    // steps then only need to be taken modulo the period. A walk without a
    // cycle moves on through the file and is bounded by the file's size.
    int64_t remaining = bufferCount;
    int64_t power = 1;
    int64_t period = 0;
    int64_t checkpoint = stream.position;
    int64_t steps = 0;
    while (remaining > 0) {
        IgnoreWaveformData(stream);
        --remaining;
        ++steps;
        ++period;
        if (stream.position == checkpoint) {
            remaining %= period;
            break;
        }
        if (period == power) {
            checkpoint = stream.position;
            power *= 2;
            period = 0;
        }
    }
    for (; remaining > 0; --remaining, ++steps) IgnoreWaveformData(stream);
    return steps;
}

}  // namespace quillwave
