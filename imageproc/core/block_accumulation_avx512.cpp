// The accumulation and tone curve with 512-bit vectors, for processors with AVX-512F. As in the
// AVX2 file, the instruction set is an attribute of each function, never of the whole file.
#include "imageproc/core/band_terms.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
// GCC 12 takes the deliberately undefined start values inside its own AVX-512 conversion
// intrinsics for uninitialised ones.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#define QOR_AVX512 __attribute__((target("avx512f")))
#define QOR_AVX512_LOOPS 1
#endif

namespace qor::imageproc {

#if defined(QOR_AVX512_LOOPS)
namespace {

QOR_AVX512 inline __m512d RoundToFloat(__m512d x) {
    return _mm512_cvtps_pd(_mm512_cvtpd_ps(x));
}

QOR_AVX512 inline __m512d LowHalf(__m512 x) {
    return _mm512_cvtps_pd(_mm512_castps512_ps256(x));
}

QOR_AVX512 inline __m512d HighHalf(__m512 x) {
    return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)));
}

// Eight pixels: the same operations in the same order as MapPixel (tone_curve.h).
QOR_AVX512 inline __m512d MapPixelEight(const ToneCurve& c, __m512d mx, __m512d mn, __m512d smooth,
                                        __m512d detail) {
    const __m512d a = _mm512_set1_pd(c.fullScale);
    const __m512d k = _mm512_set1_pd(c.k);
    const __m512d s = _mm512_set1_pd(c.strength);
    const __m512d top = _mm512_mul_pd(
        mx, _mm512_add_pd(_mm512_mul_pd(_mm512_mul_pd(_mm512_sub_pd(a, mx), k), s),
                          _mm512_set1_pd(1.0)));
    const __m512d bottom = _mm512_sub_pd(
        mn, _mm512_mul_pd(_mm512_mul_pd(_mm512_mul_pd(_mm512_sub_pd(a, mn), mn), k), s));
    const __m512d range = _mm512_sub_pd(mx, mn);
    const __m512d mapped = _mm512_add_pd(
        _mm512_add_pd(
            _mm512_div_pd(_mm512_mul_pd(_mm512_sub_pd(top, bottom), _mm512_sub_pd(smooth, mn)),
                          range),
            detail),
        bottom);
    const __mmask8 flat = _mm512_cmp_pd_mask(range, _mm512_setzero_pd(), _CMP_EQ_OQ);
    return _mm512_mask_blend_pd(flat, mapped, mn);
}

// 16 x N consecutive pixels of the band from `offset`, sixteen to a register, all of them
// accumulated in the same pass over the blocks: each accumulator waits for its previous sum to be
// rounded, so the more of them are in flight, the less the rounding's latency shows. Lanes
// outside lanes[q] are neither read nor written (past the band's end). With HalfLast the last
// sixteen holds at most eight pixels (a 35-row band is 16 + 16 + 3): only its low half is
// accumulated and mapped, which saves a third of the band's double-precision work and changes no
// lane that is stored.
template <int N, bool HalfLast>
QOR_AVX512 void MapGroup(const Band& band, int32_t offset, const __mmask16* lanes,
                         const ToneCurve& curve, float* grid, const float* detail) {
    __m512d maxAcc[2 * N];
    __m512d minAcc[2 * N];
    __m512 weightAcc[N];
    for (int q = 0; q < N; ++q) {
        maxAcc[2 * q] = maxAcc[2 * q + 1] = _mm512_setzero_pd();
        minAcc[2 * q] = minAcc[2 * q + 1] = _mm512_setzero_pd();
        weightAcc[q] = _mm512_setzero_ps();
    }
    for (int32_t i = 0; i < band.count; ++i) {
        const Term& term = band.terms[i];
        const __m512 column = _mm512_set1_ps(term.column);
        const __m512d blockMax = _mm512_set1_pd(term.blockMax);
        const __m512d blockMin = _mm512_set1_pd(term.blockMin);
        for (int q = 0; q < N; ++q) {
            // A float product or sum of two floats equals the double result rounded to float.
            const __m512 w =
                _mm512_mul_ps(column, _mm512_maskz_loadu_ps(lanes[q], term.row + offset + 16 * q));
            weightAcc[q] = _mm512_add_ps(weightAcc[q], w);
            const __m512d w0 = LowHalf(w);
            // Bmax, Bmin and w are floats: their products have at most 24 + 24 significant bits
            // and are exact in double (no overflow or underflow either), so the fused
            // multiply-add rounds exactly once, where the separate add does.
            maxAcc[2 * q] = RoundToFloat(_mm512_fmadd_pd(blockMax, w0, maxAcc[2 * q]));
            minAcc[2 * q] = RoundToFloat(_mm512_fmadd_pd(blockMin, w0, minAcc[2 * q]));
            if (!(HalfLast && q == N - 1)) {
                const __m512d w1 = HighHalf(w);
                maxAcc[2 * q + 1] =
                    RoundToFloat(_mm512_fmadd_pd(blockMax, w1, maxAcc[2 * q + 1]));
                minAcc[2 * q + 1] =
                    RoundToFloat(_mm512_fmadd_pd(blockMin, w1, minAcc[2 * q + 1]));
            }
        }
    }
    for (int q = 0; q < N; ++q) {
        const int32_t at = offset + 16 * q;
        const __m512d w0 = LowHalf(weightAcc[q]);
        const __m512d w1 = HighHalf(weightAcc[q]);
        const __m512 g = _mm512_maskz_loadu_ps(lanes[q], grid + at);
        const __m512 d = _mm512_maskz_loadu_ps(lanes[q], detail + at);
        const __m512d lo = MapPixelEight(curve, RoundToFloat(_mm512_div_pd(maxAcc[2 * q], w0)),
                                         RoundToFloat(_mm512_div_pd(minAcc[2 * q], w0)),
                                         LowHalf(g), LowHalf(d));
        if (HalfLast && q == N - 1) {
            const __m512 mapped = _mm512_castpd_ps(
                _mm512_zextpd256_pd512(_mm256_castps_pd(_mm512_cvtpd_ps(lo))));
            _mm512_mask_storeu_ps(grid + at, lanes[q],
                                  _mm512_min_ps(_mm512_set1_ps(kEnhancedCap), mapped));
            continue;
        }
        const __m512d hi =
            MapPixelEight(curve, RoundToFloat(_mm512_div_pd(maxAcc[2 * q + 1], w1)),
                          RoundToFloat(_mm512_div_pd(minAcc[2 * q + 1], w1)), HighHalf(g),
                          HighHalf(d));
        const __m512 mapped = _mm512_castpd_ps(_mm512_insertf64x4(
            _mm512_castpd256_pd512(_mm256_castps_pd(_mm512_cvtpd_ps(lo))),
            _mm256_castps_pd(_mm512_cvtpd_ps(hi)), 1));
        // "Above 4095 becomes 4095": min(cap, x) keeps x when x is NaN, like MapPixel.
        _mm512_mask_storeu_ps(grid + at, lanes[q],
                              _mm512_min_ps(_mm512_set1_ps(kEnhancedCap), mapped));
    }
}

// Up to 64 pixels in one pass: the 32 registers of x86_64 hold four groups of accumulators; the
// eight of i686 hold one without spilling.
#if defined(__x86_64__)
constexpr int32_t kMaxSixteens = 4;
#else
constexpr int32_t kMaxSixteens = 1;
#endif

template <bool HalfLast>
QOR_AVX512 void MapGroups(int32_t sixteens, const Band& band, int32_t offset,
                          const __mmask16* lanes, const ToneCurve& curve, float* grid,
                          const float* detail) {
    switch (sixteens) {
    case 4:
        MapGroup<4, HalfLast>(band, offset, lanes, curve, grid, detail);
        break;
    case 3:
        MapGroup<3, HalfLast>(band, offset, lanes, curve, grid, detail);
        break;
    case 2:
        MapGroup<2, HalfLast>(band, offset, lanes, curve, grid, detail);
        break;
    default:
        MapGroup<1, HalfLast>(band, offset, lanes, curve, grid, detail);
        break;
    }
}

} // namespace

QOR_AVX512 void MapBandAvx512(const Band& band, int32_t length, const ToneCurve& curve, float* grid,
                              const float* detail) {
    for (int32_t v = 0; v < length;) {
        const int32_t take = length - v < 16 * kMaxSixteens ? length - v : 16 * kMaxSixteens;
        __mmask16 lanes[4];
        const int32_t sixteens = (take + 15) / 16;
        for (int32_t q = 0; q < sixteens; ++q) {
            const int32_t count = take - 16 * q < 16 ? take - 16 * q : 16;
            lanes[q] = static_cast<__mmask16>(count == 16 ? 0xFFFFu : (1u << count) - 1u);
        }
        if (take - 16 * (sixteens - 1) <= 8) {
            MapGroups<true>(sixteens, band, v, lanes, curve, grid, detail);
        } else {
            MapGroups<false>(sixteens, band, v, lanes, curve, grid, detail);
        }
        v += take;
    }
}

#else

void MapBandAvx512(const Band& band, int32_t length, const ToneCurve& curve, float* grid,
                   const float* detail) {
    for (int32_t v = 0; v < length; ++v) {
        MapPixelScalar(band, v, curve, grid[v], detail[v]);
    }
}

#endif

} // namespace qor::imageproc
