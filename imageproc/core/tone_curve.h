// The tone curve: maps a pixel's smooth value from its local range onto a wider one, adds detail.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qor::imageproc {

// Upper cap of every enhanced value; there is no lower one.
constexpr float kEnhancedCap = 4095.0f;

// A, k and s are float quantities, widened once for the double arithmetic of the curve.
struct ToneCurve {
    double fullScale; // A = fullScale as a float
    double k;         // 4 / A / A as a float (2^-22 for 4096)
    double strength;  // s
};

ToneCurve MakeToneCurve(int32_t fullScale, float strength);

// One pixel: the local maximum is raised and the local minimum lowered by the parabola
// s x 4 x M x (A - M) / A^2, the smooth value is mapped linearly between them and the detail is
// added. A flat local range gives the range itself without detail.
inline float MapPixel(const ToneCurve& c, float mx, float mn, float smooth, float detail) {
    const double x = static_cast<double>(mx);
    const double n = static_cast<double>(mn);
    const double top = x * ((c.fullScale - x) * c.k * c.strength + 1.0);
    const double bottom = n - (c.fullScale - n) * n * c.k * c.strength;
    float out;
    if (x - n == 0.0) {
        out = mn;
    } else {
        out = static_cast<float>(((top - bottom) * (static_cast<double>(smooth) - n) / (x - n) +
                                  static_cast<double>(detail)) +
                                 bottom);
    }
    if (out > kEnhancedCap) {
        out = kEnhancedCap;
    }
    return out;
}

#if defined(__SSE2__)
// Two pixels as doubles (each exactly a float); returns the two results, before the cap, as
// doubles that are exact floats once converted. Same operations in the same order as MapPixel.
inline __m128d MapPixelPair(const ToneCurve& c, __m128d mx, __m128d mn, __m128d smooth,
                            __m128d detail) {
    const __m128d a = _mm_set1_pd(c.fullScale);
    const __m128d k = _mm_set1_pd(c.k);
    const __m128d s = _mm_set1_pd(c.strength);
    const __m128d top = _mm_mul_pd(
        mx, _mm_add_pd(_mm_mul_pd(_mm_mul_pd(_mm_sub_pd(a, mx), k), s), _mm_set1_pd(1.0)));
    const __m128d bottom =
        _mm_sub_pd(mn, _mm_mul_pd(_mm_mul_pd(_mm_mul_pd(_mm_sub_pd(a, mn), mn), k), s));
    const __m128d range = _mm_sub_pd(mx, mn);
    const __m128d mapped = _mm_add_pd(
        _mm_add_pd(_mm_div_pd(_mm_mul_pd(_mm_sub_pd(top, bottom), _mm_sub_pd(smooth, mn)), range),
                   detail),
        bottom);
    const __m128d flat = _mm_cmpeq_pd(range, _mm_setzero_pd());
    return _mm_or_pd(_mm_and_pd(flat, mn), _mm_andnot_pd(flat, mapped));
}

// The cap as "above 4095 becomes 4095": a NaN stays NaN like in MapPixel.
inline __m128 CapEnhanced(__m128 values) {
    return _mm_min_ps(_mm_set1_ps(kEnhancedCap), values);
}
#endif

} // namespace qor::imageproc
