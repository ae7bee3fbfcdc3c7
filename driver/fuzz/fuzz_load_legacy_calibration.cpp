// Fuzz target: LoadLegacyCalibration on arbitrary images, then CorrectLegacyFrame.
#include <cstddef>
#include <cstdint>

#include "driver/core/calibration_record.h"
#include "driver/core/frame_correction.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t>& image = qor::fuzz::ImageFrom(data, size);
    qor::Calibration cal;
    if (!qor::LoadLegacyCalibration(cal, image.data())) {
        return 0;
    }
    const size_t count = static_cast<size_t>(cal.set.pixelCount);
    const size_t values = count <= qor::fuzz::kLargestFuzzFrame ? count : count / 2;
    std::vector<int32_t> frame = qor::fuzz::FrameFrom(data, size, values);
    const int32_t flag = size > 0 ? static_cast<int32_t>(data[0] % 3) - 1 : 1;
    qor::CorrectLegacyFrame(frame.data(), frame.size(), cal, flag);
    // The same frame through the current pipeline, which reads the legacy map as gains.
    qor::CorrectFrame(frame.data(), frame.size(), cal, 1023, 2, {});

    qor::LoadLegacyCalibration(cal, image.data());
    image[11] ^= 1;
    qor::LoadLegacyCalibration(cal, image.data());
    qor::ReleaseCalibration(cal);
    return 0;
}
