// Writes the sample capture shipped in examples/: one waveform of each type,
// with the kinds of values an instrument would record.
//
//   make_sample_capture examples/sample.bin
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

#include "waveform_writer/waveform_writer.h"

using namespace quillwave::writer;

namespace {

constexpr int32_t kSamples = 400;
constexpr double kIncrement = 2.5e-6;  // 400 kS/s
constexpr double kOrigin = -5.0e-4;    // trigger in the middle of the record

// Small deterministic noise source, so the file is the same on every machine.
struct Noise {
    uint32_t state = 12345;
    float Next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    }
};

float Sine(int32_t i, double cycles, double amplitude) {
    return static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * cycles * i / kSamples));
}

WaveformSpec Header(int32_t type, int32_t buffers, const char* channel, const char* label) {
    return WaveformSpec{.waveformType = type,
                        .bufferCount = buffers,
                        .sampleCount = kSamples,
                        .timeIncrement = kIncrement,
                        .timeOrigin = kOrigin,
                        .summaryText1 = channel,
                        .summaryText2 = "08-DEC-2026",
                        .summaryText3 = "10:31:07",
                        .summaryText4 = label};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample_capture <output file>\n");
        return 2;
    }
    Noise noise;
    Bytes file;
    AppendFileHeader(file, 6);

    std::vector<float> normal, average, upper, lower;
    for (int32_t i = 0; i < kSamples; ++i) {
        normal.push_back(Sine(i, 2, 1.5) + 0.05f * noise.Next());
        average.push_back(Sine(i, 2, 1.5) + 0.01f * noise.Next());
        const float center = Sine(i, 1, 0.8);
        upper.push_back(center + 0.1f + 0.05f * std::fabs(noise.Next()));
        lower.push_back(center - 0.1f - 0.05f * std::fabs(noise.Next()));
    }
    AppendWaveformHeader(file, Header(1, 1, "CH1", "Sine 1.25 kHz"));
    AppendBuffer(file, AnalogBuffer(1, normal));

    AppendWaveformHeader(file, Header(2, 2, "CH2", "Envelope"));
    AppendBuffer(file, AnalogBuffer(3, upper));
    AppendBuffer(file, AnalogBuffer(2, lower));

    WaveformSpec averaged = Header(3, 1, "CH1", "Average");
    averaged.summaryNumber = 16;  // acquisitions averaged
    AppendWaveformHeader(file, averaged);
    AppendBuffer(file, AnalogBuffer(1, average));

    std::vector<int32_t> horizontal, vertical;
    for (int32_t i = 0; i < kSamples; ++i) {
        const double x = (i - kSamples / 2.0) / 80.0;
        const double y = (i - kSamples / 2.0) / 70.0;
        horizontal.push_back(static_cast<int32_t>(std::lround(5000.0 * std::exp(-x * x / 2.0))));
        vertical.push_back(static_cast<int32_t>(std::lround(1200.0 * std::exp(-y * y / 2.0))));
    }
    AppendWaveformHeader(file, Header(4, 1, "CH1", "Jitter"));
    AppendBuffer(file, HistogramBuffer(horizontal));
    AppendWaveformHeader(file, Header(5, 1, "CH1", "Amplitude"));
    AppendBuffer(file, HistogramBuffer(vertical));

    // A 16-bit counter on logic pods D0-D7 (first buffer) and D8-D15 (second).
    std::vector<unsigned char> low, high;
    for (int32_t i = 0; i < kSamples; ++i) {
        const auto counter = static_cast<uint32_t>(i * 37);
        low.push_back(static_cast<unsigned char>(counter));
        high.push_back(static_cast<unsigned char>(counter >> 8));
    }
    AppendWaveformHeader(file, Header(6, 2, "D0-D15", "Counter"));
    AppendBuffer(file, LogicBuffer(low));
    AppendBuffer(file, LogicBuffer(high));

    if (!WriteBytesToFile(argv[1], file)) {
        std::fprintf(stderr, "make_sample_capture: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
