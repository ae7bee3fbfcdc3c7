// Puts the floating-point unit into the state the image pipeline is written for, and gives the
// caller's own state back afterwards. Hosts built with older tool chains unmask floating-point
// exceptions or change the rounding mode; our results must not depend on either, and the host's
// sticky flags and its x87 precision must be as it left them when we return.
//
// The pipeline's state: SSE round to nearest, every exception masked, no flush-to-zero or
// denormals-are-zero (MXCSR 0x1F80). On 32-bit x86 also the x87 unit, which returns doubles
// from functions and runs the runtime's maths: round to nearest, 53-bit precision, every
// exception masked (control word 0x027F), as a Windows thread starts.
#pragma once

#include <cstdint>

#if defined(__i386__) || defined(__x86_64__) || defined(_M_IX86) || defined(_M_X64)
#include <xmmintrin.h>
#define QOR_FP_GUARD_X86 1
#endif

namespace qor {

class FloatingPointGuard {
public:
    static constexpr uint32_t kPipelineMxcsr = 0x1F80;
    static constexpr uint16_t kPipelineX87Control = 0x027F;

    FloatingPointGuard() {
#if defined(QOR_FP_GUARD_X86)
        callerMxcsr_ = _mm_getcsr();
        _mm_setcsr(kPipelineMxcsr);
#if defined(__i386__)
        // fnstenv saves control, status and tags (and masks every exception as a side effect).
        __asm__ __volatile__("fnstenv %0" : "=m"(callerX87_));
        const uint16_t control = kPipelineX87Control;
        __asm__ __volatile__("fldcw %0" : : "m"(control));
#endif
#endif
    }
    ~FloatingPointGuard() {
#if defined(QOR_FP_GUARD_X86)
#if defined(__i386__)
        // Restores the caller's status word too, so no flag we raised becomes a pending,
        // unmasked x87 exception in the caller's next instruction.
        __asm__ __volatile__("fldenv %0" : : "m"(callerX87_));
#endif
        _mm_setcsr(callerMxcsr_);
#endif
    }
    FloatingPointGuard(const FloatingPointGuard&) = delete;
    FloatingPointGuard& operator=(const FloatingPointGuard&) = delete;

private:
#if defined(QOR_FP_GUARD_X86)
    uint32_t callerMxcsr_ = 0;
#if defined(__i386__)
    struct X87Environment {
        uint8_t bytes[28];
    } callerX87_{};
#endif
#endif
};

}  // namespace qor
