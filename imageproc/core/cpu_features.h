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
// the 256-bit loops not turned off by SetAvx2Allowed.
bool CpuRunsAvx2();

// Benchmarks and tests hold the Vector path to SSE2 with false; true (the default) lets it use
// AVX2 wherever the processor runs it.
void SetAvx2Allowed(bool allowed);

} // namespace qor::imageproc
