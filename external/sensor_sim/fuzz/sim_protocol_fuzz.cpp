// Fuzz target: the simulated sensor under arbitrary host traffic. Each transfer is decoded from
// the input (direction, pipe, length, bytes); the sensor must answer every one without fault,
// and exposures, cancels and injected faults are mixed in.
#include "external/sensor_sim/core/sim_sensor.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

// A small valid-looking flash: 40 x 20 pixels, format 3, sensor type 2.
std::vector<uint8_t> SmallFlash() {
    std::vector<uint8_t> flash(0x200000, 0);
    const uint8_t header[20] = {0,    0,    0, 136, 0, 0,  0, 3, 0, 0x20,
                                0x01, 0x23, 0, 0,   0, 40, 0, 0, 0, 20};
    std::copy(header, header + sizeof header, flash.begin());
    for (size_t i = 136; i < 136 + 40 * 20 * 2; i += 2) {
        flash[i] = 128;
        flash[i + 1] = 85;
    }
    return flash;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<uint8_t> flash = SmallFlash();
    qor::sim::SimSensor sensor(flash);
    size_t at = 0;
    auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    std::vector<uint8_t> buffer;
    while (at < size) {
        const uint8_t op = next();
        const auto pipe = static_cast<qor::Pipe>(op & 3);
        uint32_t length = next();
        if (op & 0x10) {
            length = length << 8 | next(); // up to 64 KiB, beyond the largest data phase
        }
        buffer.assign(length, 0);
        switch ((op >> 2) & 3) {
        case 0:
            for (uint32_t i = 0; i < length && at < size; ++i) {
                buffer[i] = next();
            }
            sensor.Write(pipe, buffer.data(), length);
            break;
        case 1:
            sensor.Read(pipe, buffer.data(), length);
            break;
        case 2:
            sensor.Expose(next());
            break;
        case 3: {
            qor::sim::InjectedFault fault;
            fault.command = next() & 15;
            fault.step = static_cast<qor::sim::FaultStep>(next() & 3);
            fault.kind = static_cast<qor::sim::FaultKind>(next() & 3);
            fault.skip = next() & 7;
            sensor.InjectFault(fault);
            break;
        }
        }
    }
    return 0;
}
