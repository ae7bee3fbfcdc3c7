// The sensor side of a diagnosis: slots and interfaces, identity, calibration, flash and cache
// checksums, and a test acquisition (a demo frame without a sensor).
#pragma once

#include "tools/qorctl/diagnose/findings.h"
#include "tools/qorctl/diagnose/frame_stats.h"
#include "tools/qorctl/diagnose/system_checks.h"

#include <cstdint>
#include <vector>

namespace qorctl::diagnose {

// The frames of the test acquisition (empty when there was none).
struct TestFrames {
    int32_t width = 0;
    int32_t height = 0;
    bool demo = false;
    std::vector<int32_t> raw;        // the sensor's samples, 0..65535
    std::vector<int32_t> calibrated; // after the flat field (gain and offset), before line repair
    std::vector<int32_t> corrected;  // what Qor.dll delivers, 0..4095
};

TestFrames CheckSensor(Findings& findings, const SystemFacts& system);

} // namespace qorctl::diagnose
