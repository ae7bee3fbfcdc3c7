// The boundary of a Windows callback or an exported function: no exception may leave it, because
// in the shipped 32-bit build an exception cannot unwind through the caller's or Windows' own
// frames. The body runs here and an exception becomes the given failure value.
#pragma once

template <typename Result, typename Body>
Result CatchAll(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

template <typename Body>
void CatchAll(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}
