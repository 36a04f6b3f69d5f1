// The WAV writer: libsndfile lays out the header, through virtual I/O into
// the job's sink (it seeks back to finish the header); the samples
// go in as raw bytes, so their bits are exactly those stored (WAV is
// little-endian, as the capture's samples are).
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

#include "export_output/format_files.h"
#include "export_output/sample_files.h"
#include "text_output/text_sink.h"

namespace quillwave {
namespace {

constexpr size_t kChunkFrames = 65536;
// Headers of WAV (and RF64's ds64) stay well under this; past 4 GiB less it
// a file is RF64.
constexpr uint64_t kHeaderRoom = 4096;

// The file as libsndfile sees it: the job's sink, placed at each write's
// offset, so that the sink's thread writes while the next frames load.
struct Destination {
    TextSink* sink = nullptr;
    sf_count_t position = 0;
    sf_count_t end = 0;
};

sf_count_t Length(void* state) { return static_cast<Destination*>(state)->end; }

sf_count_t Seek(sf_count_t offset, int whence, void* state) {
    auto& out = *static_cast<Destination*>(state);
    const sf_count_t base = whence == SEEK_CUR ? out.position : whence == SEEK_END ? out.end : 0;
    if (base + offset < 0) return -1;
    out.position = base + offset;
    return out.position;
}

sf_count_t Read(void* /*data*/, sf_count_t /*count*/, void* /*state*/) { return 0; }

sf_count_t Write(const void* data, sf_count_t count, void* state) {
    auto& out = *static_cast<Destination*>(state);
    TextSink& sink = *out.sink;
    if (sink.error != 0) return 0;
    WritePlaced(sink, out.position, data, static_cast<size_t>(count));
    if (sink.error != 0) return 0;
    out.position += count;
    out.end = std::max(out.end, out.position);
    return count;
}

sf_count_t Tell(void* state) { return static_cast<Destination*>(state)->position; }

int SubtypeOf(SampleKind kind) {
    switch (kind) {
        case SampleKind::Float32:
            return SF_FORMAT_FLOAT;
        case SampleKind::Int32:
            return SF_FORMAT_PCM_32;
        case SampleKind::Byte:
            return SF_FORMAT_PCM_U8;
    }
    return SF_FORMAT_FLOAT;
}

}  // namespace

FormatFileResult WriteWavFile(InputStream& stream, const WaveformSamples& samples, TextSink& sink,
                              const std::atomic<bool>* stop) {
    FormatFileResult result;
    const int64_t rows = RowCount(samples);
    FrameReader frames(stream, samples, kChunkFrames);
    const uint64_t dataBytes = static_cast<uint64_t>(rows) * frames.frameSize();
    const SampleRate rate =
        SampleRateOf(samples.header.timeIncrement, SampleRateLimit(ExportFormat::Wav));
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate.hertz);
    info.channels = static_cast<int>(samples.columnCount);
    // The columns of a waveform are all of one kind.
    info.format = (dataBytes + kHeaderRoom > UINT32_MAX ? SF_FORMAT_RF64 : SF_FORMAT_WAV) |
                  SubtypeOf(samples.columns[0].kind);
    Destination out;
    out.sink = &sink;
    SF_VIRTUAL_IO io{Length, Seek, Read, Write, Tell};
    SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &out);
    if (file == nullptr) {
        // Every write done before the file is discarded.
        FlushTextSink(sink);
        if (sink.error != 0) {
            result.writeError = sink.error;
            return result;
        }
        throw std::bad_alloc();  // libsndfile refuses only for want of memory here
    }
    // A PEAK chunk would hold the time of day: the same capture must give
    // the same file.
    sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    bool stopped = false;
    bool failed = false;  // a write libsndfile did not complete
    for (int64_t first = 0; first < rows && !failed; first += kChunkFrames) {
        const auto count = static_cast<size_t>(std::min<int64_t>(kChunkFrames, rows - first));
        if (Stopped(stop)) {
            stopped = true;
            break;
        }
        if (!frames.Load(first, count)) {
            result.readFailed = true;
            break;
        }
        const auto bytes = static_cast<sf_count_t>(count * frames.frameSize());
        failed = sf_write_raw(file, frames.frames(), bytes) != bytes;
    }
    failed = sf_close(file) != 0 || failed;
    // Every write done before the file is placed or discarded.
    FlushTextSink(sink);
    result.writeError = sink.error != 0 ? sink.error : failed ? EIO : 0;
    result.written = result.writeError == 0 && !result.readFailed && !stopped;
    return result;
}

}  // namespace quillwave
