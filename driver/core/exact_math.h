// Exact double helpers of the correction pipeline: truncation and clamped conversions that
// give the same bits in both builds and never convert an out-of-range double to an integer.
#pragma once

#include <cmath>
#include <cstdint>

namespace qor::exact {

// trunc() for every finite double, NaN and infinity, written with SSE2 arithmetic only so that
// loops using it vectorise (the library trunc is a call on i686).
inline double Trunc(double v) {
    constexpr double kTwo52 = 4503599627370496.0; // above this every double is an integer
    const double magnitude = std::fabs(v);
    double r = (magnitude + kTwo52) - kTwo52; // magnitude rounded to nearest
    r = r > magnitude ? r - 1.0 : r;          // ... and then toward zero
    r = magnitude < kTwo52 ? r : magnitude;
    return std::copysign(r, v);
}

// Clamp to lo..hi (NaN gives lo), then convert; exact for integral values in range.
inline int32_t ClampToInt(double v, double lo, double hi) {
    v = v > lo ? v : lo;
    v = v < hi ? v : hi;
    return static_cast<int32_t>(v);
}

// trunc(v) as int32 with values beyond the int32 range saturated.
inline int32_t TruncToInt32(double v) {
    return ClampToInt(Trunc(v), -2147483648.0, 2147483647.0);
}

} // namespace qor::exact
