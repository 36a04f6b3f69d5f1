// The WAV writer: libsndfile lays out the header, through virtual I/O onto
// the output's descriptor (it seeks back to finish the header); the samples
// go in as raw bytes, so their bits are exactly those stored (WAV is
// little-endian, as the capture's samples are).
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

#include "export_output/format_files.h"
#include "export_output/sample_files.h"

namespace quillwave {
namespace {

constexpr size_t kChunkFrames = 65536;
// Headers of WAV (and RF64's ds64) stay well under this; past 4 GiB less it
// a file is RF64.
constexpr uint64_t kHeaderRoom = 4096;

struct Descriptor {
    int fd = -1;
    sf_count_t position = 0;
    sf_count_t end = 0;
    int error = 0;
    uint64_t written = 0;
};

sf_count_t Length(void* state) { return static_cast<Descriptor*>(state)->end; }

sf_count_t Seek(sf_count_t offset, int whence, void* state) {
    auto& out = *static_cast<Descriptor*>(state);
    const sf_count_t base = whence == SEEK_CUR ? out.position : whence == SEEK_END ? out.end : 0;
    if (base + offset < 0) return -1;
    out.position = base + offset;
    return out.position;
}

sf_count_t Read(void* /*data*/, sf_count_t /*count*/, void* /*state*/) { return 0; }

sf_count_t Write(const void* data, sf_count_t count, void* state) {
    auto& out = *static_cast<Descriptor*>(state);
    if (out.error != 0) return 0;
    const auto* bytes = static_cast<const unsigned char*>(data);
    sf_count_t done = 0;
    while (done < count) {
        const ssize_t wrote = pwrite(out.fd, bytes + done, static_cast<size_t>(count - done),
                                     static_cast<off_t>(out.position));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            out.error = wrote < 0 ? errno : EIO;
            break;
        }
        done += wrote;
        out.position += wrote;
        out.written += static_cast<uint64_t>(wrote);
    }
    out.end = std::max(out.end, out.position);
    return done;
}

sf_count_t Tell(void* state) { return static_cast<Descriptor*>(state)->position; }

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

bool Stopped(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

}  // namespace

FormatFileResult WriteWavFile(InputStream& stream, const WaveformSamples& samples, int fd,
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
    Descriptor out;
    out.fd = fd;
    SF_VIRTUAL_IO io{Length, Seek, Read, Write, Tell};
    SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &out);
    if (file == nullptr) {
        if (out.error != 0) {
            result.writeError = out.error;
            return result;
        }
        throw std::bad_alloc();  // libsndfile refuses only for want of memory here
    }
    // A PEAK chunk would hold the time of day: the same capture must give
    // the same file.
    sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    bool stopped = false;
    for (int64_t first = 0; first < rows && out.error == 0; first += kChunkFrames) {
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
        if (sf_write_raw(file, frames.frames(), bytes) != bytes && out.error == 0) out.error = EIO;
    }
    const int closed = sf_close(file);
    if (closed != 0 && out.error == 0) out.error = EIO;
    result.bytes = out.written;
    result.writeError = out.error;
    result.written = out.error == 0 && !result.readFailed && !stopped;
    return result;
}

}  // namespace quillwave
