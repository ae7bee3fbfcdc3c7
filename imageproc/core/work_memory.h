// Working memory of one enhancement call, with a seam that lets tests simulate exhaustion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qor::imageproc {

namespace detail {
// Throws std::bad_alloc when the test seam says memory has run out.
void CheckAllocationAllowed();
// True while the test seam counts allocations: memory kept from earlier calls is not used then.
bool SimulatingExhaustion();
} // namespace detail

// An array whose every element the caller writes before reading it; left unfilled because the
// large ones are written in full anyway. Throws std::bad_alloc when memory (or the test
// allowance) runs out.
template <typename T> std::unique_ptr<T[]> AllocateWork(size_t count) {
    detail::CheckAllocationAllowed();
    return std::unique_ptr<T[]>(new T[count]);
}

namespace testing {
// Lets the next `allowed` allocations succeed and fails every one after them; a negative count
// ends the simulation.
void FailAllocationsAfter(int32_t allowed);
} // namespace testing

} // namespace qor::imageproc
