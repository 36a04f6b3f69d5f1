// Writes large captures for the end-to-end benchmark:
//   make_bench_capture normal|average|peak|histogram|logic SAMPLES PATH [ORIGIN INCREMENT]
//       one waveform of that type with SAMPLES realistic samples, its time
//       base -1e-2 s and 1 ns unless given
//   make_bench_capture many COUNT PATH
//       COUNT normal waveforms of 32769 samples each (just over one chunk of
//       the conversion), for the cost of each waveform's start
//   make_bench_capture sparse MEGABYTES PATH
//       four normal waveforms whose buffers together take MEGABYTES, stored
//       as holes (a sparse file), for timing a listing
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>

#include "waveform_writer/waveform_writer.h"

using namespace quillwave::writer;

namespace {

struct Noise {
    uint32_t state = 2463534242u;
    float Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    }
};

std::vector<float> Analog(int32_t samples, double amplitude, Noise& noise) {
    std::vector<float> values(static_cast<size_t>(samples));
    for (int32_t i = 0; i < samples; ++i) {
        values[static_cast<size_t>(i)] = static_cast<float>(
            amplitude * std::sin(2.0 * std::numbers::pi * i / 100000.0) + 0.05 * noise.Next());
    }
    return values;
}

Bytes MakeCapture(const std::string& type, int32_t samples, double origin, double increment) {
    Noise noise;
    Bytes file;
    AppendFileHeader(file, 1);
    WaveformSpec spec{.bufferCount = 1,
                      .sampleCount = samples,
                      .timeIncrement = increment,
                      .timeOrigin = origin,
                      .summaryText1 = "CH1"};
    if (type == "normal" || type == "average") {
        spec.waveformType = type == "normal" ? 1 : 3;
        AppendWaveformHeader(file, spec);
        AppendBuffer(file, AnalogBuffer(1, Analog(samples, 1.5, noise)));
    } else if (type == "peak") {
        spec.waveformType = 2;
        spec.bufferCount = 2;
        AppendWaveformHeader(file, spec);
        std::vector<float> upper = Analog(samples, 1.5, noise);
        std::vector<float> lower = upper;
        for (float& v : upper) v += 0.1f;
        for (float& v : lower) v -= 0.1f;
        AppendBuffer(file, AnalogBuffer(3, upper));
        AppendBuffer(file, AnalogBuffer(2, lower));
    } else if (type == "histogram") {
        spec.waveformType = 5;
        AppendWaveformHeader(file, spec);
        std::vector<int32_t> counts(static_cast<size_t>(samples));
        for (int32_t i = 0; i < samples; ++i) {
            const double x = (i - samples / 2.0) / (samples / 8.0);
            counts[static_cast<size_t>(i)] =
                static_cast<int32_t>(100000.0 * std::exp(-x * x / 2.0) + 50 * (noise.Next() + 0.5));
        }
        AppendBuffer(file, HistogramBuffer(counts));
    } else if (type == "logic") {
        spec.waveformType = 6;
        spec.bufferCount = 2;
        AppendWaveformHeader(file, spec);
        std::vector<unsigned char> low(static_cast<size_t>(samples));
        std::vector<unsigned char> high(static_cast<size_t>(samples));
        for (int32_t i = 0; i < samples; ++i) {
            const auto counter = static_cast<uint32_t>(i / 3);
            low[static_cast<size_t>(i)] = static_cast<unsigned char>(counter);
            high[static_cast<size_t>(i)] = static_cast<unsigned char>(counter >> 8);
        }
        AppendBuffer(file, LogicBuffer(low));
        AppendBuffer(file, LogicBuffer(high));
    } else {
        std::fprintf(stderr, "make_bench_capture: unknown type %s\n", type.c_str());
        std::exit(2);
    }
    return file;
}

Bytes MakeManyWaveforms(int32_t count) {
    constexpr int32_t kSamples = 32769;
    Noise noise;
    const std::vector<float> values = Analog(kSamples, 1.5, noise);
    Bytes file;
    AppendFileHeader(file, count);
    for (int32_t w = 0; w < count; ++w) {
        AppendWaveformHeader(file, {.sampleCount = kSamples,
                                    .timeIncrement = 1e-9,
                                    .timeOrigin = -1e-2,
                                    .summaryText1 = "CH1"});
        AppendBuffer(file, AnalogBuffer(1, values));
    }
    return file;
}

bool WriteSparse(int64_t megabytes, const char* path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    Bytes head;
    AppendFileHeader(head, 4);
    int64_t offset = 0;
    bool ok = true;
    const auto dataSize = static_cast<int32_t>(megabytes * 1024 * 1024 / 4);
    for (int w = 0; w < 4; ++w) {
        AppendWaveformHeader(head, {.sampleCount = dataSize / 4, .summaryText1 = "CH"});
        AppendBuffer(head, BufferSpec{.dataType = 1, .sampleWidth = 4, .dataSize = dataSize});
        ok =
            ok && pwrite(fd, head.data(), head.size(), offset) == static_cast<ssize_t>(head.size());
        offset += static_cast<int64_t>(head.size()) + dataSize;
        head.clear();
    }
    ok = ok && ftruncate(fd, offset) == 0;
    return close(fd) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr,
                     "usage: make_bench_capture normal|average|peak|histogram|logic SAMPLES PATH "
                     "[ORIGIN INCREMENT]\n"
                     "       make_bench_capture many COUNT PATH\n"
                     "       make_bench_capture sparse MEGABYTES PATH\n");
        return 2;
    }
    const std::string type = argv[1];
    const long long amount = std::atoll(argv[2]);
    if (type == "sparse") return WriteSparse(amount, argv[3]) ? 0 : 1;
    if (type == "many") {
        return WriteBytesToFile(argv[3], MakeManyWaveforms(static_cast<int32_t>(amount))) ? 0 : 1;
    }
    const double origin = argc == 6 ? std::atof(argv[4]) : -1e-2;
    const double increment = argc == 6 ? std::atof(argv[5]) : 1e-9;
    return WriteBytesToFile(argv[3],
                            MakeCapture(type, static_cast<int32_t>(amount), origin, increment))
               ? 0
               : 1;
}
