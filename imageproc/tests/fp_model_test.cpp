// Pins results that depend on the floating-point model, so a change of compiler or flags shows.
#include <gtest/gtest.h>

#include <cstring>

#include "imageproc/core/qor_image_proc.h"
#include "imageproc/core/tone_curve.h"
#include "test_images.h"

namespace qor::imageproc {
namespace {

uint32_t Bits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

using testdata::Fingerprint;

TEST(FloatingPointModel, ToneCurveRunsInDoubleAndRoundsOnce) {
    // Evaluated in float arithmetic this pixel comes out at 0x1.c0d4ap+10, one unit lower;
    // contracted multiply-adds or extended x87 intermediates move it too.
    const ToneCurve curve = MakeToneCurve(4096, 409.6f);
    EXPECT_EQ(curve.k, 0x1p-22);
    EXPECT_EQ(Bits(MapPixel(curve, 2500.3f, 1200.7f, 0x1.c24d7p+10f, -3.3f)),
              Bits(0x1.c0d4a2p+10f));
}

TEST(FloatingPointModel, SensorFramesHaveFixedResults) {
    // The same numbers in the native and the 32-bit Windows build.
    auto small = testdata::MakeFrame(999, 664, testdata::Content::Exposure, 1);
    ASSERT_EQ(QorImageProc1(small.data(), 999, 664, 1), 1);
    EXPECT_EQ(Fingerprint(small), 3421543151u);
    auto large = testdata::MakeFrame(1201, 861, testdata::Content::Exposure, 2);
    ASSERT_EQ(QorImageProc1(large.data(), 1201, 861, 1), 1);
    EXPECT_EQ(Fingerprint(large), 1650603408u);
}

} // namespace
} // namespace qor::imageproc
