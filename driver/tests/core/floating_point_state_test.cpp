// The correction raises no floating-point exception on any calibration: hosts that unmask
// division by zero, invalid operations or overflow must not trap inside it, and a host's
// rounding mode must not change a single output value once the entry point's guard is in place.
#include "common/core/floating_point_guard.h"
#include "driver/core/calibration_record.h"
#include "driver/core/frame_correction.h"
#include "external/sensor_sim/core/test_data.h"
#ifdef QOR_TEST_HAVE_IMAGEPROC
#include "imageproc/core/qor_image_proc.h"
#endif

#include <gtest/gtest.h>

#include <xmmintrin.h>
#include <vector>

namespace qor {
namespace {

struct Case {
    int formatVersion;
    bool legacy;
    int defects;
    uint16_t gainReference;
};

std::vector<int32_t> Correct(const Case& c, bool hostileHost) {
    testdata::CalibrationParams params;
    params.formatVersion = c.formatVersion;
    params.legacy = c.legacy;
    params.headerWidth = 300;
    params.height = 200;
    params.defectPixels = c.defects;
    params.gainReference = c.gainReference;
    params.badRows = {7, 8};
    params.badColumns = {20};
    const std::vector<uint8_t> image = testdata::MakeCalibrationImage(params);
    Calibration calibration;
    const bool loaded = c.legacy ? LoadLegacyCalibration(calibration, image.data())
                                 : LoadCalibration(calibration, image.data(), {});
    EXPECT_TRUE(loaded);
    std::vector<int32_t> frame = testdata::MakeRawFrame(image, 5, c.legacy);
    CorrectionServices services;
#ifdef QOR_TEST_HAVE_IMAGEPROC
    services.enhance = QorImageProc1;
#endif
    // The host's SSE control register, set directly (the C library's fenv functions do not
    // reach it on every platform we build for).
    const uint32_t saved = _mm_getcsr();
    const uint32_t hostile = (0x1F80u & ~(_MM_MASK_DIV_ZERO | _MM_MASK_INVALID | _MM_MASK_OVERFLOW)) |
                             _MM_ROUND_DOWN;
    if (hostileHost) {
        _mm_setcsr(hostile);
    }
    {
        const FloatingPointGuard pipelineState;
        if (hostileHost) {
            // The exceptions stay unmasked inside for this test: the pipeline itself must not
            // raise them (only the rounding comes from the guard).
            _mm_setcsr(hostile & ~_MM_ROUND_MASK);
        }
        if (c.legacy) {
            CorrectLegacyFrame(frame.data(), frame.size(), calibration, 1, services);
        } else {
            CorrectFrame(frame.data(), frame.size(), calibration, 1023, 1, services);
        }
    }
    if (hostileHost) {
        EXPECT_EQ(hostile, _mm_getcsr() & ~0x3Fu) << "the caller's state comes back";
    }
    _mm_setcsr(saved);
    return frame;
}

TEST(FloatingPointState, NoTrapAndNoChangeUnderAHostileHost) {
    const Case cases[] = {
        {1, false, 40, 3160}, {2, false, 40, 3160}, {3, false, 40, 3160},
        {4, false, 40, 3160}, {2, true, 40, 3160},  {2, false, 0, 161},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.formatVersion << (c.legacy ? " legacy" : ""));
        const std::vector<int32_t> plain = Correct(c, false);
        const std::vector<int32_t> hostile = Correct(c, true);
        EXPECT_EQ(plain, hostile);
    }
}

}  // namespace
}  // namespace qor
