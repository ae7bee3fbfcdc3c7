// Local darkest and brightest smooth levels per tile, and their extremes over each blending block.
#include "imageproc/core/tile_extremes.h"

#include "imageproc/core/tile_extremes_avx2.h"

#include <algorithm>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qor::imageproc {
namespace {

// "Replace only when greater/smaller": a NaN never replaces, and the result does not depend on
// the visiting order (signed zeros aside, which weigh nothing later).
inline void Raise(float& current, float value) {
    if (value > current) {
        current = value;
    }
}

inline void Lower(float& current, float value) {
    if (value < current) {
        current = value;
    }
}

void ColumnExtremes(const float* values, int32_t begin, int32_t end, bool vector, float& hi,
                    float& lo) {
    int32_t v = begin;
#if defined(__SSE2__)
    if (vector && end - begin >= 4) {
        // _mm_max_ps(x, m) is "x > m ? x : m", the same rule as Raise.
        __m128 vhi = _mm_set1_ps(hi);
        __m128 vlo = _mm_set1_ps(lo);
        for (; v + 4 <= end; v += 4) {
            const __m128 x = _mm_loadu_ps(values + v);
            vhi = _mm_max_ps(x, vhi);
            vlo = _mm_min_ps(x, vlo);
        }
        alignas(16) float his[4];
        alignas(16) float los[4];
        _mm_store_ps(his, vhi);
        _mm_store_ps(los, vlo);
        for (int32_t i = 0; i < 4; ++i) {
            Raise(hi, his[i]);
            Lower(lo, los[i]);
        }
    }
#else
    (void)vector;
#endif
    for (; v < end; ++v) {
        Raise(hi, values[v]);
        Lower(lo, values[v]);
    }
}

} // namespace

void AddColumnExtremes(const float* column, int32_t u, const TileGeometry& g, float* tileMax,
                       float* tileMin, KernelPath path) {
    const bool vector = UsesVectorLoops(path);
    const bool avx2 = UsesAvx2Loops(path);
    const int32_t i = std::min(u / g.tileSize, g.tilesAcross - 1);
    for (int32_t j = 0; j < g.tilesDown; ++j) {
        const int32_t begin = j * g.tileSize;
        const int32_t end = j == g.tilesDown - 1 ? g.height : begin + g.tileSize;
        const size_t at = static_cast<size_t>(i) * g.tilesDown + j;
        if (avx2 && end - begin >= 8) {
            SegmentExtremesAvx2(column, begin, end, tileMax[at], tileMin[at]);
            continue;
        }
        ColumnExtremes(column, begin, end, vector, tileMax[at], tileMin[at]);
    }
}

void ComputeTileExtremes(const float* const* columns, const TileGeometry& g, float* tileMax,
                         float* tileMin, KernelPath path) {
    for (int32_t u = 0; u < g.width; ++u) {
        AddColumnExtremes(columns[u], u, g, tileMax, tileMin, path);
    }
}

void ComputeBlockExtremes(const TileGeometry& g, const float* tileMax, const float* tileMin,
                          BlockExtremes& blocks) {
    const int32_t q = g.tilesDown;
    auto over = [&](int32_t i0, int32_t i1, int32_t j0, int32_t j1, float& hi, float& lo) {
        hi = kMaxStart;
        lo = kMinStart;
        for (int32_t i = i0; i <= i1; ++i) {
            for (int32_t j = j0; j <= j1; ++j) {
                Raise(hi, tileMax[static_cast<size_t>(i) * q + j]);
                Lower(lo, tileMin[static_cast<size_t>(i) * q + j]);
            }
        }
    };
    const int32_t lastBi = g.tilesAcross - 4;
    const int32_t lastBj = g.tilesDown - 4;
    for (int32_t bi = 0; bi <= lastBi; ++bi) {
        for (int32_t bj = 0; bj <= lastBj; ++bj) {
            const size_t at = static_cast<size_t>(bi) * (lastBj + 1) + bj;
            over(bi, bi + 3, bj, bj + 3, blocks.innerMax[at], blocks.innerMin[at]);
        }
        over(bi, bi + 3, q - 2, q - 1, blocks.lastRowsMax[bi], blocks.lastRowsMin[bi]);
    }
    const int32_t r = g.tilesAcross;
    for (int32_t bj = 0; bj <= lastBj; ++bj) {
        over(r - 2, r - 1, bj, bj + 3, blocks.lastColsMax[bj], blocks.lastColsMin[bj]);
    }
    over(r - 2, r - 1, q - 2, q - 1, blocks.cornerMax, blocks.cornerMin);
}

} // namespace qor::imageproc
