// Every binary32 value through the export's shortest formatter: its text
// must read back to the same bits with std::from_chars and through strtod
// and a cast (as numpy and pandas read float32 columns), and be no longer
// than std::to_chars' text unless that text fails the second way. Every NaN
// must be written "nan". Work is split
// over the machine's cores. Exit status 1 on any failure.
#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "export_output/shortest_number.h"

namespace {

std::mutex reportLock;
std::atomic<uint64_t> failures{0};

void Check(uint32_t bits) {
    const float value = std::bit_cast<float>(bits);
    char text[quillwave::kNumberRoom];
    char reference[quillwave::kNumberRoom];
    const size_t length = quillwave::FormatShortestFloat(value, text);
    const size_t referenceLength = quillwave::FormatShortestFloatWithToChars(value, reference);
    text[length] = '\0';
    float back = 0;
    const auto [end, problem] = std::from_chars(text, text + length, back);
    const auto viaDouble = static_cast<float>(std::strtod(text, nullptr));
    reference[referenceLength] = '\0';
    const auto referenceViaDouble = static_cast<float>(std::strtod(reference, nullptr));
    // Longer than std::to_chars' text only where that text does not read back
    // through binary64.
    const bool lengthGood =
        length <= referenceLength || std::bit_cast<uint32_t>(referenceViaDouble) != bits;
    const bool good =
        std::isnan(value)
            ? std::strcmp(text, "nan") == 0 && std::isnan(back) && std::isnan(viaDouble)
            : problem == std::errc() && end == text + length &&
                  std::bit_cast<uint32_t>(back) == bits &&
                  std::bit_cast<uint32_t>(viaDouble) == bits && lengthGood;
    if (!good && failures.fetch_add(1) < 20) {
        const std::lock_guard<std::mutex> hold(reportLock);
        std::printf("FAILURE %08x: '%s', std::to_chars '%.*s'\n", bits, text,
                    static_cast<int>(referenceLength), reference);
    }
}

}  // namespace

int main() {
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([w, workers] {
            for (uint64_t bits = w; bits < (uint64_t{1} << 32); bits += workers) {
                Check(static_cast<uint32_t>(bits));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::printf("4294967296 values checked, %llu failures\n",
                static_cast<unsigned long long>(failures.load()));
    return failures.load() == 0 ? 0 : 1;
}
