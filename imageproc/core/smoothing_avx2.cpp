// The two passes of the smoothing with 256-bit vectors, for processors with AVX2 and FMA; the
// instruction set is an attribute of each function, never of the whole file.
#include "imageproc/core/smoothing_avx2.h"

#include "imageproc/core/avx2_target.h"

namespace qor::imageproc {

#if defined(QOR_AVX2_LOOPS)
namespace {

// Eight rows as two quadruples of doubles: sum += value x weight in ascending tap order. Value
// and weight are floats, so their product is exact in double and the fused multiply-add rounds
// exactly once, where the separate add does.
QOR_AVX2 inline void Accumulate(__m256 values, __m256d weight, __m256d& lo, __m256d& hi) {
    lo = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(values)), weight, lo);
    hi = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(values, 1)), weight, hi);
}

QOR_AVX2 inline __m256 ToFloats(__m256d lo, __m256d hi) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo)), _mm256_cvtpd_ps(hi),
                                1);
}

} // namespace

QOR_AVX2 int32_t FilterAcrossAvx2(const float* const* sources, const float* kernel, int32_t taps,
                                  int32_t height, float* out) {
    int32_t v = 0;
    for (; v + 8 <= height; v += 8) {
        __m256d lo = _mm256_setzero_pd();
        __m256d hi = _mm256_setzero_pd();
        for (int32_t k = 0; k < taps; ++k) {
            Accumulate(_mm256_loadu_ps(sources[k] + v),
                       _mm256_set1_pd(static_cast<double>(kernel[k])), lo, hi);
        }
        _mm256_storeu_ps(out + v, ToFloats(lo, hi));
    }
    return v;
}

QOR_AVX2 int32_t FilterDownAvx2(const float* padded, const float* kernel, int32_t taps,
                                int32_t height, float* grid, float* detail) {
    int32_t v = 0;
    for (; v + 8 <= height; v += 8) {
        __m256d lo = _mm256_setzero_pd();
        __m256d hi = _mm256_setzero_pd();
        for (int32_t k = 0; k < taps; ++k) {
            Accumulate(_mm256_loadu_ps(padded + v + k),
                       _mm256_set1_pd(static_cast<double>(kernel[k])), lo, hi);
        }
        // The detail is the original minus the smooth value before it is rounded to float.
        const __m256 g = _mm256_loadu_ps(grid + v);
        const __m256d dLo = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(g)), lo);
        const __m256d dHi = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(g, 1)), hi);
        _mm256_storeu_ps(detail + v, ToFloats(dLo, dHi));
        _mm256_storeu_ps(grid + v, ToFloats(lo, hi));
    }
    return v;
}

#else

int32_t FilterAcrossAvx2(const float* const*, const float*, int32_t, int32_t, float*) {
    return 0;
}

int32_t FilterDownAvx2(const float*, const float*, int32_t, int32_t, float*, float*) {
    return 0;
}

#endif

} // namespace qor::imageproc
