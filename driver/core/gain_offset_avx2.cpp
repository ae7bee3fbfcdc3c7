// The gain and offset correction of one row with 256-bit vectors; the instruction set is an
// attribute of the function, never of the whole file.
#include "driver/core/gain_offset_avx2.h"

#include "driver/core/flat_field.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QOR_GAIN_OFFSET_AVX2 1
#endif

namespace qor {

#if defined(QOR_GAIN_OFFSET_AVX2)

namespace {

// clamp(x * g + o + 0.5, 0, 4095) in double, each operation rounded on its own as in
// GainOffsetPixel (no fused multiply-add); max(y, 0) also turns NaN into 0.
__attribute__((target("avx2"))) inline __m128i FullFour(__m128i raw, __m128 gain, __m128 offset) {
    const __m256d y =
        _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(raw), _mm256_cvtps_pd(gain)),
                                    _mm256_cvtps_pd(offset)),
                      _mm256_set1_pd(0.5));
    return _mm256_cvttpd_epi32(
        _mm256_min_pd(_mm256_max_pd(y, _mm256_setzero_pd()), _mm256_set1_pd(4095.0)));
}

} // namespace

__attribute__((target("avx2"))) int64_t GainOffsetRowAvx2(int32_t* row, const float* gain,
                                                          const float* offset, int32_t n) {
    const __m256i darkEnd = _mm256_set1_epi32(kGainOffsetDarkEnd);
    const __m256i brightEnd = _mm256_set1_epi32(kGainOffsetBrightEnd);
    __m256i sum = _mm256_setzero_si256();
    int32_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + k));
        const __m256 g = _mm256_loadu_ps(gain + k);
        const __m256 o = _mm256_loadu_ps(offset + k);
        const __m128i rawLo = _mm256_castsi256_si128(raw);
        const __m128i rawHi = _mm256_extracti128_si256(raw, 1);
        sum = _mm256_add_epi64(
            sum, _mm256_add_epi64(_mm256_cvtepi32_epi64(rawLo), _mm256_cvtepi32_epi64(rawHi)));
        const __m256i corrected = _mm256_inserti128_si256(
            _mm256_castsi128_si256(
                FullFour(rawLo, _mm256_castps256_ps128(g), _mm256_castps256_ps128(o))),
            FullFour(rawHi, _mm256_extractf128_ps(g, 1), _mm256_extractf128_ps(o, 1)), 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + k), corrected);
        // The few pixels at the ends of the range take the blended formula.
        const __m256i ends =
            _mm256_or_si256(_mm256_cmpgt_epi32(darkEnd, raw), _mm256_cmpgt_epi32(raw, brightEnd));
        if (!_mm256_testz_si256(ends, ends)) {
            alignas(32) int32_t raws[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(raws), raw);
            const int mask = _mm256_movemask_ps(_mm256_castsi256_ps(ends));
            for (int32_t lane = 0; lane < 8; ++lane) {
                if ((mask >> lane) & 1) {
                    row[k + lane] = GainOffsetPixel(raws[lane], gain[k + lane], offset[k + lane]);
                }
            }
        }
    }
    alignas(32) int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sum);
    int64_t total = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    for (; k < n; ++k) {
        total += row[k];
        row[k] = GainOffsetPixel(row[k], gain[k], offset[k]);
    }
    return total;
}

#else

int64_t GainOffsetRowAvx2(int32_t* row, const float* gain, const float* offset, int32_t n) {
    int64_t total = 0;
    for (int32_t k = 0; k < n; ++k) {
        total += row[k];
        row[k] = GainOffsetPixel(row[k], gain[k], offset[k]);
    }
    return total;
}

#endif

} // namespace qor
