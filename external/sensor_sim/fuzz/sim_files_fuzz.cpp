// Fuzz target: the state, exposure, prepared-frame and consumed files and the fault text of the simulator
// directory, which other processes (and people) write.
#include "external/sensor_sim/core/sim_directory.h"
#include "external/sensor_sim/core/sim_faults.h"
#include "external/sensor_sim/core/sim_prepared_frame.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    qor::sim::SensorStateFile state;
    if (qor::sim::ParseStateText(text, state)) {
        // What parses must format back to something that parses the same way.
        for (const qor::sim::InjectedFault& fault : state.faults) {
            const auto again = qor::sim::ParseFault(qor::sim::FormatFault(fault));
            if (!again || again->command != fault.command || again->skip != fault.skip ||
                again->count != fault.count) {
                __builtin_trap();
            }
        }
    }
    qor::sim::ExposureFile exposure;
    qor::sim::ParseExposureText(text, exposure);
    uint64_t consumed = 0;
    qor::sim::ParseConsumedText(text, consumed);
    qor::sim::ParseFault(text);
    // The prepared frame: what parses encodes back to the same bytes.
    const std::vector<uint8_t> bytes(data, data + size);
    qor::sim::PreparedFrame frame;
    if (qor::sim::ParsePreparedFrame(bytes, frame) && qor::sim::EncodePreparedFrame(frame) != bytes) {
        __builtin_trap();
    }
    return 0;
}
