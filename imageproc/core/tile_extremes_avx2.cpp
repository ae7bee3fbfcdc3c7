// The tile extremes with 256-bit vectors, for processors with AVX2; the instruction set is an
// attribute of each function, never of the whole file.
#include "imageproc/core/tile_extremes_avx2.h"

#include "imageproc/core/avx2_target.h"

namespace qor::imageproc {

#if defined(QOR_AVX2_LOOPS)

QOR_AVX2 void SegmentExtremesAvx2(const float* values, int32_t begin, int32_t end, float& hi,
                                  float& lo) {
    // _mm256_max_ps(x, m) is "x > m ? x : m", the rule of the scalar loop; the extremes do not
    // depend on the order the values are visited in, so the last group may overlap the one
    // before it instead of leaving a ragged end.
    __m256 his = _mm256_set1_ps(hi);
    __m256 los = _mm256_set1_ps(lo);
    for (int32_t next = begin; next < end; next += 8) {
        const __m256 x = _mm256_loadu_ps(values + (next + 8 <= end ? next : end - 8));
        his = _mm256_max_ps(x, his);
        los = _mm256_min_ps(x, los);
    }
    // The lanes hold no NaN (the start values are numbers and a NaN never replaces one).
    __m128 h = _mm_max_ps(_mm256_extractf128_ps(his, 1), _mm256_castps256_ps128(his));
    __m128 l = _mm_min_ps(_mm256_extractf128_ps(los, 1), _mm256_castps256_ps128(los));
    h = _mm_max_ps(h, _mm_movehl_ps(h, h));
    l = _mm_min_ps(l, _mm_movehl_ps(l, l));
    h = _mm_max_ps(h, _mm_shuffle_ps(h, h, 1));
    l = _mm_min_ps(l, _mm_shuffle_ps(l, l, 1));
    hi = _mm_cvtss_f32(h);
    lo = _mm_cvtss_f32(l);
}

#else

void SegmentExtremesAvx2(const float* values, int32_t begin, int32_t end, float& hi, float& lo) {
    for (int32_t v = begin; v < end; ++v) {
        hi = values[v] > hi ? values[v] : hi;
        lo = values[v] < lo ? values[v] : lo;
    }
}

#endif

} // namespace qor::imageproc
