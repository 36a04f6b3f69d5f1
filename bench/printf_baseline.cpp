// The usual way to write such a converter, kept as the benchmark's baseline:
// each buffer read whole into a heap block, one fprintf per line. Handles
// well-formed captures of the benchmark's types only.
//   printf_baseline INPUT OUTPUT...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int32_t I32(const unsigned char* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}

std::vector<unsigned char> ReadBytes(std::FILE* in, size_t count) {
    std::vector<unsigned char> bytes(count);
    if (std::fread(bytes.data(), 1, count, in) != count) std::exit(1);
    return bytes;
}

// Reads one buffer's samples whole, as the baseline's design does.
std::vector<unsigned char> ReadBuffer(std::FILE* in) {
    const std::vector<unsigned char> header = ReadBytes(in, 12);
    std::fseek(in, I32(header.data()) - 12, SEEK_CUR);
    return ReadBytes(in, static_cast<size_t>(I32(header.data() + 8)));
}

float F32(const std::vector<unsigned char>& b, size_t i) {
    float v;
    std::memcpy(&v, b.data() + 4 * i, 4);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr) return 1;
    const std::vector<unsigned char> fileHeader = ReadBytes(in, 12);
    const int32_t waveforms = I32(fileHeader.data() + 8);
    for (int32_t w = 0; w < waveforms && w + 2 < argc; ++w) {
        const std::vector<unsigned char> h = ReadBytes(in, 144);
        std::fseek(in, I32(h.data()) - 144, SEEK_CUR);
        const int32_t type = I32(h.data() + 4);
        const int32_t buffers = I32(h.data() + 8);
        const int32_t samples = I32(h.data() + 12);
        double increment, origin;
        std::memcpy(&increment, h.data() + 32, 8);
        std::memcpy(&origin, h.data() + 40, 8);
        std::FILE* out = std::fopen(argv[w + 2], "w");
        const std::vector<unsigned char> first = ReadBuffer(in);
        const std::vector<unsigned char> second = (type == 2 || (type == 6 && buffers == 2))
                                                      ? ReadBuffer(in)
                                                      : std::vector<unsigned char>();
        for (int32_t i = 0; i < samples; ++i) {
            const double time = static_cast<double>(i) * increment + origin;
            const auto s = static_cast<size_t>(i);
            if (type == 1 || type == 3) {
                std::fprintf(out, "%e, %f\n", time, static_cast<double>(F32(first, s)));
            } else if (type == 2) {
                std::fprintf(out, "%e, %f, %f\n", time, static_cast<double>(F32(first, s)),
                             static_cast<double>(F32(second, s)));
            } else if (type == 4 || type == 5) {
                std::fprintf(out, "%e, %i\n", time, I32(first.data() + 4 * s));
            } else if (second.empty()) {
                std::fprintf(out, "%e, %x\n", time, first[s]);
            } else {
                std::fprintf(out, "%e, %x%x\n", time, second[s], first[s]);
            }
        }
        std::fclose(out);
    }
    std::fclose(in);
    return 0;
}
