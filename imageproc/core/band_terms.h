// The blocks that cover one column segment within one band of tile rows, shared by the 128-bit
// and the 256-bit loops of the accumulation.
#pragma once

#include <cstdint>

#include "imageproc/core/tone_curve.h"

namespace qor::imageproc {

// One block's contribution to the pixels of a column segment within one band of tile rows:
// weight = float(column x row[v - band start]).
struct Term {
    const float* row;
    double blockMax;
    double blockMin;
    float column;
};

// Up to 4 x 4 inner blocks, 4 last-row, 4 last-column blocks and the corner.
constexpr int32_t kMaxTerms = 25;

struct Band {
    Term terms[kMaxTerms];
    int32_t count = 0;
};

// Pixel `offset` rows into the band, one at a time.
void MapPixelScalar(const Band& band, int32_t offset, const ToneCurve& curve, float& grid,
                    float detail);

// Rows [0, length) of the band with the 256-bit loops; only called where the processor runs
// AVX2 and FMA.
void MapBandAvx2(const Band& band, int32_t length, const ToneCurve& curve, float* grid,
                 const float* detail);

// The same for two neighbouring columns whose bands have the same blocks (only the column weights
// differ): the rows that do not fill groups of eight are done for both columns together.
void MapBandPairAvx2(const Band& first, const Band& second, int32_t length, const ToneCurve& curve,
                     float* const grid[2], const float* const detail[2]);

// The same with 512-bit loops; only called where the processor runs AVX-512F.
void MapBandAvx512(const Band& band, int32_t length, const ToneCurve& curve, float* grid,
                   const float* detail);

} // namespace qor::imageproc
