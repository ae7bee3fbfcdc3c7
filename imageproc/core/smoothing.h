// Splits the grid into its smooth part (kept in the grid) and its fine detail.
#pragma once

#include <cstdint>

#include "imageproc/core/kernel_path.h"

namespace qor::imageproc {

// Filters every column with `kernel` (2 x radius + 1 taps) along u, then along v, mirroring
// about the edges; sums run in double in ascending tap order. Column by column, left to right:
// after Column(u), columns[u][v] holds the smooth value S and detail[u * height + v] the detail
// G - S (S before rounding to float). Every column must be done, in order, before the grid is
// read elsewhere.
class Smoother {
public:
    struct Buffers {
        const float** sourceColumns; // 2 x radius + 1 entries
        float* paddedColumn;         // height + 2 x radius entries
        float* savedColumns;         // radius x height entries: originals of columns overwritten
    };

    Smoother(float* const* columns, int32_t width, int32_t height, const float* kernel,
             int32_t radius, float* detail, const Buffers& buffers, KernelPath path);

    void Column(int32_t u);

private:
    const float* Original(int32_t column, int32_t current) const;

    float* const* m_pColumns;
    int32_t m_nWidth;
    int32_t m_nHeight;
    const float* m_pKernel;
    int32_t m_nRadius;
    float* m_pDetail;
    Buffers m_buffers;
    bool m_bVector;
};

// The whole grid at once.
void SplitSmoothAndDetail(float* const* columns, int32_t width, int32_t height, const float* kernel,
                          int32_t radius, float* detail, const Smoother::Buffers& buffers,
                          KernelPath path);

} // namespace qor::imageproc
