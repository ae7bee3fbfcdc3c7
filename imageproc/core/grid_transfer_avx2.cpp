// The frame transfers with 256-bit vectors, for processors with AVX2; the instruction set is an
// attribute of each function, never of the whole file.
#include "imageproc/core/grid_transfer_avx2.h"

#include <cstddef>

#include "imageproc/core/avx2_target.h"

namespace qor::imageproc {

#if defined(QOR_AVX2_LOOPS)
namespace {

inline size_t At(int32_t major, int32_t stride, int32_t minor) {
    return static_cast<size_t>(major) * static_cast<size_t>(stride) + static_cast<size_t>(minor);
}

// Eight values of one column, rescaled as RescalePixel does: the product of two floats is exact
// in double, max(y, 0) turns negatives and NaN into 0, min(., 4095) keeps an infinite factor in
// range, and the truncation of anything in [0, 4095] is exact.
QOR_AVX2 inline __m256i RescaleEight(__m256 values, __m256d scale) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d top = _mm256_set1_pd(4095.0);
    __m256d lo = _mm256_mul_pd(scale, _mm256_cvtps_pd(_mm256_castps256_ps128(values)));
    __m256d hi = _mm256_mul_pd(scale, _mm256_cvtps_pd(_mm256_extractf128_ps(values, 1)));
    lo = _mm256_min_pd(_mm256_max_pd(lo, zero), top);
    hi = _mm256_min_pd(_mm256_max_pd(hi, zero), top);
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm256_cvttpd_epi32(lo)),
                                   _mm256_cvttpd_epi32(hi), 1);
}

// Rows of eight lanes become columns and back: r[k] lane j <- r[j] lane k.
QOR_AVX2 inline void Transpose8(__m256 r[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
    const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
    const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
    const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
    const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44);
    const __m256 s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44);
    const __m256 s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44);
    const __m256 s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44);
    const __m256 s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
    r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
    r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
    r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
    r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
    r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
    r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
    r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

} // namespace

QOR_AVX2 void LoadSquaresAvx2(const int32_t* image, int32_t width, int32_t height, float* columns,
                              int32_t u0, int32_t u1, int32_t v0, int32_t v1) {
    for (int32_t vNext = v0; vNext < v1; vNext += 8) {
        const int32_t v = vNext + 8 <= v1 ? vNext : v1 - 8;
        for (int32_t uNext = u0; uNext < u1; uNext += 8) {
            const int32_t u = uNext + 8 <= u1 ? uNext : u1 - 8;
            __m256 square[8];
            for (int32_t k = 0; k < 8; ++k) {
                square[k] = _mm256_cvtepi32_ps(_mm256_loadu_si256(
                    reinterpret_cast<const __m256i*>(image + At(v + k, width, u))));
            }
            Transpose8(square);
            for (int32_t k = 0; k < 8; ++k) {
                _mm256_storeu_ps(columns + At(u + k, height, v), square[k]);
            }
        }
    }
}

QOR_AVX2 void StoreSquaresAvx2(const float* columns, int32_t width, int32_t height, float scale,
                               int32_t* image, int32_t u0, int32_t u1, int32_t v0, int32_t v1) {
    const __m256d factor = _mm256_set1_pd(static_cast<double>(scale));
    for (int32_t uNext = u0; uNext < u1; uNext += 8) {
        const int32_t u = uNext + 8 <= u1 ? uNext : u1 - 8;
        for (int32_t vNext = v0; vNext < v1; vNext += 8) {
            const int32_t v = vNext + 8 <= v1 ? vNext : v1 - 8;
            // Each column's eight values are rescaled where they lie, then turned into rows.
            __m256 square[8];
            for (int32_t k = 0; k < 8; ++k) {
                square[k] = _mm256_castsi256_ps(
                    RescaleEight(_mm256_loadu_ps(columns + At(u + k, height, v)), factor));
            }
            Transpose8(square);
            for (int32_t k = 0; k < 8; ++k) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(image + At(v + k, width, u)),
                                    _mm256_castps_si256(square[k]));
            }
        }
    }
}

#else

void LoadSquaresAvx2(const int32_t*, int32_t, int32_t, float*, int32_t, int32_t, int32_t, int32_t) {
}

void StoreSquaresAvx2(const float*, int32_t, int32_t, float, int32_t*, int32_t, int32_t, int32_t,
                      int32_t) {}

#endif

} // namespace qor::imageproc
