// Working memory of one enhancement call, with a seam that lets tests simulate exhaustion.
#include "imageproc/core/work_memory.h"

#include <atomic>
#include <new>

namespace qor::imageproc {
namespace {
// Negative: no simulated failures.
std::atomic<int32_t> g_allowedAllocations{-1};
} // namespace

namespace detail {
void CheckAllocationAllowed() {
    int32_t allowed = g_allowedAllocations.load(std::memory_order_relaxed);
    while (allowed >= 0) {
        if (allowed == 0) {
            throw std::bad_alloc();
        }
        if (g_allowedAllocations.compare_exchange_weak(allowed, allowed - 1)) {
            return;
        }
    }
}

bool SimulatingExhaustion() {
    return g_allowedAllocations.load(std::memory_order_relaxed) >= 0;
}
} // namespace detail

namespace testing {
void FailAllocationsAfter(int32_t allowed) {
    g_allowedAllocations.store(allowed < 0 ? -1 : allowed, std::memory_order_relaxed);
}
} // namespace testing

} // namespace qor::imageproc
