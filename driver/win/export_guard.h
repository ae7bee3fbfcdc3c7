// The boundary of every entry point and Windows callback of the library: the body runs with the
// floating-point state the pipeline is written for (the caller's is restored afterwards), and an
// exception never leaves it. In the 32-bit build an exception cannot unwind through a caller's
// or a Windows callback frame, so it becomes the entry point's failure value here.
#pragma once

#include "common/core/catch_all.h"
#include "common/core/floating_point_guard.h"

template <typename Result, typename Body>
Result Guarded(Result failure, Body&& body) noexcept {
    return CatchAll(failure, [&]() -> Result {
        const qor::FloatingPointGuard floatingPoint;
        return body();
    });
}

template <typename Body>
void Guarded(Body&& body) noexcept {
    CatchAll([&] {
        const qor::FloatingPointGuard floatingPoint;
        body();
    });
}
