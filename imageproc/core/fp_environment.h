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

// Worker threads do not inherit their creator's SSE control register, and a host program may
// have changed its own: both set the default before they compute.
inline void SetDefaultFpControl() {
#if defined(QOR_HAVE_MXCSR)
    _mm_setcsr(kDefaultMxcsr);
#endif
}

// Sets the default for the lifetime of a call and gives the caller its own setting back.
class FpControlGuard {
public:
    FpControlGuard() {
#if defined(QOR_HAVE_MXCSR)
        m_nSaved = _mm_getcsr();
        _mm_setcsr(kDefaultMxcsr);
#endif
    }
    ~FpControlGuard() {
#if defined(QOR_HAVE_MXCSR)
        _mm_setcsr(m_nSaved);
#endif
    }
    FpControlGuard(const FpControlGuard&) = delete;
    FpControlGuard& operator=(const FpControlGuard&) = delete;

private:
    uint32_t m_nSaved = kDefaultMxcsr;
};

} // namespace qor::imageproc
