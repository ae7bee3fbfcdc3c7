// The floating-point control state every enhancement computation runs with.
#pragma once

#include <cstdint>

#if defined(__SSE__) || defined(_M_X64)
#include <xmmintrin.h>
#define QOR_HAVE_MXCSR 1
#endif

namespace qor::imageproc {

// Round to nearest, every exception masked, no flush-to-zero and no denormals-are-zero.
constexpr uint32_t kDefaultMxcsr = 0x1F80;

// Worker threads do not inherit their creator's SSE control register: they set the default
// before they compute (the entry points guard the caller's thread: floating_point_guard.h).
inline void SetDefaultFpControl() {
#if defined(QOR_HAVE_MXCSR)
    _mm_setcsr(kDefaultMxcsr);
#endif
}

} // namespace qor::imageproc
