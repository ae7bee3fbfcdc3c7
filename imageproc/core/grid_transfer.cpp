// Moves a frame between the caller's row-major integers and the enhancement's column grid.
#include "imageproc/core/grid_transfer.h"

#include "imageproc/core/grid_transfer_avx2.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qor::imageproc {
namespace {

constexpr double kTopLevel = 4095.0;

inline size_t At(int32_t major, int32_t stride, int32_t minor) {
    return static_cast<size_t>(major) * static_cast<size_t>(stride) + static_cast<size_t>(minor);
}

inline int32_t RescalePixel(float scale, float value) {
    const double y = static_cast<double>(scale) * static_cast<double>(value);
    if (!(y >= 0.0)) { // negative, or NaN
        return 0;
    }
    return y >= kTopLevel ? 4095 : static_cast<int32_t>(y);
}

// Transposes in squares of `kBlock` so that both sides stay in cache.
constexpr int32_t kBlock = 32;

void LoadColumnsScalar(const int32_t* image, int32_t width, int32_t height, float* columns,
                       int32_t u0, int32_t u1, int32_t v0, int32_t v1) {
    for (int32_t v = v0; v < v1; ++v) {
        for (int32_t u = u0; u < u1; ++u) {
            columns[At(u, height, v)] = static_cast<float>(image[At(v, width, u)]);
        }
    }
}

void StoreScalar(const float* columns, int32_t width, int32_t height, float scale, int32_t* image,
                 int32_t u0, int32_t u1, int32_t v0, int32_t v1) {
    for (int32_t v = v0; v < v1; ++v) {
        for (int32_t u = u0; u < u1; ++u) {
            image[At(v, width, u)] = RescalePixel(scale, columns[At(u, height, v)]);
        }
    }
}

#if defined(__SSE2__)
// Squares of four rows by four columns, the ragged edges of the block by the scalar loop.
void LoadColumnsVector(const int32_t* image, int32_t width, int32_t height, float* columns,
                       int32_t u0, int32_t u1, int32_t v0, int32_t v1) {
    const int32_t uEnd = u0 + (u1 - u0) / 4 * 4;
    const int32_t vEnd = v0 + (v1 - v0) / 4 * 4;
    for (int32_t v = v0; v < vEnd; v += 4) {
        for (int32_t u = u0; u < uEnd; u += 4) {
            __m128 r0 = _mm_cvtepi32_ps(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(image + At(v, width, u))));
            __m128 r1 = _mm_cvtepi32_ps(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(image + At(v + 1, width, u))));
            __m128 r2 = _mm_cvtepi32_ps(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(image + At(v + 2, width, u))));
            __m128 r3 = _mm_cvtepi32_ps(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(image + At(v + 3, width, u))));
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            _mm_storeu_ps(columns + At(u, height, v), r0);
            _mm_storeu_ps(columns + At(u + 1, height, v), r1);
            _mm_storeu_ps(columns + At(u + 2, height, v), r2);
            _mm_storeu_ps(columns + At(u + 3, height, v), r3);
        }
        LoadColumnsScalar(image, width, height, columns, uEnd, u1, v, v + 4);
    }
    LoadColumnsScalar(image, width, height, columns, u0, u1, vEnd, v1);
}

// Same rule as RescalePixel: max(y, 0) turns negatives and NaN into 0, min(., 4095) keeps
// an infinite factor in range; trunc of anything in [0, 4095] is exact.
inline __m128i RescaleFour(__m128 values, __m128d scale) {
    const __m128d zero = _mm_setzero_pd();
    const __m128d top = _mm_set1_pd(kTopLevel);
    __m128d lo = _mm_mul_pd(scale, _mm_cvtps_pd(values));
    __m128d hi = _mm_mul_pd(scale, _mm_cvtps_pd(_mm_movehl_ps(values, values)));
    lo = _mm_min_pd(_mm_max_pd(lo, zero), top);
    hi = _mm_min_pd(_mm_max_pd(hi, zero), top);
    return _mm_unpacklo_epi64(_mm_cvttpd_epi32(lo), _mm_cvttpd_epi32(hi));
}

void StoreVector(const float* columns, int32_t width, int32_t height, float scale, int32_t* image,
                 int32_t u0, int32_t u1, int32_t v0, int32_t v1) {
    const __m128d factor = _mm_set1_pd(static_cast<double>(scale));
    const int32_t uEnd = u0 + (u1 - u0) / 4 * 4;
    const int32_t vEnd = v0 + (v1 - v0) / 4 * 4;
    for (int32_t u = u0; u < uEnd; u += 4) {
        for (int32_t v = v0; v < vEnd; v += 4) {
            __m128 c0 = _mm_loadu_ps(columns + At(u, height, v));
            __m128 c1 = _mm_loadu_ps(columns + At(u + 1, height, v));
            __m128 c2 = _mm_loadu_ps(columns + At(u + 2, height, v));
            __m128 c3 = _mm_loadu_ps(columns + At(u + 3, height, v));
            _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(image + At(v, width, u)),
                             RescaleFour(c0, factor));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(image + At(v + 1, width, u)),
                             RescaleFour(c1, factor));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(image + At(v + 2, width, u)),
                             RescaleFour(c2, factor));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(image + At(v + 3, width, u)),
                             RescaleFour(c3, factor));
        }
        StoreScalar(columns, width, height, scale, image, u, u + 4, vEnd, v1);
    }
    StoreScalar(columns, width, height, scale, image, uEnd, u1, v0, v1);
}
#endif

} // namespace

void LoadColumns(const int32_t* image, int32_t width, int32_t height, float* columns,
                 KernelPath path, int32_t uBegin, int32_t uEnd) {
    if (UsesAvx2Loops(path) && uEnd - uBegin >= 8 && height >= 8) {
        LoadSquaresAvx2(image, width, height, columns, uBegin, uEnd, 0, height);
        return;
    }
    const bool vector = UsesVectorLoops(path);
    for (int32_t v0 = 0; v0 < height; v0 += kBlock) {
        const int32_t v1 = height - v0 < kBlock ? height : v0 + kBlock;
        for (int32_t u0 = uBegin; u0 < uEnd; u0 += kBlock) {
            const int32_t u1 = uEnd - u0 < kBlock ? uEnd : u0 + kBlock;
#if defined(__SSE2__)
            if (vector) {
                LoadColumnsVector(image, width, height, columns, u0, u1, v0, v1);
                continue;
            }
#else
            (void)vector;
#endif
            LoadColumnsScalar(image, width, height, columns, u0, u1, v0, v1);
        }
    }
}

void LoadColumns(const int32_t* image, int32_t width, int32_t height, float* columns,
                 KernelPath path) {
    LoadColumns(image, width, height, columns, path, 0, width);
}

float LargestValue(const float* values, size_t count) {
    float max = 0.0f;
    size_t i = 0;
#if defined(__SSE2__)
    // _mm_max_ps(x, m) is "x > m ? x : m": the same rule per lane.
    __m128 lanes = _mm_setzero_ps();
    for (; i + 4 <= count; i += 4) {
        lanes = _mm_max_ps(_mm_loadu_ps(values + i), lanes);
    }
    alignas(16) float partial[4];
    _mm_store_ps(partial, lanes);
    for (const float value : partial) {
        if (value > max) {
            max = value;
        }
    }
#endif
    for (; i < count; ++i) {
        if (values[i] > max) {
            max = values[i];
        }
    }
    return max;
}

float RescaleFactor(float max) {
    return static_cast<float>(kTopLevel / static_cast<double>(max));
}

void StoreRescaled(const float* columns, int32_t width, int32_t height, float scale, int32_t* image,
                   KernelPath path, int32_t uBegin, int32_t uEnd) {
    if (UsesAvx2Loops(path) && uEnd - uBegin >= 8 && height >= 8) {
        StoreSquaresAvx2(columns, width, height, scale, image, uBegin, uEnd, 0, height);
        return;
    }
    const bool vector = UsesVectorLoops(path);
    for (int32_t u0 = uBegin; u0 < uEnd; u0 += kBlock) {
        const int32_t u1 = uEnd - u0 < kBlock ? uEnd : u0 + kBlock;
        for (int32_t v0 = 0; v0 < height; v0 += kBlock) {
            const int32_t v1 = height - v0 < kBlock ? height : v0 + kBlock;
#if defined(__SSE2__)
            if (vector) {
                StoreVector(columns, width, height, scale, image, u0, u1, v0, v1);
                continue;
            }
#else
            (void)vector;
#endif
            StoreScalar(columns, width, height, scale, image, u0, u1, v0, v1);
        }
    }
}

void StoreRescaled(const float* columns, int32_t width, int32_t height, float scale, int32_t* image,
                   KernelPath path) {
    StoreRescaled(columns, width, height, scale, image, path, 0, width);
}

} // namespace qor::imageproc
