// Helpers of the simulator tests: raw command blocks and small calibration images.
#pragma once

#include "external/sensor_sim/core/sim_sensor.h"
#include "external/sensor_sim/core/test_data.h"

#include <cstdint>
#include <vector>

namespace qor::sim::testing {

inline std::vector<uint8_t> Block(uint8_t type, const std::vector<uint8_t>& payload = {}) {
    std::vector<uint8_t> block;
    block.reserve(2 + payload.size());
    block.push_back(type);
    block.push_back(static_cast<uint8_t>(2 + payload.size()));
    for (const uint8_t byte : payload) {
        block.push_back(byte);
    }
    return block;
}

inline std::vector<uint8_t> Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

inline std::vector<uint8_t> Window(uint8_t type, uint32_t count, uint32_t offset) {
    const std::vector<uint8_t> c = Le32(count), o = Le32(offset);
    return Block(type, {c[0], c[1], c[2], c[3], o[0], o[1], o[2], o[3]});
}

inline bool Send(SimSensor& sensor, const std::vector<uint8_t>& block) {
    return sensor.Write(Pipe::CommandOut, block.data(), static_cast<uint32_t>(block.size()));
}

inline bool ReadReply(SimSensor& sensor, std::vector<uint8_t>& reply, uint32_t length) {
    reply.assign(length, 0);
    return sensor.Read(Pipe::ReplyIn, reply.data(), length);
}

// A small format-3 sensor (100 x 80, type 2) unless told otherwise.
inline std::vector<uint8_t> SmallFlash(uint32_t imagerId = 0x00200123, int width = 100,
                                       int height = 80, int format = 3) {
    qor::testdata::CalibrationParams params;
    params.imagerId = imagerId;
    params.headerWidth = width;
    params.height = height;
    params.formatVersion = format;
    params.defectPixels = 3;
    return qor::testdata::MakeCalibrationImage(params);
}

} // namespace qor::sim::testing
