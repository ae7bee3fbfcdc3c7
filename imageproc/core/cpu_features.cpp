// What the processor and the operating system let the enhancement use, asked once at run time.
#include "imageproc/core/cpu_features.h"

#include <atomic>
#include <cstdint>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#endif

namespace qor::imageproc {
namespace {

bool Detect() {
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) {
        return false;
    }
    const bool fma = (c & bit_FMA) != 0;
    const bool osxsave = (c & bit_OSXSAVE) != 0;
    const bool avx = (c & bit_AVX) != 0;
    if (!fma || !osxsave || !avx) {
        return false;
    }
    // XCR0 bits 1 and 2: the system saves SSE and AVX registers across thread switches.
    uint32_t low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 0x6u) != 0x6u) {
        return false;
    }
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        return false;
    }
    return (b & bit_AVX2) != 0;
#else
    return false;
#endif
}

std::atomic<bool> g_avx2Allowed{true};

} // namespace

bool CpuRunsAvx2() {
    static const bool available = Detect();
    return available && g_avx2Allowed.load(std::memory_order_relaxed);
}

void SetAvx2Allowed(bool allowed) {
    g_avx2Allowed.store(allowed, std::memory_order_relaxed);
}

} // namespace qor::imageproc
