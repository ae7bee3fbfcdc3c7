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
    const __m256d top =
        _mm256_mul_pd(mx, _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_sub_pd(a, mx), k), s),
                                        _mm256_set1_pd(1.0)));
    const __m256d bottom = _mm256_sub_pd(
        mn, _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_sub_pd(a, mn), mn), k), s));
    const __m256d range = _mm256_sub_pd(mx, mn);
    const __m256d mapped =
        _mm256_add_pd(_mm256_add_pd(_mm256_div_pd(_mm256_mul_pd(_mm256_sub_pd(top, bottom),
                                                                _mm256_sub_pd(smooth, mn)),
                                                  range),
                                    detail),
                      bottom);
    const __m256d flat = _mm256_cmp_pd(range, _mm256_setzero_pd(), _CMP_EQ_OQ);
    return _mm256_blendv_pd(mapped, mn, flat);
}

// Eight pixels: the accumulated extremes (two halves of four) divided by their weights, through
// the curve, capped. "Above 4095 becomes 4095": min(cap, x) keeps x when x is NaN, like MapPixel.
QOR_AVX2 inline __m256 MapEight(const ToneCurve& curve, const __m256d* maxAcc,
                                const __m256d* minAcc, __m256 weights, __m256 g, __m256 d) {
    const __m256d w0 = _mm256_cvtps_pd(_mm256_castps256_ps128(weights));
    const __m256d w1 = _mm256_cvtps_pd(_mm256_extractf128_ps(weights, 1));
    const __m256d lo = MapPixelQuad(curve, RoundToFloat(_mm256_div_pd(maxAcc[0], w0)),
                                    RoundToFloat(_mm256_div_pd(minAcc[0], w0)),
                                    _mm256_cvtps_pd(_mm256_castps256_ps128(g)),
                                    _mm256_cvtps_pd(_mm256_castps256_ps128(d)));
    const __m256d hi = MapPixelQuad(curve, RoundToFloat(_mm256_div_pd(maxAcc[1], w1)),
                                    RoundToFloat(_mm256_div_pd(minAcc[1], w1)),
                                    _mm256_cvtps_pd(_mm256_extractf128_ps(g, 1)),
                                    _mm256_cvtps_pd(_mm256_extractf128_ps(d, 1)));
    const __m256 mapped =
        _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo)), _mm256_cvtpd_ps(hi), 1);
    return _mm256_min_ps(_mm256_set1_ps(kEnhancedCap), mapped);
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
        const __m256 out = MapEight(curve, &maxAcc[2 * q], &minAcc[2 * q], weightAcc[q],
                                    _mm256_loadu_ps(grid + at), _mm256_loadu_ps(detail + at));
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

// One group of eight lanes in a paired pass: eight rows of one of the two columns, or (mixed)
// the same four rows of both, the first column in the low lanes.
struct Eight {
    int32_t column; // 0 or 1; unused for the mixed eight
    int32_t offset; // first row in the band
    int32_t keep;   // rows below are not written
};

// The same as MapGroup for two columns whose blocks are the same (only the column weights
// differ): the last of the eights is the mixed one when Mixed.
template <int Eights, bool Mixed>
QOR_AVX2 void MapPairGroup(const Band& first, const Band& second, const Eight* eights,
                           const ToneCurve& curve, float* const grid[2],
                           const float* const detail[2]) {
    constexpr int Plain = Mixed ? Eights - 1 : Eights;
    __m256d maxAcc[2 * Eights];
    __m256d minAcc[2 * Eights];
    __m256 weightAcc[Eights];
    const Term* columnTerms[Eights];
    for (int q = 0; q < Eights; ++q) {
        maxAcc[2 * q] = maxAcc[2 * q + 1] = _mm256_setzero_pd();
        minAcc[2 * q] = minAcc[2 * q + 1] = _mm256_setzero_pd();
        weightAcc[q] = _mm256_setzero_ps();
        columnTerms[q] = eights[q].column == 0 ? first.terms : second.terms;
    }
    for (int32_t i = 0; i < first.count; ++i) {
        const Term& term = first.terms[i];
        const __m256d blockMax = _mm256_set1_pd(term.blockMax);
        const __m256d blockMin = _mm256_set1_pd(term.blockMin);
        for (int q = 0; q < Eights; ++q) {
            __m256 w;
            if (q < Plain) {
                w = _mm256_mul_ps(_mm256_broadcast_ss(&columnTerms[q][i].column),
                                  _mm256_loadu_ps(term.row + eights[q].offset));
            } else {
                const __m256 columns =
                    _mm256_blend_ps(_mm256_broadcast_ss(&term.column),
                                    _mm256_broadcast_ss(&second.terms[i].column), 0xF0);
                w = _mm256_mul_ps(columns, _mm256_broadcast_ps(reinterpret_cast<const __m128*>(
                                               term.row + eights[q].offset)));
            }
            weightAcc[q] = _mm256_add_ps(weightAcc[q], w);
            const __m256d w0 = _mm256_cvtps_pd(_mm256_castps256_ps128(w));
            const __m256d w1 = _mm256_cvtps_pd(_mm256_extractf128_ps(w, 1));
            maxAcc[2 * q] = RoundToFloat(_mm256_fmadd_pd(blockMax, w0, maxAcc[2 * q]));
            maxAcc[2 * q + 1] = RoundToFloat(_mm256_fmadd_pd(blockMax, w1, maxAcc[2 * q + 1]));
            minAcc[2 * q] = RoundToFloat(_mm256_fmadd_pd(blockMin, w0, minAcc[2 * q]));
            minAcc[2 * q + 1] = RoundToFloat(_mm256_fmadd_pd(blockMin, w1, minAcc[2 * q + 1]));
        }
    }
    for (int q = 0; q < Eights; ++q) {
        const Eight& e = eights[q];
        const bool mixed = q >= Plain;
        __m256 g;
        __m256 d;
        if (mixed) {
            g = _mm256_loadu2_m128(grid[1] + e.offset, grid[0] + e.offset);
            d = _mm256_loadu2_m128(detail[1] + e.offset, detail[0] + e.offset);
        } else {
            g = _mm256_loadu_ps(grid[e.column] + e.offset);
            d = _mm256_loadu_ps(detail[e.column] + e.offset);
        }
        const __m256 out = MapEight(curve, &maxAcc[2 * q], &minAcc[2 * q], weightAcc[q], g, d);
        alignas(32) float lanes[8];
        const int32_t skip = e.keep - e.offset;
        if (!mixed) {
            if (skip <= 0) {
                _mm256_storeu_ps(grid[e.column] + e.offset, out);
                continue;
            }
            _mm256_store_ps(lanes, out);
            for (int32_t lane = skip; lane < 8; ++lane) {
                grid[e.column][e.offset + lane] = lanes[lane];
            }
            continue;
        }
        _mm256_store_ps(lanes, out);
        for (int32_t lane = skip < 0 ? 0 : skip; lane < 4; ++lane) {
            grid[0][e.offset + lane] = lanes[lane];
            grid[1][e.offset + lane] = lanes[4 + lane];
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

QOR_AVX2 void MapBandPairAvx2(const Band& first, const Band& second, int32_t length,
                              const ToneCurve& curve, float* const grid[2],
                              const float* const detail[2]) {
    if (length < 8) {
        MapBandAvx2(first, length, curve, grid[0], detail[0]);
        MapBandAvx2(second, length, curve, grid[1], detail[1]);
        return;
    }
    constexpr int32_t wide = 8 * kWideEights;
    int32_t v = 0;
    for (; length - v >= wide; v += wide) {
        MapGroup<kWideEights>(first, v, v, curve, grid[0], detail[0]);
        MapGroup<kWideEights>(second, v, v, curve, grid[1], detail[1]);
    }
    // The rest of both columns as eights of rows, and the last one to four rows of both in one
    // mixed eight instead of two eights that would be mostly overlap.
    Eight eights[6];
    int32_t count = 0;
    for (; length - v >= 8; v += 8) {
        eights[count++] = Eight{0, v, v};
        eights[count++] = Eight{1, v, v};
    }
    const int32_t rest = length - v;
    const bool mixed = rest > 0 && rest <= 4;
    if (rest > 4) {
        eights[count++] = Eight{0, length - 8, v};
        eights[count++] = Eight{1, length - 8, v};
    }
    int32_t q = 0;
    for (; count - q >= 3; q += 3) { // with a mixed eight, count is 0, 2 or 4
        MapPairGroup<3, false>(first, second, eights + q, curve, grid, detail);
    }
    if (mixed) {
        Eight* group = eights + q;
        const int32_t plain = count - q;
        group[plain] = Eight{0, length - 4, v};
        if (plain == 2) {
            MapPairGroup<3, true>(first, second, group, curve, grid, detail);
        } else if (plain == 1) {
            MapPairGroup<2, true>(first, second, group, curve, grid, detail);
        } else {
            MapPairGroup<1, true>(first, second, group, curve, grid, detail);
        }
        return;
    }
    if (count - q == 2) {
        MapPairGroup<2, false>(first, second, eights + q, curve, grid, detail);
    } else if (count - q == 1) {
        MapPairGroup<1, false>(first, second, eights + q, curve, grid, detail);
    }
}

#else

void MapBandAvx2(const Band& band, int32_t length, const ToneCurve& curve, float* grid,
                 const float* detail) {
    for (int32_t v = 0; v < length; ++v) {
        MapPixelScalar(band, v, curve, grid[v], detail[v]);
    }
}

void MapBandPairAvx2(const Band& first, const Band& second, int32_t length, const ToneCurve& curve,
                     float* const grid[2], const float* const detail[2]) {
    MapBandAvx2(first, length, curve, grid[0], detail[0]);
    MapBandAvx2(second, length, curve, grid[1], detail[1]);
}

#endif

} // namespace qor::imageproc
