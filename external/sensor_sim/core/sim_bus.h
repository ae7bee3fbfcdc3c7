// An in-process bus of simulated sensors behind the driver's device-access interface: tests plug
// and unplug sensors, inject faults and press the X-ray button directly, without any files.
#pragma once

#include "driver/core/device_io.h"
#include "external/sensor_sim/core/sim_sensor.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qor::sim {

class SimBus : public DeviceIo {
public:
    // Attaches a sensor under an interface path; it is enumerated after those already attached.
    std::shared_ptr<SimSensor> Plug(const std::string& path, std::vector<uint8_t> flash,
                                    bool legacy = false);
    // Pulls the sensor out: it leaves the enumeration and every transfer on its handles fails.
    void Unplug(const std::string& path);
    std::shared_ptr<SimSensor> Sensor(const std::string& path) const;
    // The sensor behind an open handle, or null.
    std::shared_ptr<SimSensor> SensorFor(DeviceHandle handle) const;

    // Platform failures of the device-access layer itself.
    void FailEnumeration(bool fail);
    void FailOpen(bool fail);
    size_t OpenHandleCount() const;
    uint32_t TransferCount() const;

    bool EnumerateInterfaces(std::vector<std::string>& paths) override;
    DeviceHandle Open(const std::string& path) override;
    void Close(DeviceHandle handle) override;
    bool BulkWrite(DeviceHandle handle, Pipe pipe, const uint8_t* data, uint32_t length) override;
    bool BulkRead(DeviceHandle handle, Pipe pipe, uint8_t* data, uint32_t length) override;

private:
    // Counts a transfer and finds the sensor behind the handle (null when it is not open).
    std::shared_ptr<SimSensor> CountTransferTo(DeviceHandle handle);

    struct Attached {
        std::string path;
        std::shared_ptr<SimSensor> sensor;
    };
    mutable std::mutex mutex_;
    std::vector<Attached> attached_;
    std::map<DeviceHandle, std::shared_ptr<SimSensor>> handles_;
    DeviceHandle nextHandle_ = 0x1000;
    bool failEnumeration_ = false;
    bool failOpen_ = false;
    uint32_t transfers_ = 0;
};

// Interface paths as the kernel driver names them: case-insensitive comparison.
bool SamePath(const std::string& a, const std::string& b);

} // namespace qor::sim
