// Fuzz target: LoadCalibration on arbitrary images, then CorrectFrame with the loaded set.
#include <cstddef>
#include <cstdint>

#include "driver/core/calibration_record.h"
#include "driver/core/frame_correction.h"
#include "fuzz_input.h"

#if defined(QOR_FUZZ_HAVE_IMAGEPROC)
#include "imageproc/core/qor_image_proc.h"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t>& image = qor::fuzz::ImageFrom(data, size);
    qor::Calibration cal;
    if (!qor::LoadCalibration(cal, image.data(), [](const qor::UserNotice&) {})) {
        return 0;
    }
    const size_t count = static_cast<size_t>(cal.set.pixelCount);
    const size_t values = count <= qor::fuzz::kLargestFuzzFrame ? count : count / 2;
    std::vector<int32_t> frame = qor::fuzz::FrameFrom(data, size, values);
    qor::CorrectionServices services;
#if defined(QOR_FUZZ_HAVE_IMAGEPROC)
    services.enhance = &QorImageProc1;
#endif
    services.notify = [](const qor::UserNotice&) {};
    const int32_t flag = size > 0 ? static_cast<int32_t>(data[0] % 4) - 1 : 1;
    const uint32_t threshold = size > 1 ? data[1] * 16u : 1023u;
    qor::CorrectFrame(frame.data(), frame.size(), cal, threshold, flag, services);

    // Keep (same sensor) and reload (another sensor) paths.
    qor::LoadCalibration(cal, image.data(), {});
    image[11] ^= 1;
    qor::LoadCalibration(cal, image.data(), {});
    qor::ReleaseCalibration(cal);
    return 0;
}
