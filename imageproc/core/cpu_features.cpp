// What the processor and the operating system let the enhancement use, asked once at run time.
#include "imageproc/core/cpu_features.h"

#include <atomic>
#include <cstdint>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#endif

namespace qor::imageproc {
namespace {

struct Features {
    bool avx2 = false;
    bool avx512 = false;
};

Features Detect() {
    Features f;
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) {
        return f;
    }
    const bool fma = (c & bit_FMA) != 0;
    const bool osxsave = (c & bit_OSXSAVE) != 0;
    const bool avx = (c & bit_AVX) != 0;
    if (!fma || !osxsave || !avx) {
        return f;
    }
    // XCR0 bits 1 and 2: the system saves SSE and AVX registers across thread switches; bits 5
    // to 7 the AVX-512 mask and ZMM registers.
    uint32_t low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 0x6u) != 0x6u || !__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        return f;
    }
    f.avx2 = (b & bit_AVX2) != 0;
    f.avx512 = f.avx2 && (b & bit_AVX512F) != 0 && (low & 0xE0u) == 0xE0u;
#endif
    return f;
}

const Features& Available() {
    static const Features features = Detect();
    return features;
}

std::atomic<int> g_limit{static_cast<int>(VectorLimit::Avx512)};

} // namespace

bool CpuRunsAvx2() {
    return Available().avx2 &&
           g_limit.load(std::memory_order_relaxed) >= static_cast<int>(VectorLimit::Avx2);
}

bool CpuRunsAvx512() {
    return Available().avx512 &&
           g_limit.load(std::memory_order_relaxed) >= static_cast<int>(VectorLimit::Avx512);
}

void SetVectorLimit(VectorLimit limit) {
    g_limit.store(static_cast<int>(limit), std::memory_order_relaxed);
}

void SetAvx2Allowed(bool allowed) {
    SetVectorLimit(allowed ? VectorLimit::Avx512 : VectorLimit::Sse2);
}

} // namespace qor::imageproc
