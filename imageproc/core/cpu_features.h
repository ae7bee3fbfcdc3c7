// What the processor and the operating system let the enhancement use, asked once at run time.
#pragma once

namespace qor::imageproc {

// True when this build carries the 256-bit loops (x86 with GCC or Clang).
constexpr bool HasAvx2Kernels() {
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
    return true;
#else
    return false;
#endif
}

// AVX2 and FMA in the processor, the YMM state saved by the operating system (XGETBV), and
// the 256-bit loops not turned off by SetVectorLimit.
bool CpuRunsAvx2();

// AVX-512F as well, with the ZMM and mask state saved by the system, and not turned off.
bool CpuRunsAvx512();

// The widest loops the Vector path may take: benchmarks and tests hold it to narrower ones to
// compare; the default lets it use whatever the processor runs.
enum class VectorLimit { Sse2, Avx2, Avx512 };
void SetVectorLimit(VectorLimit limit);

// SetVectorLimit(Avx512) for true, SetVectorLimit(Sse2) for false.
void SetAvx2Allowed(bool allowed);

} // namespace qor::imageproc
