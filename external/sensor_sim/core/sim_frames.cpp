// Frames of the simulated sensor.
#include "external/sensor_sim/core/sim_frames.h"

#include "external/sensor_sim/core/sim_protocol.h"
#include "external/sensor_sim/core/test_data.h"

#include <algorithm>
#include <xmmintrin.h>

namespace qor::sim {
namespace {

int32_t ReadBigEndian32(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<int32_t>(uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 |
                                uint32_t(bytes[at + 2]) << 8 | uint32_t(bytes[at + 3]));
}

// The frame is computed in the default floating-point environment, whatever the calling process
// set (a host with unmasked exceptions or another rounding mode computes the same frame), and the
// caller's control registers are back afterwards bit for bit (the C library's environment
// functions do not keep every bit of them on every build).
class DefaultFloatingPoint {
public:
    DefaultFloatingPoint() {
        __asm__ volatile("fnstcw %0" : "=m"(x87_));
        const uint16_t x87Default = 0x037F;
        __asm__ volatile("fclex\n\tfldcw %0" : : "m"(x87Default));
        sse_ = _mm_getcsr();
        _mm_setcsr(0x1F80);
    }
    ~DefaultFloatingPoint() {
        _mm_setcsr(sse_);
        __asm__ volatile("fclex\n\tfldcw %0" : : "m"(x87_));
    }
    DefaultFloatingPoint(const DefaultFloatingPoint&) = delete;
    DefaultFloatingPoint& operator=(const DefaultFloatingPoint&) = delete;

private:
    uint16_t x87_ = 0;
    unsigned int sse_ = 0;
};

} // namespace

bool FlashGeometry(const std::vector<uint8_t>& flash, int32_t& width, int32_t& height) {
    if (flash.size() < 136) {
        return false;
    }
    const uint32_t imagerId = static_cast<uint32_t>(ReadBigEndian32(flash, 8));
    const uint32_t type = (imagerId >> 20) & 0xF;
    int64_t w = ReadBigEndian32(flash, 12);
    const int64_t h = ReadBigEndian32(flash, 16);
    if (type == 3 || type == 4) {
        w += 500;
    }
    if (w <= 0 || h <= 0 || w * h * 2 + 136 > static_cast<int64_t>(kFlashBytes)) {
        return false;
    }
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
    return true;
}

std::vector<uint16_t> ExposureFrame(const std::vector<uint8_t>& flash, uint32_t seed, bool legacy) {
    const DefaultFloatingPoint defaultEnvironment;
    int32_t width = 0, height = 0;
    if (flash.size() != kFlashBytes || !FlashGeometry(flash, width, height)) {
        return {};
    }
    const std::vector<int32_t> raw = qor::testdata::MakeRawFrame(flash, seed, legacy);
    std::vector<uint16_t> samples(raw.size());
    std::transform(raw.begin(), raw.end(), samples.begin(),
                   [](int32_t v) { return static_cast<uint16_t>(std::clamp(v, 0, 65535)); });
    return samples;
}

std::vector<uint16_t> TestPatternFrame(const std::vector<uint8_t>& flash, uint32_t pixelCount) {
    int32_t width = 1201, height = 0;
    if (!FlashGeometry(flash, width, height)) {
        width = 1201;
    }
    std::vector<uint16_t> samples(pixelCount);
    for (uint32_t i = 0; i < pixelCount; ++i) {
        const uint32_t x = i % static_cast<uint32_t>(width);
        const uint32_t y = i / static_cast<uint32_t>(width);
        const uint32_t square = ((x / 64) + (y / 64)) % 2;
        samples[i] = static_cast<uint16_t>(512 + square * 2048 + (x % 64) * 8);
    }
    return samples;
}

} // namespace qor::sim
