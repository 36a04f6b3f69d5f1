#include "waveform_file/waveform_samples.h"

#include <utility>

#include "waveform_file/header_readers.h"

namespace quillwave {
namespace {

// Walks shorter than this are cheaper to take again than to remember.
constexpr int32_t kStepsWorthRemembering = 16;

// Steps over all the buffers of the waveform that starts at `start`.
void StepOverBuffers(InputStream& stream, int64_t start, int32_t bufferCount,
                     WaveformWalkMemo* memo) {
    if (memo == nullptr) {
        IgnoreWaveformBuffers(stream, bufferCount);
        return;
    }
    const auto known = memo->ends.find(start);
    if (known != memo->ends.end()) {
        stream.position = known->second;
        return;
    }
    IgnoreWaveformBuffers(stream, bufferCount, &memo->buffers);
    if (bufferCount >= kStepsWorthRemembering && memo->ends.size() < kMaxRememberedWalks) {
        memo->ends.emplace(start, stream.position);
    }
}

// Reads the next buffer of the waveform as `kind`; records what was found
// and, when it is accepted, appends it as the next column.
bool ReadColumn(InputStream& stream, WaveformSamples& samples, SampleKind kind) {
    BufferReport& report = samples.buffers[samples.buffersRead++];
    const std::optional<SampleBlock> block =
        ReadSampleBuffer(stream, samples.header, kind, &report);
    if (!block) return false;
    samples.columns[samples.columnCount++] =
        SampleColumn{.block = *block,
                     .kind = kind,
                     .dataType = report.header.dataType,
                     .bufferNumber = static_cast<int32_t>(samples.buffersRead)};
    return true;
}

// One column of `kind` for normal, average and histogram waveforms.
NoSamplesReason ReadOneColumn(InputStream& stream, WaveformSamples& samples, SampleKind kind) {
    return ReadColumn(stream, samples, kind) ? NoSamplesReason::None
                                             : NoSamplesReason::BufferRejected;
}

// Peak detect: the first buffer's data type says which column it feeds
// (3 the first, 2 the second); the next analog buffer, of whatever analog
// type, takes the other. Any other first buffer ends the waveform there.
NoSamplesReason ReadPeakDetectColumns(InputStream& stream, WaveformSamples& samples) {
    if (!ReadColumn(stream, samples, SampleKind::Float32)) return NoSamplesReason::BufferRejected;
    const int16_t firstType = samples.columns[0].dataType;
    if (firstType != 3 && firstType != 2) return NoSamplesReason::PeakDetectFirstType;
    if (!ReadColumn(stream, samples, SampleKind::Float32)) return NoSamplesReason::BufferRejected;
    if (firstType == 2) std::swap(samples.columns[0], samples.columns[1]);
    return NoSamplesReason::None;
}

// Logic: two byte buffers when bufferCount is exactly 2 (the second read
// even when the first is rejected), else one.
NoSamplesReason ReadLogicColumns(InputStream& stream, WaveformSamples& samples) {
    if (samples.header.bufferCount != 2) {
        return ReadOneColumn(stream, samples, SampleKind::Byte);
    }
    const bool first = ReadColumn(stream, samples, SampleKind::Byte);
    const bool second = ReadColumn(stream, samples, SampleKind::Byte);
    return first && second ? NoSamplesReason::None : NoSamplesReason::BufferRejected;
}

const char* KindName(SampleKind kind) {
    switch (kind) {
        case SampleKind::Float32:
            return "an analog type";
        case SampleKind::Int32:
            return "a histogram type";
        case SampleKind::Byte:
            break;
    }
    return "a logic type";
}

std::string DescribeBuffer(int32_t number, const BufferReport& report, int32_t sampleCount) {
    const std::string buffer = "buffer " + std::to_string(number);
    const WaveformDataHeader& h = report.header;
    switch (report.problem) {
        case BufferProblem::None:
            break;
        case BufferProblem::HeaderUnreadable:
            return "the header of " + buffer +
                   " cannot be read (the file ends there, or it declares fewer than " +
                   std::to_string(PB_DATA_HEADER_SIZE) + " bytes)";
        case BufferProblem::WrongWidth:
            return buffer + " has sample width " + std::to_string(h.sampleWidth) + ", not " +
                   std::to_string(SampleWidthOf(report.wanted));
        case BufferProblem::WrongDataType:
            return buffer + " has data type " + std::to_string(h.dataType) + ", not " +
                   KindName(report.wanted);
        case BufferProblem::WrongCount:
            return buffer + " holds " + std::to_string(h.dataSize / h.sampleWidth) +
                   " samples (dataSize " + std::to_string(h.dataSize) +
                   "), the waveform declares " + std::to_string(sampleCount);
        case BufferProblem::NegativeSize:
            return buffer + " declares a negative dataSize, " + std::to_string(h.dataSize);
        case BufferProblem::Truncated:
            return "the file ends inside " + buffer + ": " + std::to_string(h.dataSize) +
                   " bytes declared, " + std::to_string(report.bytesPresent) + " present";
    }
    return {};
}

}  // namespace

WaveformSamples ReadWaveformSamples(InputStream& stream, WaveformWalkMemo* memo) {
    WaveformSamples samples;
    samples.start = stream.position;
    if (!ReadWaveformHeader(stream, samples.header)) return samples;
    samples.headerRead = true;
    switch (samples.header.waveformType) {
        case PB_NORMAL:
        case PB_AVERAGE:
            samples.reason = ReadOneColumn(stream, samples, SampleKind::Float32);
            break;
        case PB_PEAK_DETECT:
            samples.reason = ReadPeakDetectColumns(stream, samples);
            break;
        case PB_HORZ_HISTOGRAM:
        case PB_VERT_HISTOGRAM:
            samples.reason = ReadOneColumn(stream, samples, SampleKind::Int32);
            break;
        case PB_LOGIC:
            samples.reason = ReadLogicColumns(stream, samples);
            break;
        default:
            StepOverBuffers(stream, samples.start, samples.header.bufferCount, memo);
            samples.reason = NoSamplesReason::UnknownType;
            break;
    }
    if (samples.reason != NoSamplesReason::None) samples.columnCount = 0;
    return samples;
}

bool IgnoreWaveform(InputStream& stream, WaveformHeader& header, WaveformWalkMemo* memo) {
    const int64_t start = stream.position;
    if (!ReadWaveformHeader(stream, header)) return false;
    StepOverBuffers(stream, start, header.bufferCount, memo);
    return true;
}

std::string DescribeNoSamples(const WaveformSamples& samples) {
    switch (samples.reason) {
        case NoSamplesReason::None:
            break;
        case NoSamplesReason::HeaderUnreadable:
            return "the waveform header cannot be read (the file ends there, or it declares "
                   "fewer than " +
                   std::to_string(PB_WAVEFORM_HEADER_SIZE) + " bytes)";
        case NoSamplesReason::UnknownType:
            return "unknown waveform type";
        case NoSamplesReason::PeakDetectFirstType:
            return "buffer 1 has data type " + std::to_string(samples.buffers[0].header.dataType) +
                   "; a peak-detect waveform's first buffer must be of data type 3 or 2";
        case NoSamplesReason::BufferRejected:
            for (size_t i = 0; i < samples.buffersRead; ++i) {
                if (samples.buffers[i].problem == BufferProblem::None) continue;
                return DescribeBuffer(static_cast<int32_t>(i + 1), samples.buffers[i],
                                      samples.header.sampleCount);
            }
            break;
    }
    return {};
}

}  // namespace quillwave
