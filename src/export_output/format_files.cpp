#include "export_output/format_files.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace quillwave {

bool WrittenThroughLibrary(ExportFormat format) {
    return format == ExportFormat::Sigrok || format == ExportFormat::Wav ||
           format == ExportFormat::Mat;
}

#ifdef QUILLWAVE_WITH_SR
constexpr bool kWithSigrok = true;
#else
constexpr bool kWithSigrok = false;
#endif
#ifdef QUILLWAVE_WITH_WAV
constexpr bool kWithWav = true;
#else
constexpr bool kWithWav = false;
#endif
#ifdef QUILLWAVE_WITH_MAT73
constexpr bool kWithMat73 = true;
#else
constexpr bool kWithMat73 = false;
#endif

bool Mat73Available() { return kWithMat73; }

bool FormatAvailable(ExportFormat format) {
    if (format == ExportFormat::Sigrok) return kWithSigrok;
    if (format == ExportFormat::Wav) return kWithWav;
    return true;
}

std::string FormatRefusal(const WaveformSamples& samples, ExportFormat format) {
    if (format == ExportFormat::Mat) {
        if (kWithMat73 || !MatNeedsVersion73(samples)) return {};
        return "a variable would pass the 2 GiB a level 5 MAT-file can hold, and this build "
               "writes no MAT 7.3 files (libmatio was missing); not exported in format mat";
    }
    if (format != ExportFormat::Sigrok) return {};
    for (size_t c = 0; c < samples.columnCount; ++c) {
        if (samples.columns[c].kind == SampleKind::Int32) {
            return "histogram counts cannot be written exactly as a sigrok session's float32 "
                   "samples; not exported in format sr";
        }
    }
    return {};
}

SampleRate SampleRateOf(double increment, uint64_t limit) {
    SampleRate rate;
    if (!(increment > 0.0) || !std::isfinite(increment)) return rate;
    const double hertz = std::round(1.0 / increment);
    if (!(hertz >= 1.0) || hertz > static_cast<double>(limit)) {
        rate.hertz = hertz >= 1.0 ? limit : 1;
        return rate;
    }
    rate.hertz = static_cast<uint64_t>(hertz);
    rate.valid = true;
    rate.exact = 1.0 / static_cast<double>(rate.hertz) == increment;
    return rate;
}

uint64_t SampleRateLimit(ExportFormat format) {
    // WAV's rate field, and libsndfile's, is a signed 32-bit number.
    return format == ExportFormat::Wav ? uint64_t{std::numeric_limits<int32_t>::max()}
                                       : std::numeric_limits<uint64_t>::max() / 2;
}

std::string DescribeFormatFields(const WaveformSamples& samples, ExportFormat format) {
    if (format != ExportFormat::Sigrok && format != ExportFormat::Wav) return {};
    const SampleRate rate = SampleRateOf(samples.header.timeIncrement, SampleRateLimit(format));
    std::string fields = ",\n      \"sampleRate\": " + std::to_string(rate.hertz);
    fields += ",\n      \"sampleRateExact\": ";
    fields += rate.exact ? "true" : "false";
    if (!rate.valid) {
        fields +=
            ",\n      \"sampleRateNote\": \"no rate matches the time increment; the file "
            "states this one\"";
    }
    return fields;
}

FormatFileResult WriteFormatFile(InputStream& stream, const WaveformSamples& samples,
                                 ExportFormat format, int fd, const std::atomic<bool>* stop) {
    switch (format) {
#ifdef QUILLWAVE_WITH_SR
        case ExportFormat::Sigrok:
            return WriteSigrokSession(stream, samples, fd, stop);
#endif
#ifdef QUILLWAVE_WITH_WAV
        case ExportFormat::Wav:
            return WriteWavFile(stream, samples, fd, stop);
#endif
        case ExportFormat::Mat:
            return WriteMatFile(stream, samples, fd, stop);
        default:
            break;
    }
    (void)stream;
    (void)samples;
    (void)fd;
    (void)stop;
    return {};
}

FrameReader::FrameReader(InputStream& stream, const WaveformSamples& samples, size_t chunkFrames)
    : stream_(stream), samples_(samples) {
    for (size_t c = 0; c < samples.columnCount; ++c) {
        frameSize_ += static_cast<size_t>(samples.columns[c].block.sampleWidth);
    }
    column_ = std::make_unique_for_overwrite<unsigned char[]>(chunkFrames * 4);
    frames_ = std::make_unique_for_overwrite<unsigned char[]>(chunkFrames * frameSize_);
}

bool FrameReader::Load(int64_t first, size_t count) {
    // One column alone is its frames: loaded in place, no copy.
    if (samples_.columnCount == 1) {
        return LoadSamples(stream_, samples_.columns[0].block, first, count, frames_.get());
    }
    size_t offset = 0;
    for (size_t c = 0; c < samples_.columnCount; ++c) {
        const SampleBlock& block = samples_.columns[c].block;
        const auto width = static_cast<size_t>(block.sampleWidth);
        if (!LoadSamples(stream_, block, first, count, column_.get())) return false;
        unsigned char* frame = frames_.get() + offset;
        const unsigned char* sample = column_.get();
        // Fixed-size copies, so that none becomes a call.
        if (width == 4) {
            for (size_t i = 0; i < count; ++i, frame += frameSize_, sample += 4) {
                std::memcpy(frame, sample, 4);
            }
        } else {
            for (size_t i = 0; i < count; ++i, frame += frameSize_) frame[0] = sample[i];
        }
        offset += width;
    }
    return true;
}

}  // namespace quillwave
