#include "export_output/format_files.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace quillwave {

bool WrittenByFormatWriter(ExportFormat format) {
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

bool Mat73Available() {
#ifdef QUILLWAVE_WITH_MAT73
    return Mat73Problem().empty();
#else
    return false;
#endif
}

bool FormatAvailable(ExportFormat format) {
    if (format == ExportFormat::Sigrok) return kWithSigrok;
    if (format == ExportFormat::Wav) return kWithWav;
    return true;
}

std::string FormatRefusal(const WaveformSamples& samples, ExportFormat format) {
    if (format == ExportFormat::Mat) {
        // Asked only of such a waveform: this is what loads libmatio.
        if (!MatNeedsVersion73(samples) || Mat73Available()) return {};
#ifdef QUILLWAVE_WITH_MAT73
        const std::string why =
            "MAT 7.3 files need libmatio (Debian's " QUILLWAVE_MATIO_PACKAGE "): " + Mat73Problem();
#else
        const std::string why = "this build writes no MAT 7.3 files (libmatio was missing)";
#endif
        return "a variable would pass the 2 GiB a level 5 MAT-file can hold, and " + why +
               "; not exported in format mat";
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
    // WAV's rate field, and libsndfile's, is a signed 32-bit number;
    // sigrok-cli reads a session's rate through a double, which holds every
    // whole number up to 2^53 exactly.
    return format == ExportFormat::Wav ? uint64_t{std::numeric_limits<int32_t>::max()}
                                       : uint64_t{1} << 53;
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

uint64_t FileBytesAtLeast(const WaveformSamples& samples, ExportFormat format) {
    if (format == ExportFormat::Csv ||
        (format == ExportFormat::Mat && MatNeedsVersion73(samples))) {
        return 0;
    }
    const auto rows = static_cast<uint64_t>(RowCount(samples));
    const uint64_t sampleBytes = SampleBytesPerRow(samples);
    if (format == ExportFormat::Npy) return NpyHeader(samples).size() + rows * (8 + sampleBytes);
    // The samples alone (and mat's times): the containers' few headers are
    // written without, so that no more is ever held than the file takes.
    if (format == ExportFormat::Mat) return rows * (8 + sampleBytes);
    return rows * sampleBytes;  // sr, wav: no time column
}

FormatFileResult WriteFormatFile(InputStream& stream, const WaveformSamples& samples,
                                 ExportFormat format, TextSink& sink,
                                 const std::atomic<bool>* stop) {
    switch (format) {
#ifdef QUILLWAVE_WITH_SR
        case ExportFormat::Sigrok:
            return WriteSigrokSession(stream, samples, sink, stop);
#endif
#ifdef QUILLWAVE_WITH_WAV
        case ExportFormat::Wav:
            return WriteWavFile(stream, samples, sink, stop);
#endif
        case ExportFormat::Mat:
            return WriteMatFile(stream, samples, sink, stop);
        default:
            break;
    }
    (void)stream;
    (void)samples;
    (void)sink;
    (void)stop;
    return {};
}

namespace {

// Frame i of two columns of `Width`-byte samples: a[i] then b[i]. A fixed
// width and stride let the compiler turn this into vector shuffles; a
// runtime stride kept it to one sample a step.
template <size_t Width>
void Interleave(const unsigned char* __restrict a, const unsigned char* __restrict b, size_t count,
                unsigned char* __restrict frames) {
    for (size_t i = 0; i < count; ++i) {
        std::memcpy(frames + 2 * Width * i, a + Width * i, Width);
        std::memcpy(frames + 2 * Width * i + Width, b + Width * i, Width);
    }
}

}  // namespace

void WritePlaced(TextSink& sink, int64_t position, const void* data, size_t size) {
    // Half the sink's buffers: measured, sr files were written a quarter
    // faster so (20M samples), the block still in the processor's cache
    // when the sink's thread copies it into the file.
    constexpr size_t kHandOverBytes = size_t{1} << 20;
    if (PlacedPosition(sink) != position) PlaceTextSink(sink, position);
    WriteText(sink, {static_cast<const char*>(data), size});
    if (sink.used >= kHandOverBytes) PlaceTextSink(sink, PlacedPosition(sink));
}

FrameReader::FrameReader(InputStream& stream, const WaveformSamples& samples, size_t chunkFrames)
    : stream_(stream),
      samples_(samples),
      chunkFrames_(chunkFrames),
      frameSize_(SampleBytesPerRow(samples)) {
    if (samples.columnCount > 1) {
        columns_ = std::make_unique_for_overwrite<unsigned char[]>(chunkFrames * frameSize_);
    }
}

bool FrameReader::Load(int64_t first, size_t count) {
    if (frames_ == nullptr) {
        frames_ = std::make_unique_for_overwrite<unsigned char[]>(chunkFrames_ * frameSize_);
    }
    return LoadInto(first, count, frames_.get());
}

bool FrameReader::LoadInto(int64_t first, size_t count, unsigned char* out) {
    // One column alone is its frames: loaded in place, no copy.
    if (samples_.columnCount == 1) {
        return LoadSamples(stream_, samples_.columns[0].block, first, count, out);
    }
    // Two (at most kMaxColumns), of one kind (peak detect's values, logic's
    // bytes): each loaded whole, then woven.
    static_assert(kMaxColumns == 2);
    const SampleBlock& blockA = samples_.columns[0].block;
    const SampleBlock& blockB = samples_.columns[1].block;
    unsigned char* a = columns_.get();
    unsigned char* b = a + chunkFrames_ * static_cast<size_t>(blockA.sampleWidth);
    if (!LoadSamples(stream_, blockA, first, count, a) ||
        !LoadSamples(stream_, blockB, first, count, b)) {
        return false;
    }
    if (frameSize_ == 8) {
        Interleave<4>(a, b, count, out);
    } else {
        Interleave<1>(a, b, count, out);
    }
    return true;
}

}  // namespace quillwave
