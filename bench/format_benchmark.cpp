// Microbenchmarks of the number fields, against snprintf and std::to_chars
// (the exact alternatives), on values like those of real captures, one at a
// time and four at a time.
// Items per second are fields (or lines) per second.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "text_output/conversion.h"
#include "text_output/number_format.h"
#include "text_output/vector_fields.h"

namespace {

constexpr size_t kValues = 1 << 16;
constexpr size_t kMaxLineBytes = 128;

const std::vector<double>& Times() {
    static const std::vector<double> times = [] {
        std::vector<double> t(kValues);
        const quillwave::WaveformHeader header{.timeIncrement = 1e-9, .timeOrigin = -1e-2};
        for (size_t i = 0; i < kValues; ++i) {
            t[i] = quillwave::ComputeTimeFromIndex(static_cast<int32_t>(i * 301), header);
        }
        return t;
    }();
    return times;
}

const std::vector<float>& Samples() {
    static const std::vector<float> samples = [] {
        std::vector<float> s(kValues);
        std::mt19937 random(1);
        std::normal_distribution<float> noise(0.0f, 0.05f);
        for (size_t i = 0; i < kValues; ++i) {
            s[i] = 1.5f * std::sin(static_cast<float>(i) * 0.001f) + noise(random);
        }
        return s;
    }();
    return samples;
}

template <typename Format>
void Run(benchmark::State& state, Format format) {
    char text[128];
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(format(i & (kValues - 1), text));
        benchmark::ClobberMemory();
        ++i;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void ExponentOurs(benchmark::State& state) {
    Run(state, [](size_t i, char* out) { return quillwave::FormatExponent(Times()[i], out); });
}
void ExponentSnprintf(benchmark::State& state) {
    Run(state, [](size_t i, char* out) { return std::snprintf(out, 128, "%e", Times()[i]); });
}
void ExponentToChars(benchmark::State& state) {
    Run(state, [](size_t i, char* out) {
        return std::to_chars(out, out + 128, Times()[i], std::chars_format::scientific, 6).ptr;
    });
}
void FixedOurs(benchmark::State& state) {
    Run(state, [](size_t i, char* out) { return quillwave::FormatFixed(Samples()[i], out); });
}
void FixedSnprintf(benchmark::State& state) {
    Run(state, [](size_t i, char* out) {
        return std::snprintf(out, 128, "%f", static_cast<double>(Samples()[i]));
    });
}
void FixedToChars(benchmark::State& state) {
    Run(state, [](size_t i, char* out) {
        return std::to_chars(out, out + 128, static_cast<double>(Samples()[i]),
                             std::chars_format::fixed, 6)
            .ptr;
    });
}
void DecimalOurs(benchmark::State& state) {
    Run(state, [](size_t i, char* out) {
        return quillwave::FormatDecimal(static_cast<int32_t>(i * 2654435761u), out);
    });
}
void HexOurs(benchmark::State& state) {
    Run(state, [](size_t i, char* out) {
        return quillwave::FormatHex(static_cast<uint32_t>(i & 0xFF), out);
    });
}
// A whole "%e, %f\n" line, as a normal waveform writes it.
void NormalLineOurs(benchmark::State& state) {
    Run(state, [](size_t i, char* out) {
        size_t n = quillwave::FormatExponent(Times()[i], out);
        out[n++] = ',';
        out[n++] = ' ';
        n += quillwave::FormatFixed(Samples()[i], out + n);
        out[n++] = '\n';
        return n;
    });
}
void NormalLineSnprintf(benchmark::State& state) {
    Run(state, [](size_t i, char* out) {
        return std::snprintf(out, 128, "%e, %f\n", Times()[i], static_cast<double>(Samples()[i]));
    });
}

BENCHMARK(ExponentOurs);
BENCHMARK(ExponentToChars);
BENCHMARK(ExponentSnprintf);
BENCHMARK(FixedOurs);
BENCHMARK(FixedToChars);
BENCHMARK(FixedSnprintf);
BENCHMARK(DecimalOurs);
BENCHMARK(HexOurs);
BENCHMARK(NormalLineOurs);
BENCHMARK(NormalLineSnprintf);

}  // namespace

namespace {

// Throughput of whole runs of fields into a buffer, as the writers use them:
// `write(i, out)` writes the fields (or lines) of indices i..i+step-1 and
// returns the end. Items are fields (or lines).
template <typename Write>
void RunIntoBuffer(benchmark::State& state, size_t step, Write write) {
    std::vector<char> buffer(kValues * kMaxLineBytes);
    for (auto _ : state) {
        char* out = buffer.data();
        for (size_t i = 0; i < kValues; i += step) out = write(i, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kValues));
}

void ExponentRun(benchmark::State& state) {
    RunIntoBuffer(state, 1, [&times = Times()](size_t i, char* out) {
        return out + quillwave::FormatExponent(times[i], out);
    });
}
void FixedRun(benchmark::State& state) {
    RunIntoBuffer(state, 1, [&samples = Samples()](size_t i, char* out) {
        return out + quillwave::FormatFixed(samples[i], out);
    });
}
BENCHMARK(ExponentRun);
BENCHMARK(FixedRun);

// The four-at-a-time formatters (AVX2), in runs of quads, eight indices
// per step: times of consecutive indices, and "%e, %f" lines as the normal
// writer makes them. Skipped without AVX2.
template <typename WriteEight>
void RunQuads(benchmark::State& state, WriteEight writeEight) {
    if (!quillwave::VectorFieldsSupported()) return state.SkipWithError("no AVX2");
    RunIntoBuffer(state, 8, writeEight);
}

const unsigned char* StoredSamples() {
    return reinterpret_cast<const unsigned char*>(Samples().data());
}

void TimeQuadRun(benchmark::State& state) {
    RunQuads(state, [](size_t i, char* out) {
        quillwave::TimeQuadPair pair;
        if (!quillwave::FormatTimeQuads(static_cast<int32_t>(i), 1e-9, -1e-2, pair)) return out;
        for (const quillwave::TimeQuad& quad : pair.quads) {
            for (size_t j = 0; j < 4; ++j) out = quillwave::WriteTimeField(quad, j, out);
        }
        return out;
    });
}
void FixedQuadRun(benchmark::State& state) {
    RunQuads(state, [stored = StoredSamples()](size_t i, char* out) {
        for (size_t first = i; first < i + 8; first += 4) {
            quillwave::FixedQuad quad;
            if (!quillwave::FormatFixedQuad(stored + 4 * first, quad)) continue;
            for (size_t j = 0; j < 4; ++j) out = quillwave::WriteFixedField(quad, j, out);
        }
        return out;
    });
}
void NormalLineQuads(benchmark::State& state) {
    RunQuads(state, [stored = StoredSamples()](size_t i, char* out) {
        quillwave::TimeQuadPair times;
        if (!quillwave::FormatTimeQuads(static_cast<int32_t>(i), 1e-9, -1e-2, times)) return out;
        for (size_t q = 0; q < 2; ++q) {
            quillwave::FixedQuad values;
            if (!quillwave::FormatFixedQuad(stored + 4 * (i + 4 * q), values)) continue;
            for (size_t j = 0; j < 4; ++j) {
                out = quillwave::WriteFixedField(values, j,
                                                 quillwave::WriteTimeField(times.quads[q], j, out));
                *out++ = '\n';
            }
        }
        return out;
    });
}
BENCHMARK(TimeQuadRun);
BENCHMARK(FixedQuadRun);
BENCHMARK(NormalLineQuads);

}  // namespace

BENCHMARK_MAIN();
