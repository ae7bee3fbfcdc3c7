// Splits the grid into its smooth part (kept in the grid) and its fine detail.
#pragma once

#include <cstdint>

#include "imageproc/core/kernel_path.h"

namespace qor::imageproc {

// Filters every column with `kernel` (2 x radius + 1 taps) along u, then along v, mirroring
// about the edges; sums run in double in ascending tap order. Column by column, left to right:
// after Column(u), columns[u][v] holds the smooth value S and detail[u * height + v] the detail
// G - S (S before rounding to float). Every column must be done, in order, before the grid is
// read elsewhere; with a Range, every column of the range, in order.
class Smoother {
public:
    struct Buffers {
        const float** sourceColumns; // 2 x radius + 1 entries
        float* paddedColumn;         // height + 2 x radius entries
        float* savedColumns;         // radius x height entries: originals of columns overwritten
    };

    // A range of columns [begin, end) smoothed on its own while other threads smooth the
    // others: the originals of the `radius` columns on each side, copied before any range
    // started (column begin - radius + j at before + j x height, column end + j at after + j x
    // height). Ranges must be at least `radius` columns wide.
    struct Range {
        int32_t begin;
        int32_t end;
        const float* before;
        const float* after;
    };

    Smoother(float* const* columns, int32_t width, int32_t height, const float* kernel,
             int32_t radius, float* detail, const Buffers& buffers, KernelPath path);
    Smoother(float* const* columns, int32_t width, int32_t height, const float* kernel,
             int32_t radius, float* detail, const Buffers& buffers, KernelPath path,
             const Range& range);

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
    bool m_bAvx2;
    Range m_range;
};

// The whole grid at once.
void SplitSmoothAndDetail(float* const* columns, int32_t width, int32_t height, const float* kernel,
                          int32_t radius, float* detail, const Smoother::Buffers& buffers,
                          KernelPath path);

} // namespace qor::imageproc
