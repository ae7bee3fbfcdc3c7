// The driver library's device access when QOR_SENSOR_SIMULATOR is set: the sensors of the
// simulator directory, driven by SimulatorControl from any other process. Each open handle
// belongs to one plug generation of a sensor; once the sensor is unplugged (or plugged again)
// every transfer on it fails, as with a real sensor.
#pragma once

#include "driver/core/device_io.h"
#include "external/sensor_sim/core/sim_sensor.h"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace qor::sim {

class SimDeviceIo : public DeviceIo {
public:
    explicit SimDeviceIo(std::filesystem::path root);
    // Null when QOR_SENSOR_SIMULATOR is not set.
    static std::unique_ptr<SimDeviceIo> FromEnvironment();

    bool EnumerateInterfaces(std::vector<std::string>& paths) override;
    DeviceHandle Open(const std::string& path) override;
    void Close(DeviceHandle handle) override;
    bool BulkWrite(DeviceHandle handle, Pipe pipe, const uint8_t* data, uint32_t length) override;
    bool BulkRead(DeviceHandle handle, Pipe pipe, uint8_t* data, uint32_t length) override;

    // The sensor behind a handle (tests), or null.
    std::shared_ptr<SimSensor> SensorFor(DeviceHandle handle) const;

private:
    // One sensor as this process holds it, for one plug generation.
    struct Live {
        std::mutex mutex;
        std::string name;
        std::filesystem::path folder;
        uint64_t generation = 0;
        uint64_t faultSerial = 0;
        uint64_t consumed = 0;
        bool reportedUnplug = false;
        std::shared_ptr<SimSensor> sensor;
    };
    template <typename Transfer> bool Run(DeviceHandle handle, Pipe pipe, Transfer&& transfer);
    bool StillAttached(Live& live);
    void TakePendingExposure(Live& live);
    void ReportUnplug(Live& live);

    std::filesystem::path root_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Live>> live_;
    std::map<DeviceHandle, std::shared_ptr<Live>> handles_;
    DeviceHandle nextHandle_ = 0x2000;
};

} // namespace qor::sim
