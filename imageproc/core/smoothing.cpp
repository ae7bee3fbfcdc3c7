// Splits the grid into its smooth part (kept in the grid) and its fine detail.
#include "imageproc/core/smoothing.h"

#include "imageproc/core/smoothing_avx2.h"

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qor::imageproc {
namespace {

// -1 reads 0, -2 reads 1, size reads size - 1; one reflection suffices as radius < size.
int32_t Mirror(int32_t index, int32_t size) {
    if (index < 0) {
        return -index - 1;
    }
    if (index >= size) {
        return 2 * size - 1 - index;
    }
    return index;
}

// Pass along u for rows [begin, end), into out[v].
void FilterAcrossScalar(const float* const* sources, const float* kernel, int32_t taps,
                        int32_t begin, int32_t end, float* out) {
    for (int32_t v = begin; v < end; ++v) {
        double sum = 0.0;
        for (int32_t k = 0; k < taps; ++k) {
            sum += static_cast<double>(sources[k][v]) * static_cast<double>(kernel[k]);
        }
        out[v] = static_cast<float>(sum);
    }
}

// Pass along v for rows [begin, end): padded[v + k] is the first pass at row v + k - radius.
void FilterDownScalar(const float* padded, const float* kernel, int32_t taps, int32_t begin,
                      int32_t end, float* grid, float* detail) {
    for (int32_t v = begin; v < end; ++v) {
        double sum = 0.0;
        for (int32_t k = 0; k < taps; ++k) {
            sum += static_cast<double>(padded[v + k]) * static_cast<double>(kernel[k]);
        }
        detail[v] = static_cast<float>(static_cast<double>(grid[v]) - sum);
        grid[v] = static_cast<float>(sum);
    }
}

#if defined(__SSE2__)
// Four rows at once as two pairs of doubles: the same products and sums as the scalar loop.
int32_t FilterAcrossVector(const float* const* sources, const float* kernel, int32_t taps,
                           int32_t begin, int32_t height, float* out) {
    int32_t v = begin;
    for (; v + 4 <= height; v += 4) {
        __m128d lo = _mm_setzero_pd();
        __m128d hi = _mm_setzero_pd();
        for (int32_t k = 0; k < taps; ++k) {
            const __m128 g = _mm_loadu_ps(sources[k] + v);
            const __m128d weight = _mm_set1_pd(static_cast<double>(kernel[k]));
            lo = _mm_add_pd(lo, _mm_mul_pd(_mm_cvtps_pd(g), weight));
            hi = _mm_add_pd(hi, _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(g, g)), weight));
        }
        _mm_storeu_ps(out + v, _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)));
    }
    return v;
}

int32_t FilterDownVector(const float* padded, const float* kernel, int32_t taps, int32_t begin,
                         int32_t height, float* grid, float* detail) {
    int32_t v = begin;
    for (; v + 4 <= height; v += 4) {
        __m128d lo = _mm_setzero_pd();
        __m128d hi = _mm_setzero_pd();
        for (int32_t k = 0; k < taps; ++k) {
            const __m128 f = _mm_loadu_ps(padded + v + k);
            const __m128d weight = _mm_set1_pd(static_cast<double>(kernel[k]));
            lo = _mm_add_pd(lo, _mm_mul_pd(_mm_cvtps_pd(f), weight));
            hi = _mm_add_pd(hi, _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(f, f)), weight));
        }
        const __m128 g = _mm_loadu_ps(grid + v);
        const __m128d dLo = _mm_sub_pd(_mm_cvtps_pd(g), lo);
        const __m128d dHi = _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(g, g)), hi);
        _mm_storeu_ps(detail + v, _mm_movelh_ps(_mm_cvtpd_ps(dLo), _mm_cvtpd_ps(dHi)));
        _mm_storeu_ps(grid + v, _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)));
    }
    return v;
}
#endif

} // namespace

Smoother::Smoother(float* const* columns, int32_t width, int32_t height, const float* kernel,
                   int32_t radius, float* detail, const Buffers& buffers, KernelPath path)
    : m_pColumns(columns), m_nWidth(width), m_nHeight(height), m_pKernel(kernel), m_nRadius(radius),
      m_pDetail(detail), m_buffers(buffers), m_bVector(UsesVectorLoops(path)),
      m_bAvx2(UsesAvx2Loops(path)), m_range{0, width, nullptr, nullptr} {}

Smoother::Smoother(float* const* columns, int32_t width, int32_t height, const float* kernel,
                   int32_t radius, float* detail, const Buffers& buffers, KernelPath path,
                   const Range& range)
    : Smoother(columns, width, height, kernel, radius, detail, buffers, path) {
    m_range = range;
}

// Columns left of the current one already hold smooth values; the filter reaches at most
// `radius` columns back (also through the mirror), and those originals were saved. Columns
// outside the range belong to other threads: their originals were copied beforehand.
const float* Smoother::Original(int32_t column, int32_t current) const {
    const size_t h = static_cast<size_t>(m_nHeight);
    if (column < m_range.begin) {
        return m_range.before + static_cast<size_t>(column - (m_range.begin - m_nRadius)) * h;
    }
    if (column >= m_range.end) {
        return m_range.after + static_cast<size_t>(column - m_range.end) * h;
    }
    if (column >= current) {
        return m_pColumns[column];
    }
    return m_buffers.savedColumns +
           static_cast<size_t>(column % m_nRadius) * static_cast<size_t>(m_nHeight);
}

void Smoother::Column(int32_t u) {
    const int32_t r = m_nRadius;
    const int32_t h = m_nHeight;
    const int32_t taps = 2 * r + 1;
    for (int32_t k = 0; k < taps; ++k) {
        m_buffers.sourceColumns[k] = Original(Mirror(u + k - r, m_nWidth), u);
    }

    // Pass along u straight into the mirrored copy the pass along v reads.
    float* padded = m_buffers.paddedColumn;
    float* across = padded + r;
    int32_t done = 0;
    if (m_bAvx2) {
        done = FilterAcrossAvx2(m_buffers.sourceColumns, m_pKernel, taps, h, across);
    }
#if defined(__SSE2__)
    if (m_bVector) {
        done = FilterAcrossVector(m_buffers.sourceColumns, m_pKernel, taps, done, h, across);
    }
#endif
    FilterAcrossScalar(m_buffers.sourceColumns, m_pKernel, taps, done, h, across);
    for (int32_t i = 0; i < r; ++i) {
        padded[r - 1 - i] = across[i];
        padded[r + h + i] = across[h - 1 - i];
    }

    float* grid = m_pColumns[u];
    if (r > 0) {
        float* saved = m_buffers.savedColumns + static_cast<size_t>(u % r) * static_cast<size_t>(h);
        for (int32_t v = 0; v < h; ++v) {
            saved[v] = grid[v];
        }
    }

    float* detail = m_pDetail + static_cast<size_t>(u) * static_cast<size_t>(h);
    done = 0;
    if (m_bAvx2) {
        done = FilterDownAvx2(padded, m_pKernel, taps, h, grid, detail);
    }
#if defined(__SSE2__)
    if (m_bVector) {
        done = FilterDownVector(padded, m_pKernel, taps, done, h, grid, detail);
    }
#endif
    FilterDownScalar(padded, m_pKernel, taps, done, h, grid, detail);
}

void SplitSmoothAndDetail(float* const* columns, int32_t width, int32_t height, const float* kernel,
                          int32_t radius, float* detail, const Smoother::Buffers& buffers,
                          KernelPath path) {
    Smoother smoother(columns, width, height, kernel, radius, detail, buffers, path);
    for (int32_t u = 0; u < width; ++u) {
        smoother.Column(u);
    }
}

} // namespace qor::imageproc
