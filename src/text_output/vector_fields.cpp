// Fields four at a time in vector arithmetic, exact by construction:
//
// "%f" of a binary32 v: |v| * 10^6 is exact in binary64 (24 + 14 significant
// bits), so rounding it to an integer, ties to even, gives printf's
// millionths exactly. Taken when every |v| is below 10.
//
// "%e" of a binary64 time t with decimal exponent k: the seven digits are
// |t| * 10^(6-k) rounded to an integer. 10^(6-k) is the nearest binary64 to
// the power (exact up to 10^22), so the product y carries two roundings of
// at most 2^-53 relative each: as y < 2^24, y is within 2^-28 of the exact
// Y. If y is farther than 2^-27 from a half-integer, Y lies on the same
// side of it, so round(y) = round(Y); otherwise (exact ties, and near-ties:
// about one time in 70 million) the times are declined and the exact scalar
// path decides. Taken when the eight times of a pair of quads share sign
// and binary exponent, and the decimal exponent is -99..98 (two exponent
// digits), which takes in every time base from 1e-99 to 1e98.
//
// "%i" of a count below 10^8 in magnitude: its eight digits with leading
// zeros, then shifted down over the zeros, the length found by comparing
// with the powers of ten.
//
// Digits are made four numbers at a time, eight per 64-bit lane, by the
// same divide-by-multiplication steps as the scalar formatter.
#include "text_output/vector_fields.h"

#include <atomic>

#include "text_output/decimal_powers.h"
#include "text_output/exponent_suffixes.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quillwave {

#if defined(__x86_64__)
namespace {

// Distance from a half-integer below which a rounded product is not trusted.
constexpr double kNearTie = 0.5 - 0x1p-27;

// Four numbers below 10^8, one per 64-bit lane, as eight ASCII digits each,
// most significant first in memory.
[[gnu::target("avx2")]] inline __m256i EightDigitsX4(__m256i n) {
    const __m256i high = _mm256_srli_epi64(_mm256_mul_epu32(n, _mm256_set1_epi64x(109951163)), 40);
    const __m256i low = _mm256_sub_epi64(n, _mm256_mul_epu32(high, _mm256_set1_epi64x(10000)));
    __m256i v = _mm256_or_si256(high, _mm256_slli_epi64(low, 32));  // 32-bit lanes below 10^4
    const __m256i hundreds = _mm256_srli_epi32(_mm256_mullo_epi32(v, _mm256_set1_epi32(10486)), 20);
    v = _mm256_or_si256(
        hundreds,
        _mm256_slli_epi32(_mm256_sub_epi32(v, _mm256_mullo_epi32(hundreds, _mm256_set1_epi32(100))),
                          16));  // 16-bit lanes below 100
    const __m256i tens = _mm256_srli_epi16(_mm256_mullo_epi16(v, _mm256_set1_epi16(103)), 10);
    v = _mm256_or_si256(
        tens,
        _mm256_slli_epi16(_mm256_sub_epi16(v, _mm256_mullo_epi16(tens, _mm256_set1_epi16(10))), 8));
    return _mm256_add_epi8(v, _mm256_set1_epi8('0'));
}

// Four numbers below 10^7 as "d.dddddd": the eight digits "0ddddddd" with
// the leading zero dropped and the point put after the first digit.
[[gnu::target("avx2")]] inline __m256i PointedSevenX4(__m256i n) {
    const __m256i digits = EightDigitsX4(n);
    const __m256i order = _mm256_setr_epi8(1, -1, 2, 3, 4, 5, 6, 7, 9, -1, 10, 11, 12, 13, 14, 15,
                                           1, -1, 2, 3, 4, 5, 6, 7, 9, -1, 10, 11, 12, 13, 14, 15);
    const __m256i point = _mm256_set1_epi64x(int64_t{'.'} << 8);
    return _mm256_or_si256(_mm256_shuffle_epi8(digits, order), point);
}

[[gnu::target("avx2")]] bool FormatTimeQuadsAvx2(int32_t firstIndex, double increment,
                                                 double origin, TimeQuadPair& pair) {
    // Two quads per call: the checks and constants below are shared, and
    // the two independent chains of arithmetic overlap.
    __m256d times[2];
    for (int q = 0; q < 2; ++q) {
        const __m128i indices =
            _mm_add_epi32(_mm_set1_epi32(firstIndex + 4 * q), _mm_setr_epi32(0, 1, 2, 3));
        times[q] =
            _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(indices), _mm256_set1_pd(increment)),
                          _mm256_set1_pd(origin));
    }
    // Sign and binary exponent, the top twelve bits, alike in all eight.
    const __m256i firstTops = _mm256_srli_epi64(_mm256_castpd_si256(times[0]), 52);
    const auto top = static_cast<uint64_t>(_mm256_extract_epi64(firstTops, 0));
    const __m256i expected = _mm256_set1_epi64x(static_cast<int64_t>(top));
    const __m256i same = _mm256_and_si256(
        _mm256_cmpeq_epi64(firstTops, expected),
        _mm256_cmpeq_epi64(_mm256_srli_epi64(_mm256_castpd_si256(times[1]), 52), expected));
    if (_mm256_movemask_pd(_mm256_castsi256_pd(same)) != 0xF) return false;
    const int biased = static_cast<int>(top & 0x7FF);
    if (biased == 0 || biased == 0x7FF) return false;  // zero, subnormal, inf, nan
    const int k = ((biased - 1023) * 78913) >> 18;     // floor(log10(2^(biased-1023)))
    if (k < -99 || k > 98) return false;
    const auto p = static_cast<size_t>(6 - k - kFirstDecimalPower);
    const __m256d power = _mm256_set1_pd(kDecimalPowers[p]);
    const __m256d powerBelow = _mm256_set1_pd(kDecimalPowers[p - 1]);
    constexpr uint64_t kSeparator = uint64_t{','} << 32 | uint64_t{' '} << 40;
    const __m256d suffix = _mm256_castsi256_pd(
        _mm256_set1_epi64x(static_cast<int64_t>(ExponentSuffix(k) | kSeparator)));
    const __m256d suffixAbove = _mm256_castsi256_pd(
        _mm256_set1_epi64x(static_cast<int64_t>(ExponentSuffix(k + 1) | kSeparator)));

    __m256d rounded[2];
    __m256d eightDigits[2];
    __m256d nearTie = _mm256_setzero_pd();
    for (int q = 0; q < 2; ++q) {
        // |t| * 10^p lies in [10^6, 2 * 10^7); at 10^7 or more the time has
        // one more decimal exponent and is scaled by 10^(p-1) instead.
        const __m256d magnitudes = _mm256_andnot_pd(_mm256_set1_pd(-0.0), times[q]);
        const __m256d scaledOnce = _mm256_mul_pd(magnitudes, power);
        eightDigits[q] = _mm256_cmp_pd(scaledOnce, _mm256_set1_pd(1e7), _CMP_GE_OQ);
        const __m256d scaled =
            _mm256_blendv_pd(scaledOnce, _mm256_mul_pd(magnitudes, powerBelow), eightDigits[q]);
        rounded[q] = _mm256_round_pd(scaled, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        const __m256d distance =
            _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(scaled, rounded[q]));
        nearTie =
            _mm256_or_pd(nearTie, _mm256_cmp_pd(distance, _mm256_set1_pd(kNearTie), _CMP_GT_OQ));
    }
    if (_mm256_movemask_pd(nearTie) != 0) return false;
    for (int q = 0; q < 2; ++q) {
        // Rounding up to 10^7 is 1.000000 of the next decimal exponent.
        const __m256d carried = _mm256_cmp_pd(rounded[q], _mm256_set1_pd(1e7), _CMP_EQ_OQ);
        const __m256d digits = _mm256_blendv_pd(rounded[q], _mm256_set1_pd(1e6), carried);
        TimeQuad& quad = pair.quads[q];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(quad.texts),
                            PointedSevenX4(_mm256_cvtepu32_epi64(_mm256_cvtpd_epi32(digits))));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(quad.suffixes),
                            _mm256_castpd_si256(_mm256_blendv_pd(
                                suffix, suffixAbove, _mm256_or_pd(eightDigits[q], carried))));
        quad.negative = (top >> 11) != 0;
    }
    return true;
}

[[gnu::target("avx2")]] bool FormatFixedQuadAvx2(const unsigned char* samples, FixedQuad& quad) {
    const __m128 values = _mm_loadu_ps(reinterpret_cast<const float*>(samples));
    const __m128 magnitudes = _mm_andnot_ps(_mm_set1_ps(-0.0f), values);
    // Below 10 (false for inf and nan) the millionths fit seven digits: the
    // largest binary32 below 10 is 9.99999905, so none rounds up to 10.000000.
    if (_mm_movemask_ps(_mm_cmplt_ps(magnitudes, _mm_set1_ps(10.0f))) != 0xF) return false;
    const __m256d micros =
        _mm256_round_pd(_mm256_mul_pd(_mm256_cvtps_pd(magnitudes), _mm256_set1_pd(1e6)),
                        _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256i texts = PointedSevenX4(_mm256_cvtepu32_epi64(_mm256_cvtpd_epi32(micros)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(quad.texts), texts);
    quad.negative = static_cast<uint32_t>(_mm_movemask_ps(values));
    return true;
}

[[gnu::target("avx2")]] bool FormatDecimalQuadAvx2(const unsigned char* samples,
                                                   DecimalQuad& quad) {
    const __m128i counts = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples));
    // Magnitudes below 10^8 (as unsigned, so that -2^31 stays out).
    const __m128i magnitudes = _mm_abs_epi32(counts);
    const __m128i fits =
        _mm_cmpeq_epi32(_mm_min_epu32(magnitudes, _mm_set1_epi32(99999999)), magnitudes);
    if (_mm_movemask_ps(_mm_castsi128_ps(fits)) != 0xF) return false;
    // Digits in each count: one, and one more for each power of ten reached.
    __m128i digitCount = _mm_set1_epi32(1);
    for (int32_t power = 10; power <= 10000000; power *= 10) {
        digitCount =
            _mm_sub_epi32(digitCount, _mm_cmpgt_epi32(magnitudes, _mm_set1_epi32(power - 1)));
    }
    // Eight digits with leading zeros, moved down over the zeros.
    const __m128i zeroBits = _mm_slli_epi32(_mm_sub_epi32(_mm_set1_epi32(8), digitCount), 3);
    const __m256i texts = _mm256_srlv_epi64(EightDigitsX4(_mm256_cvtepu32_epi64(magnitudes)),
                                            _mm256_cvtepu32_epi64(zeroBits));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(quad.texts), texts);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(quad.lengths), digitCount);
    quad.negative = static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(counts)));
    return true;
}

}  // namespace

namespace {
// Checked before main, so the processor's features must be read first.
bool ProcessorHasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}
// Atomic: a test (or a program, before its threads) may switch it while
// other threads format; the output is the same either way.
std::atomic<bool> vectorFieldsEnabled{ProcessorHasAvx2()};
}  // namespace

bool VectorFieldsSupported() { return vectorFieldsEnabled.load(std::memory_order_relaxed); }

void SetVectorFieldsEnabled(bool enabled) {
    vectorFieldsEnabled.store(enabled && ProcessorHasAvx2(), std::memory_order_relaxed);
}

bool FormatTimeQuads(int32_t firstIndex, double increment, double origin, TimeQuadPair& pair) {
    return VectorFieldsSupported() && FormatTimeQuadsAvx2(firstIndex, increment, origin, pair);
}

bool FormatFixedQuad(const unsigned char* samples, FixedQuad& quad) {
    return VectorFieldsSupported() && FormatFixedQuadAvx2(samples, quad);
}

bool FormatDecimalQuad(const unsigned char* samples, DecimalQuad& quad) {
    return VectorFieldsSupported() && FormatDecimalQuadAvx2(samples, quad);
}

#else  // no vector path on this architecture: every quad takes the scalar path

bool VectorFieldsSupported() { return false; }
void SetVectorFieldsEnabled(bool) {}
bool FormatTimeQuads(int32_t, double, double, TimeQuadPair&) { return false; }
bool FormatFixedQuad(const unsigned char*, FixedQuad&) { return false; }
bool FormatDecimalQuad(const unsigned char*, DecimalQuad&) { return false; }

#endif

}  // namespace quillwave
