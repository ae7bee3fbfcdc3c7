// Choice between the vectorised loops of the enhancement and their plain per-pixel twins.
#pragma once

#include "imageproc/core/cpu_features.h"

namespace qor::imageproc {

// Every path gives bit-identical results. Vector takes the widest loops the processor runs
// (AVX-512 or AVX2 where the processor and the system support them, else SSE2, else scalar); Sse2 holds them
// to 128 bits and Scalar to one pixel at a time, so that tests and benchmarks can hold the paths
// against each other.
enum class KernelPath { Vector, Sse2, Scalar };

// True when this build has the SSE2 loops (otherwise Vector runs the scalar loops).
constexpr bool HasVectorKernels() {
#if defined(__SSE2__)
    return true;
#else
    return false;
#endif
}

constexpr bool UsesVectorLoops(KernelPath path) {
    return HasVectorKernels() && path != KernelPath::Scalar;
}

inline bool UsesAvx2Loops(KernelPath path) {
    return HasAvx2Kernels() && HasVectorKernels() && path == KernelPath::Vector && CpuRunsAvx2();
}

inline bool UsesAvx512Loops(KernelPath path) {
    return HasAvx2Kernels() && HasVectorKernels() && path == KernelPath::Vector && CpuRunsAvx512();
}

} // namespace qor::imageproc
