// The accumulation and tone curve with 256-bit vectors, for processors with AVX2 and FMA. The
// functions carry their instruction set as an attribute instead of the whole file being compiled
// for it, so that no inline function shared with the SSE2 build can end up in its AVX2 form.
#include "imageproc/core/band_terms.h"

#include "imageproc/core/cpu_features.h"
#include "imageproc/core/avx2_target.h"

namespace qor::imageproc {

#if defined(QOR_AVX2_LOOPS)
namespace {

QOR_AVX2 inline __m256d RoundToFloat(__m256d x) {
    return _mm256_cvtps_pd(_mm256_cvtpd_ps(x));
}

// Four pixels: the same operations in the same order as MapPixel (tone_curve.h).
QOR_AVX2 inline __m256d MapPixelQuad(const ToneCurve& c, __m256d mx, __m256d mn, __m256d smooth,
                                     __m256d detail) {
    const __m256d a = _mm256_set1_pd(c.fullScale);
    const __m256d k = _mm256_set1_pd(c.k);
    const __m256d s = _mm256_set1_pd(c.strength);
    const __m256d top = _mm256_mul_pd(
        mx,
        _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_sub_pd(a, mx), k), s), _mm256_set1_pd(1.0)));
    const __m256d bottom =
        _mm256_sub_pd(mn, _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_sub_pd(a, mn), mn), k), s));
    const __m256d range = _mm256_sub_pd(mx, mn);
    const __m256d mapped = _mm256_add_pd(
        _mm256_add_pd(
            _mm256_div_pd(_mm256_mul_pd(_mm256_sub_pd(top, bottom), _mm256_sub_pd(smooth, mn)),
                          range),
            detail),
        bottom);
    const __m256d flat = _mm256_cmp_pd(range, _mm256_setzero_pd(), _CMP_EQ_OQ);
    return _mm256_blendv_pd(mapped, mn, flat);
}

// 8 x Eights consecutive pixels of the band starting `offset` rows in; only rows from `keep` on
// are written, so a group may overlap pixels already finished at the end of a band.
template <int Eights>
QOR_AVX2 void MapGroup(const Band& band, int32_t offset, int32_t keep, const ToneCurve& curve,
                       float* grid, const float* detail) {
    __m256d maxAcc[2 * Eights];
    __m256d minAcc[2 * Eights];
    __m256 weightAcc[Eights];
    for (int q = 0; q < Eights; ++q) {
        maxAcc[2 * q] = maxAcc[2 * q + 1] = _mm256_setzero_pd();
        minAcc[2 * q] = minAcc[2 * q + 1] = _mm256_setzero_pd();
        weightAcc[q] = _mm256_setzero_ps();
    }
    for (int32_t i = 0; i < band.count; ++i) {
        const Term& term = band.terms[i];
        const __m256 column = _mm256_set1_ps(term.column);
        const __m256d blockMax = _mm256_set1_pd(term.blockMax);
        const __m256d blockMin = _mm256_set1_pd(term.blockMin);
        for (int q = 0; q < Eights; ++q) {
            // A float product or sum of two floats equals the double result rounded to float.
            const __m256 w = _mm256_mul_ps(column, _mm256_loadu_ps(term.row + offset + 8 * q));
            weightAcc[q] = _mm256_add_ps(weightAcc[q], w);
            const __m256d w0 = _mm256_cvtps_pd(_mm256_castps256_ps128(w));
            const __m256d w1 = _mm256_cvtps_pd(_mm256_extractf128_ps(w, 1));
            // Bmax, Bmin and w are floats: their products have at most 24 + 24 significant bits
            // and are exact in double (no overflow or underflow either), so the fused
            // multiply-add rounds exactly once, where the separate add does.
            maxAcc[2 * q] = RoundToFloat(_mm256_fmadd_pd(blockMax, w0, maxAcc[2 * q]));
            maxAcc[2 * q + 1] = RoundToFloat(_mm256_fmadd_pd(blockMax, w1, maxAcc[2 * q + 1]));
            minAcc[2 * q] = RoundToFloat(_mm256_fmadd_pd(blockMin, w0, minAcc[2 * q]));
            minAcc[2 * q + 1] = RoundToFloat(_mm256_fmadd_pd(blockMin, w1, minAcc[2 * q + 1]));
        }
    }
    for (int q = 0; q < Eights; ++q) {
        const int32_t at = offset + 8 * q;
        const __m256d w0 = _mm256_cvtps_pd(_mm256_castps256_ps128(weightAcc[q]));
        const __m256d w1 = _mm256_cvtps_pd(_mm256_extractf128_ps(weightAcc[q], 1));
        const __m256 g = _mm256_loadu_ps(grid + at);
        const __m256 d = _mm256_loadu_ps(detail + at);
        const __m256d lo = MapPixelQuad(curve, RoundToFloat(_mm256_div_pd(maxAcc[2 * q], w0)),
                                        RoundToFloat(_mm256_div_pd(minAcc[2 * q], w0)),
                                        _mm256_cvtps_pd(_mm256_castps256_ps128(g)),
                                        _mm256_cvtps_pd(_mm256_castps256_ps128(d)));
        const __m256d hi = MapPixelQuad(curve, RoundToFloat(_mm256_div_pd(maxAcc[2 * q + 1], w1)),
                                        RoundToFloat(_mm256_div_pd(minAcc[2 * q + 1], w1)),
                                        _mm256_cvtps_pd(_mm256_extractf128_ps(g, 1)),
                                        _mm256_cvtps_pd(_mm256_extractf128_ps(d, 1)));
        const __m256 mapped =
            _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo)), _mm256_cvtpd_ps(hi), 1);
        // "Above 4095 becomes 4095": min(cap, x) keeps x when x is NaN, like MapPixel.
        const __m256 out = _mm256_min_ps(_mm256_set1_ps(kEnhancedCap), mapped);
        const int32_t skip = keep - at;
        if (skip <= 0) {
            _mm256_storeu_ps(grid + at, out);
        } else if (skip < 8) {
            alignas(32) float lanes[8];
            _mm256_store_ps(lanes, out);
            for (int32_t lane = skip; lane < 8; ++lane) {
                grid[at + lane] = lanes[lane];
            }
        }
    }
}

// Pixels per pass: each accumulator waits for its previous sum to be rounded, so more of them
// in flight hide that latency; on x86_64 three groups of eight measured fastest (a few
// accumulators wait in memory), on i686 one.
#if defined(__x86_64__)
constexpr int kWideEights = 3;
#else
constexpr int kWideEights = 1;
#endif

} // namespace

QOR_AVX2 void MapBandAvx2(const Band& band, int32_t length, const ToneCurve& curve, float* grid,
                          const float* detail) {
    constexpr int32_t wide = 8 * kWideEights;
    int32_t v = 0;
    for (; length - v >= wide; v += wide) {
        MapGroup<kWideEights>(band, v, v, curve, grid, detail);
    }
    for (; length - v >= 8 && kWideEights == 1; v += 8) {
        MapGroup<1>(band, v, v, curve, grid, detail);
    }
    const int32_t rest = length - v;
    if (rest == 0) {
        return;
    }
    if (length < 8) {
        for (; v < length; ++v) {
            MapPixelScalar(band, v, curve, grid[v], detail[v]);
        }
        return;
    }
    // The last rows in one pass whose groups end at the band's end and overlap rows already done
    // (written only from v).
    if (kWideEights >= 3 && rest > 16 && length >= 24) {
        MapGroup<3>(band, length - 24, v, curve, grid, detail);
    } else if (kWideEights >= 2 && rest > 8 && rest <= 16 && length >= 16) {
        MapGroup<2>(band, length - 16, v, curve, grid, detail);
    } else {
        for (; length - v > 8; v += 8) {
            MapGroup<1>(band, v, v, curve, grid, detail);
        }
        MapGroup<1>(band, length - 8, v, curve, grid, detail);
    }
}

#else

void MapBandAvx2(const Band& band, int32_t length, const ToneCurve& curve, float* grid,
                 const float* detail) {
    for (int32_t v = 0; v < length; ++v) {
        MapPixelScalar(band, v, curve, grid[v], detail[v]);
    }
}

#endif

} // namespace qor::imageproc
