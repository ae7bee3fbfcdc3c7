// Choice between the vectorised loops of the enhancement and their plain per-pixel twins.
#pragma once

namespace qor::imageproc {

// Both paths give bit-identical results. Vector falls back to Scalar where SSE2 is missing;
// Scalar is kept callable so that tests can hold the two against each other.
enum class KernelPath { Vector, Scalar };

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

} // namespace qor::imageproc
