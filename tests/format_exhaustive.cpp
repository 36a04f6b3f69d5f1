// Exhaustive proof of the number formatters against snprintf:
//   format_exhaustive fixed            every one of the 2^32 binary32 values
//                                      (also four at a time)
//   format_exhaustive exponent SCALE   binary64 values of every family,
//                                      SCALE x ~5.8 million of them, and
//                                      every integer below 10^7 (binary64
//                                      values also four at a time, and
//                                      SCALE x 200000 random time bases
//                                      per core, eight times each)
// Work is split over the machine's cores. Exit status 1 on any difference.
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "format_cases.h"

namespace {

std::mutex reportLock;
std::atomic<uint64_t> mismatches{0};

void Report(const std::string& difference) {
    if (difference.empty()) return;
    if (mismatches.fetch_add(1) < 20) {
        std::lock_guard<std::mutex> hold(reportLock);
        std::printf("MISMATCH %s\n", difference.c_str());
    }
}

unsigned Workers() { return std::max(1u, std::thread::hardware_concurrency()); }

// Every binary32 value through the scalar formatter, and in runs of four
// consecutive bit patterns through the four-at-a-time formatter.
uint64_t CheckAllFixed() {
    const unsigned workers = Workers();
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([w, workers] {
            for (uint64_t first = uint64_t{4} * w; first < (uint64_t{1} << 32);
                 first += uint64_t{4} * workers) {
                float values[4];
                for (uint32_t j = 0; j < 4; ++j) {
                    values[j] = std::bit_cast<float>(static_cast<uint32_t>(first + j));
                    Report(quillwave::testing::CompareFixed(values[j]));
                }
                Report(quillwave::testing::CompareFixedQuad(values));
            }
        });
    }
    for (std::thread& t : threads) t.join();
    return uint64_t{1} << 32;
}

uint64_t CheckExponent(uint64_t scale) {
    const unsigned workers = Workers();
    std::vector<std::thread> threads;
    std::atomic<uint64_t> checked{0};
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([w, scale, &checked] {
            uint64_t count = 0;
            quillwave::testing::ForEachExponentCase(scale, 1000 + w, [&](double value) {
                ++count;
                Report(quillwave::testing::CompareExponent(value));
                Report(quillwave::testing::CompareTimeQuads(0, 0.0, value));
            });
            // Eight distinct times per pair of quads, from random time bases.
            quillwave::testing::ForEachTimeBase(
                scale * 200000, 2000 + w, [&](int32_t first, double increment, double origin) {
                    count += 8;
                    Report(quillwave::testing::CompareTimeQuads(first, increment, origin));
                });
            checked += count;
        });
    }
    for (std::thread& t : threads) t.join();
    // Every integer below 10^7: each seven-digit mantissa the digit writer
    // can be given, from 1.000000 to 9.999999.
    for (uint32_t n = 1; n < 10000000; ++n) {
        Report(quillwave::testing::CompareExponent(static_cast<double>(n)));
    }
    return checked + 9999999;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t checked = 0;
    if (argc == 2 && std::strcmp(argv[1], "fixed") == 0) {
        checked = CheckAllFixed();
    } else if (argc == 3 && std::strcmp(argv[1], "exponent") == 0) {
        checked = CheckExponent(std::strtoull(argv[2], nullptr, 10));
    } else {
        std::fprintf(stderr, "usage: format_exhaustive fixed | exponent SCALE\n");
        return 2;
    }
    std::printf("%llu values checked, %llu mismatches\n", static_cast<unsigned long long>(checked),
                static_cast<unsigned long long>(mismatches.load()));
    return mismatches.load() == 0 ? 0 : 1;
}
