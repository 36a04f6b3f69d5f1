// The usual way to write a lossless export, kept as the export benchmark's
// baseline: each buffer read whole into a heap block, one fprintf per line
// with enough digits to read back exactly ("%.17g" for times, "%.9g" for
// binary32 values). Handles well-formed captures of the benchmark's types
// only, one waveform per capture.
//   printf_lossless INPUT OUTPUT
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

int32_t I32(const unsigned char* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}

bool ReadBytes(std::FILE* in, std::vector<unsigned char>& bytes, size_t count) {
    bytes.resize(count);
    return std::fread(bytes.data(), 1, count, in) == count;
}

// Reads one buffer's samples whole, as the baseline's design does.
bool ReadBuffer(std::FILE* in, std::vector<unsigned char>& samples) {
    std::vector<unsigned char> header;
    if (!ReadBytes(in, header, 12)) return false;
    std::fseek(in, I32(header.data()) - 12, SEEK_CUR);
    return ReadBytes(in, samples, static_cast<size_t>(I32(header.data() + 8)));
}

double F32(const std::vector<unsigned char>& b, size_t i) {
    float v;
    std::memcpy(&v, b.data() + 4 * i, 4);
    return static_cast<double>(v);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = std::fopen(argv[2], "w");
    std::vector<unsigned char> h;
    if (in == nullptr || out == nullptr || !ReadBytes(in, h, 12) || !ReadBytes(in, h, 144))
        return 1;
    std::fseek(in, I32(h.data()) - 144, SEEK_CUR);
    const int32_t type = I32(h.data() + 4);
    const int32_t buffers = I32(h.data() + 8);
    const int32_t samples = I32(h.data() + 12);
    double increment;
    double origin;
    std::memcpy(&increment, h.data() + 32, 8);
    std::memcpy(&origin, h.data() + 40, 8);
    std::vector<unsigned char> first;
    std::vector<unsigned char> second;
    if (!ReadBuffer(in, first)) return 1;
    if ((type == 2 || (type == 6 && buffers == 2)) && !ReadBuffer(in, second)) return 1;
    if (type == 1 || type == 3) {
        std::fputs("time,value\n", out);
    } else if (type == 2) {
        std::fputs("time,value1,value2\n", out);
    } else if (type == 4 || type == 5) {
        std::fputs("time,count\n", out);
    } else {
        std::fputs(second.empty() ? "time,byte1\n" : "time,byte1,byte2\n", out);
    }
    for (int32_t i = 0; i < samples; ++i) {
        const double time = static_cast<double>(i) * increment + origin;
        const auto s = static_cast<size_t>(i);
        if (type == 1 || type == 3) {
            std::fprintf(out, "%.17g,%.9g\n", time, F32(first, s));
        } else if (type == 2) {
            std::fprintf(out, "%.17g,%.9g,%.9g\n", time, F32(first, s), F32(second, s));
        } else if (type == 4 || type == 5) {
            std::fprintf(out, "%.17g,%d\n", time, I32(first.data() + 4 * s));
        } else if (second.empty()) {
            std::fprintf(out, "%.17g,%u\n", time, first[s]);
        } else {
            std::fprintf(out, "%.17g,%u,%u\n", time, first[s], second[s]);
        }
    }
    std::fclose(in);
    return std::fclose(out) == 0 ? 0 : 1;
}
