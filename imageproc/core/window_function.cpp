// Window functions of the enhancement: the smoothing kernel and the block blending profiles.
#include "imageproc/core/window_function.h"

#include <cstddef>

namespace qor::imageproc {

std::vector<float> MakeWindow(int32_t n) {
    std::vector<float> w(static_cast<size_t>(n));
    if (n % 2 == 1) {
        const int32_t half = (n + 1) / 2;
        // The rising quotients are summed unrounded so the normalisation does not drift for
        // long kernels.
        double rising = 0.0;
        for (int32_t k = 1; k <= half; ++k) {
            const double quotient = static_cast<double>(2 * k) / static_cast<double>(n + 1);
            w[k - 1] = static_cast<float>(quotient);
            rising += quotient;
        }
        for (int32_t m = 0; m < half - 1; ++m) {
            w[half + m] = w[half - 2 - m];
        }
        const double peak = static_cast<double>(w[half - 1]);
        const double divisor = 2.0 * rising - peak;
        for (float& entry : w) {
            entry = static_cast<float>(static_cast<double>(entry) / divisor);
        }
    } else {
        const int32_t half = n / 2;
        for (int32_t k = 1; k <= half; ++k) {
            w[k - 1] = static_cast<float>((static_cast<double>(k) - 0.5) / static_cast<double>(n));
        }
        for (int32_t m = 0; m < half; ++m) {
            w[half + m] = w[half - 1 - m];
        }
    }
    return w;
}

std::vector<float> MakeEdgeProfile(const std::vector<float>& window, int32_t tileSize,
                                   int32_t lastLength) {
    const int32_t start = 3 * tileSize;
    const int32_t blockSize = 4 * tileSize;
    std::vector<float> profile(static_cast<size_t>(start + lastLength));
    for (int32_t l = 0; l < start; ++l) {
        profile[l] = window[l];
    }
    const double first = static_cast<double>(window[start]);
    const double last = static_cast<double>(window[blockSize - 1]);
    // A last tile of one pixel (tile size 1) has no slope to spread; dividing by zero there would
    // poison its only weight with NaN.
    const float step =
        lastLength > 1 ? static_cast<float>((last - first) / static_cast<double>(lastLength - 1))
                       : 0.0f;
    for (int32_t k = 0; k < lastLength; ++k) {
        profile[start + k] =
            static_cast<float>(first + static_cast<double>(k) * static_cast<double>(step));
    }
    return profile;
}

} // namespace qor::imageproc
