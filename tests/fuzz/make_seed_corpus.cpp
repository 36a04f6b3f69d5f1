// Writes the fuzzer's seed corpus: one small capture per waveform type and
// per damaged or crafted shape the tests know about. Each file starts with
// the fuzz target's command-line byte (see fuzz_program.cpp).
//
//   make_seed_corpus tests/fuzz/corpus
#include <cstdio>
#include <string>

#include "waveform_writer/waveform_writer.h"

using namespace quillwave::writer;

namespace {

constexpr unsigned char kListing = 0;
constexpr unsigned char kConvertToFiles = 8 | 7;
constexpr unsigned char kConvertToNull = 7;

Bytes Seed(unsigned char selector, int32_t waveforms) {
    Bytes file = {selector};
    AppendFileHeader(file, waveforms);
    return file;
}

Bytes EveryType(unsigned char selector) {
    Bytes file = Seed(selector, 7);
    const WaveformSpec base{.sampleCount = 3,
                            .timeIncrement = 1e-6,
                            .timeOrigin = -1e-6,
                            .summaryText1 = "CH",
                            .summaryText2 = "a",
                            .summaryText3 = "b",
                            .summaryText4 = "c"};
    WaveformSpec w = base;
    AppendWaveformHeader(file, w);
    AppendBuffer(file, AnalogBuffer(1, {0.5f, -0.25f, 1e30f}));
    w.waveformType = 2;
    w.bufferCount = 2;
    AppendWaveformHeader(file, w);
    AppendBuffer(file, AnalogBuffer(2, {-1.0f, -2.0f, -3.0f}));
    AppendBuffer(file, AnalogBuffer(3, {1.0f, 2.0f, 3.0f}));
    w = base;
    w.waveformType = 3;
    w.summaryNumber = 16;
    AppendWaveformHeader(file, w);
    AppendBuffer(file, AnalogBuffer(2, {0.0f, -0.0f, 1.5f}));
    w = base;
    w.waveformType = 4;
    AppendWaveformHeader(file, w);
    AppendBuffer(file, HistogramBuffer({0, 7, -1}));
    w.waveformType = 5;
    AppendWaveformHeader(file, w);
    AppendBuffer(file, HistogramBuffer({2147483647, 1, 2}));
    w.waveformType = 6;
    w.bufferCount = 2;
    AppendWaveformHeader(file, w);
    AppendBuffer(file, LogicBuffer({0x0A, 0x10, 0xFF}));
    AppendBuffer(file, LogicBuffer({0x05, 0x01, 0x00}));
    w.waveformType = 0;
    w.bufferCount = 1;
    AppendWaveformHeader(file, w);
    AppendBuffer(file, LogicBuffer({1, 2, 3}));
    return file;
}

Bytes LongHeaders() {
    Bytes file = Seed(kConvertToFiles & ~4, 1);
    AppendWaveformHeader(file, {.headerSize = 200, .sampleCount = 2});
    AppendBuffer(
        file,
        BufferSpec{.headerSize = 16, .dataType = 1, .sampleWidth = 4, .samples = Bytes(8, 0x3f)});
    return file;
}

Bytes ShortAndNegativeHeaders() {
    Bytes file = Seed(kListing, 4);
    AppendWaveformHeader(file, {.headerSize = 100});
    AppendWaveformHeader(file, {.headerSize = -4});
    AppendWaveformHeader(file, {.bufferCount = 2, .sampleCount = 1});
    AppendBuffer(file, BufferSpec{.headerSize = 3});
    AppendBuffer(file, BufferSpec{.dataSize = -200});
    return file;
}

Bytes LoopingBuffers(unsigned char selector) {
    Bytes file = Seed(selector, 2);
    AppendWaveformHeader(file, {.waveformType = 0, .bufferCount = 2147483647});
    AppendBuffer(file, BufferSpec{.dataSize = 0});
    AppendWaveformHeader(file, {.bufferCount = -156, .sampleCount = 1});
    AppendBuffer(file, AnalogBuffer(1, {2.5f}));
    return file;
}

Bytes ManyWaveformsDeclared() {
    Bytes file = Seed(kListing, 2147483647);
    AppendWaveformHeader(file, {.sampleCount = 1});
    AppendBuffer(file, AnalogBuffer(1, {1.0f}));
    return file;
}

Bytes Truncated() {
    Bytes file = EveryType(kConvertToNull);
    file.resize(file.size() - 5);
    return file;
}

Bytes HugeDeclaredSizes() {
    Bytes file = Seed(kConvertToNull, 2);
    AppendWaveformHeader(file, {.sampleCount = 536870911});
    AppendBuffer(file, BufferSpec{.dataType = 1, .sampleWidth = 4, .dataSize = 2147483647});
    const size_t header = file.size();
    AppendWaveformHeader(file, {});
    OverwriteI32(file, header, 2147483647);
    return file;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seed_corpus <folder>\n");
        return 2;
    }
    const std::string folder = argv[1];
    const std::pair<const char*, Bytes> seeds[] = {
        {"every-type-listing", EveryType(kListing)},
        {"every-type-files", EveryType(kConvertToFiles)},
        {"every-type-null", EveryType(kConvertToNull)},
        {"long-headers", LongHeaders()},
        {"short-and-negative-headers", ShortAndNegativeHeaders()},
        {"looping-buffers-listing", LoopingBuffers(kListing)},
        {"looping-buffers-conversion", LoopingBuffers(2)},
        {"many-waveforms-declared", ManyWaveformsDeclared()},
        {"truncated", Truncated()},
        {"huge-declared-sizes", HugeDeclaredSizes()},
        {"empty", Bytes{kListing}},
        {"bad-cookie", Bytes{kListing, 'X', 'V', '1', '0', 0, 0, 0, 0, 1, 0, 0, 0}},
    };
    for (const auto& [name, bytes] : seeds) {
        if (!WriteBytesToFile(folder + "/" + name, bytes)) {
            std::fprintf(stderr, "make_seed_corpus: cannot write %s/%s\n", folder.c_str(), name);
            return 1;
        }
    }
    return 0;
}
