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
    bool avx512Faster = false; // the 512-bit loops beat the 256-bit ones here
};

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
// AMD's family 19h processors with AVX-512 (Zen 4) carry out every 512-bit operation as two
// 256-bit halves: there the 512-bit loops measured slower than the 256-bit ones (the conversions
// between float and double dominate), while later families and Intel's run them at full width.
bool SplitsWideVectors(unsigned leaf1Eax) {
    unsigned a = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(0, &a, &ebx, &ecx, &edx)) {
        return false;
    }
    // "AuthenticAMD" in EBX, EDX, ECX.
    const bool amd = ebx == 0x68747541u && edx == 0x69746E65u && ecx == 0x444D4163u;
    unsigned family = (leaf1Eax >> 8) & 0xFu;
    if (family == 0xFu) {
        family += (leaf1Eax >> 20) & 0xFFu;
    }
    return amd && family == 0x19u;
}
#endif

Features Detect() {
    Features f;
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) {
        return f;
    }
    const unsigned leaf1Eax = a;
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
    f.avx512Faster = f.avx512 && !SplitsWideVectors(leaf1Eax);
#endif
    return f;
}

const Features& Available() {
    static const Features features = Detect();
    return features;
}

// No limit set: the fastest loops the processor runs.
constexpr int kFastest = -1;
std::atomic<int> g_limit{kFastest};

} // namespace

bool CpuRunsAvx2() {
    const int limit = g_limit.load(std::memory_order_relaxed);
    return Available().avx2 && (limit == kFastest || limit >= static_cast<int>(VectorLimit::Avx2));
}

bool CpuRunsAvx512() {
    const int limit = g_limit.load(std::memory_order_relaxed);
    return limit == kFastest ? Available().avx512Faster
                             : Available().avx512 && limit >= static_cast<int>(VectorLimit::Avx512);
}

void SetVectorLimit(VectorLimit limit) {
    g_limit.store(static_cast<int>(limit), std::memory_order_relaxed);
}

void UseFastestVectors() {
    g_limit.store(kFastest, std::memory_order_relaxed);
}

void SetAvx2Allowed(bool allowed) {
    if (allowed) {
        UseFastestVectors();
    } else {
        SetVectorLimit(VectorLimit::Sse2);
    }
}

} // namespace qor::imageproc
