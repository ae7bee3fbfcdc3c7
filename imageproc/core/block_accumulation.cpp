// Blends the block extremes over the image and maps every pixel through the tone curve.
#include "imageproc/core/block_accumulation.h"

#include "imageproc/core/band_terms.h"

#include <algorithm>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qor::imageproc {
namespace {

// Pixels of column u in band t (rows t x tileSize .. (t+1) x tileSize - 1, clipped) lie in the
// same blocks; which ones depends only on u's tile column.
struct BandBlocks {
    int32_t biLo, biHi, bjLo, bjHi;
    int32_t v0, edgeU0, edgeV0;
    bool lastRows, lastCols;
};

BandBlocks BlocksOf(const TileGeometry& g, int32_t u, int32_t t) {
    const int32_t ts = g.tileSize;
    const int32_t lastBi = g.tilesAcross - 4;
    const int32_t lastBj = g.tilesDown - 4;
    BandBlocks k;
    k.biLo = std::max(0, u / ts - 3);
    k.biHi = std::min(lastBi, u / ts);
    k.bjLo = std::max(0, t - 3);
    k.bjHi = std::min(lastBj, t);
    k.v0 = t * ts;
    k.edgeU0 = lastBi * ts;
    k.edgeV0 = lastBj * ts;
    k.lastRows = k.v0 >= k.edgeV0;
    k.lastCols = u >= k.edgeU0;
    return k;
}

// The blocks, listed in the order they are visited.
void CollectTerms(const TileGeometry& g, const BlendProfiles& p, const BlockExtremes& b, int32_t u,
                  int32_t t, Band& band) {
    const int32_t ts = g.tileSize;
    const int32_t lastBj = g.tilesDown - 4;
    const BandBlocks k = BlocksOf(g, u, t);
    int32_t n = 0;
    for (int32_t bi = k.biLo; bi <= k.biHi; ++bi) {
        const float column = p.window[u - bi * ts];
        for (int32_t bj = k.bjLo; bj <= k.bjHi; ++bj) {
            const size_t at = static_cast<size_t>(bi) * (lastBj + 1) + bj;
            band.terms[n++] =
                Term{p.window + (k.v0 - bj * ts), b.innerMax[at], b.innerMin[at], column};
        }
    }
    if (k.lastRows) {
        for (int32_t bi = k.biLo; bi <= k.biHi; ++bi) {
            band.terms[n++] = Term{p.edgeV + (k.v0 - k.edgeV0), b.lastRowsMax[bi],
                                   b.lastRowsMin[bi], p.window[u - bi * ts]};
        }
    }
    if (k.lastCols) {
        const float column = p.edgeU[u - k.edgeU0];
        for (int32_t bj = k.bjLo; bj <= k.bjHi; ++bj) {
            band.terms[n++] =
                Term{p.window + (k.v0 - bj * ts), b.lastColsMax[bj], b.lastColsMin[bj], column};
        }
        if (k.lastRows) {
            band.terms[n++] = Term{p.edgeV + (k.v0 - k.edgeV0), b.cornerMax, b.cornerMin, column};
        }
    }
    band.count = n;
}

// Turns the terms of a band collected for another column of u's tile column into u's: only the
// column weights differ.
void SetColumnWeights(const TileGeometry& g, const BlendProfiles& p, int32_t u, int32_t t,
                      Band& band) {
    const int32_t ts = g.tileSize;
    const BandBlocks k = BlocksOf(g, u, t);
    Term* term = band.terms;
    for (int32_t bi = k.biLo; bi <= k.biHi; ++bi) {
        const float column = p.window[u - bi * ts];
        for (int32_t bj = k.bjLo; bj <= k.bjHi; ++bj) {
            (term++)->column = column;
        }
    }
    if (k.lastRows) {
        for (int32_t bi = k.biLo; bi <= k.biHi; ++bi) {
            (term++)->column = p.window[u - bi * ts];
        }
    }
    if (k.lastCols) {
        const float column = p.edgeU[u - k.edgeU0];
        for (int32_t bj = k.bjLo; bj <= k.bjHi; ++bj) {
            (term++)->column = column;
        }
        if (k.lastRows) {
            term->column = column;
        }
    }
}

#if defined(__SSE2__)
inline __m128d RoundToFloat(__m128d x) {
    return _mm_cvtps_pd(_mm_cvtpd_ps(x));
}

inline __m128d LowHalf(__m128 x) {
    return _mm_cvtps_pd(x);
}

inline __m128d HighHalf(__m128 x) {
    return _mm_cvtps_pd(_mm_movehl_ps(x, x));
}

// 4 x Quads consecutive pixels of the band starting `offset` rows in; only rows from `keep` on
// are written, so a group may overlap pixels already finished at the end of a band.
template <int Quads>
void MapGroup(const Band& band, int32_t offset, int32_t keep, const ToneCurve& curve, float* grid,
              const float* detail) {
    __m128d maxAcc[2 * Quads];
    __m128d minAcc[2 * Quads];
    __m128 weightAcc[Quads];
    for (int q = 0; q < Quads; ++q) {
        maxAcc[2 * q] = maxAcc[2 * q + 1] = _mm_setzero_pd();
        minAcc[2 * q] = minAcc[2 * q + 1] = _mm_setzero_pd();
        weightAcc[q] = _mm_setzero_ps();
    }
    for (int32_t i = 0; i < band.count; ++i) {
        const Term& term = band.terms[i];
        const __m128 column = _mm_set1_ps(term.column);
        const __m128d blockMax = _mm_set1_pd(term.blockMax);
        const __m128d blockMin = _mm_set1_pd(term.blockMin);
        for (int q = 0; q < Quads; ++q) {
            // A float product or sum of two floats equals the double result rounded to float:
            // only the accumulations of Bmax x w and Bmin x w need double arithmetic.
            const __m128 w = _mm_mul_ps(column, _mm_loadu_ps(term.row + offset + 4 * q));
            weightAcc[q] = _mm_add_ps(weightAcc[q], w);
            const __m128d w0 = LowHalf(w);
            const __m128d w1 = HighHalf(w);
            maxAcc[2 * q] = RoundToFloat(_mm_add_pd(maxAcc[2 * q], _mm_mul_pd(blockMax, w0)));
            maxAcc[2 * q + 1] =
                RoundToFloat(_mm_add_pd(maxAcc[2 * q + 1], _mm_mul_pd(blockMax, w1)));
            minAcc[2 * q] = RoundToFloat(_mm_add_pd(minAcc[2 * q], _mm_mul_pd(blockMin, w0)));
            minAcc[2 * q + 1] =
                RoundToFloat(_mm_add_pd(minAcc[2 * q + 1], _mm_mul_pd(blockMin, w1)));
        }
    }
    for (int q = 0; q < Quads; ++q) {
        const int32_t at = offset + 4 * q;
        const __m128d w0 = LowHalf(weightAcc[q]);
        const __m128d w1 = HighHalf(weightAcc[q]);
        const __m128 g = _mm_loadu_ps(grid + at);
        const __m128 d = _mm_loadu_ps(detail + at);
        const __m128d lo =
            MapPixelPair(curve, RoundToFloat(_mm_div_pd(maxAcc[2 * q], w0)),
                         RoundToFloat(_mm_div_pd(minAcc[2 * q], w0)), LowHalf(g), LowHalf(d));
        const __m128d hi =
            MapPixelPair(curve, RoundToFloat(_mm_div_pd(maxAcc[2 * q + 1], w1)),
                         RoundToFloat(_mm_div_pd(minAcc[2 * q + 1], w1)), HighHalf(g), HighHalf(d));
        const __m128 out = CapEnhanced(_mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)));
        const int32_t skip = keep - at;
        if (skip <= 0) {
            _mm_storeu_ps(grid + at, out);
        } else if (skip < 4) {
            alignas(16) float lanes[4];
            _mm_store_ps(lanes, out);
            for (int32_t lane = skip; lane < 4; ++lane) {
                grid[at + lane] = lanes[lane];
            }
        }
    }
}

// Pixels per group in fours: eight at a time measured fastest, both with the 16 xmm registers
// of x86_64 and when held to the 8 of i686 (where some accumulators spill either way).
constexpr int kGroupQuads = 2;

// Rows [0, length) of the band in groups, closing with one group that overlaps the last.
template <int Quads>
void MapBandVector(const Band& band, int32_t length, const ToneCurve& curve, float* grid,
                   const float* detail) {
    constexpr int32_t wide = 4 * Quads;
    int32_t v = 0;
    for (; length - v >= wide; v += wide) {
        MapGroup<Quads>(band, v, v, curve, grid, detail);
    }
    if (Quads > 1 && length - v > 4 && length >= wide) {
        MapGroup<Quads>(band, length - wide, v, curve, grid, detail);
        return;
    }
    for (; length - v >= 4; v += 4) {
        MapGroup<1>(band, v, v, curve, grid, detail);
    }
    if (v < length) {
        if (length >= 4) {
            MapGroup<1>(band, length - 4, v, curve, grid, detail);
            return;
        }
        for (; v < length; ++v) {
            MapPixelScalar(band, v, curve, grid[v], detail[v]);
        }
    }
}

#endif

} // namespace

void MapPixelScalar(const Band& band, int32_t offset, const ToneCurve& curve, float& grid,
                    float detail) {
    float maxAcc = 0.0f;
    float minAcc = 0.0f;
    float weightAcc = 0.0f;
    for (int32_t i = 0; i < band.count; ++i) {
        const Term& term = band.terms[i];
        const double w = static_cast<double>(static_cast<float>(
            static_cast<double>(term.column) * static_cast<double>(term.row[offset])));
        maxAcc = static_cast<float>(static_cast<double>(maxAcc) + term.blockMax * w);
        minAcc = static_cast<float>(static_cast<double>(minAcc) + term.blockMin * w);
        weightAcc = static_cast<float>(static_cast<double>(weightAcc) + w);
    }
    const float mx =
        static_cast<float>(static_cast<double>(maxAcc) / static_cast<double>(weightAcc));
    const float mn =
        static_cast<float>(static_cast<double>(minAcc) / static_cast<double>(weightAcc));
    grid = MapPixel(curve, mx, mn, grid, detail);
}

int32_t BandsDown(const TileGeometry& g) {
    return (g.height + g.tileSize - 1) / g.tileSize;
}

void AccumulateAndMap(float* const* columns, const float* detail, const TileGeometry& g,
                      const BlendProfiles& profiles, const BlockExtremes& blocks,
                      const ToneCurve& curve, KernelPath path, int32_t uBegin, int32_t uEnd,
                      Band* bandCache) {
    const bool vector = UsesVectorLoops(path);
    const bool avx2 = UsesAvx2Loops(path);
    const bool avx512 = UsesAvx512Loops(path);
    Band second;
    int32_t cachedTileColumn = -1;
    for (int32_t u = uBegin; u < uEnd; ++u) {
        const float* detailColumn = detail + static_cast<size_t>(u) * static_cast<size_t>(g.height);
        // The bands of a tile column are collected once; the next columns only change weights.
        if (u / g.tileSize != cachedTileColumn) {
            cachedTileColumn = u / g.tileSize;
            for (int32_t t = 0; t < BandsDown(g); ++t) {
                CollectTerms(g, profiles, blocks, u, t, bandCache[t]);
            }
        }
        // Two columns of the same tile column lie in the same blocks: the 256-bit loops do them
        // together, which leaves fewer rows over at the end of each band.
        const bool pair = avx2 && !avx512 && u + 1 < uEnd && u / g.tileSize == (u + 1) / g.tileSize;
        for (int32_t t = 0, v0 = 0; v0 < g.height; ++t, v0 += g.tileSize) {
            Band& band = bandCache[t];
            SetColumnWeights(g, profiles, u, t, band);
            const int32_t length = std::min(g.tileSize, g.height - v0);
            float* gridBand = columns[u] + v0;
            const float* detailBand = detailColumn + v0;
            if (pair) {
                second = band;
                SetColumnWeights(g, profiles, u + 1, t, second);
                float* const grids[2] = {gridBand, columns[u + 1] + v0};
                const float* const details[2] = {detailBand, detailBand + g.height};
                MapBandPairAvx2(band, second, length, curve, grids, details);
                continue;
            }
            if (avx512) {
                MapBandAvx512(band, length, curve, gridBand, detailBand);
                continue;
            }
            if (avx2) {
                MapBandAvx2(band, length, curve, gridBand, detailBand);
                continue;
            }
#if defined(__SSE2__)
            if (vector) {
                MapBandVector<kGroupQuads>(band, length, curve, gridBand, detailBand);
                continue;
            }
#else
            (void)vector;
#endif
            for (int32_t v = 0; v < length; ++v) {
                MapPixelScalar(band, v, curve, gridBand[v], detailBand[v]);
            }
        }
        if (pair) {
            ++u;
        }
    }
}

void AccumulateAndMap(float* const* columns, const float* detail, const TileGeometry& g,
                      const BlendProfiles& profiles, const BlockExtremes& blocks,
                      const ToneCurve& curve, KernelPath path) {
    std::vector<Band> bands(static_cast<size_t>(BandsDown(g)));
    AccumulateAndMap(columns, detail, g, profiles, blocks, curve, path, 0, g.width, bands.data());
}

} // namespace qor::imageproc
