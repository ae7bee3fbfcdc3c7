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

// AVX-512F as well, with the ZMM and mask state saved by the system; by default only where the
// 512-bit loops are the faster ones (not on processors that split them into 256-bit halves).
bool CpuRunsAvx512();

// The widest loops the Vector path may take: benchmarks and tests hold it to one width to
// compare (Avx512 runs the 512-bit loops wherever the processor has them).
enum class VectorLimit { Sse2, Avx2, Avx512 };
void SetVectorLimit(VectorLimit limit);

// The default: the fastest loops this processor runs.
void UseFastestVectors();

// UseFastestVectors() for true, SetVectorLimit(Sse2) for false.
void SetAvx2Allowed(bool allowed);

} // namespace qor::imageproc
