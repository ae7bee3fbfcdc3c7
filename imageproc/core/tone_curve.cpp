// The tone curve: maps a pixel's smooth value from its local range onto a wider one, adds detail.
#include "imageproc/core/tone_curve.h"

namespace qor::imageproc {

ToneCurve MakeToneCurve(int32_t fullScale, float strength) {
    const float a = static_cast<float>(fullScale);
    const float k = static_cast<float>(4.0 / static_cast<double>(a) / static_cast<double>(a));
    return ToneCurve{static_cast<double>(a), static_cast<double>(k), static_cast<double>(strength)};
}

} // namespace qor::imageproc
