// The driver library's device access when QOR_SENSOR_SIMULATOR is set: the sensors of the
// simulator directory, driven by SimulatorControl from any other process. Each open handle
// belongs to one plug generation of a sensor; once the sensor is unplugged (or plugged again)
// every transfer on it fails, as with a real sensor.
// The state file is read again at most every kStateRecheck during a run of transfers (a frame
// read is some four hundred of them, and each read of the file costs the Windows side three
// system calls): a change from another process shows within that time, one made in this process,
// a new press of the button or the end of a pause at the next transfer.
#pragma once

#include "driver/core/device_io.h"
#include "external/sensor_sim/core/sim_directory.h"
#include "external/sensor_sim/core/sim_sensor.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace qor::sim {

class SimDeviceIo : public DeviceIo {
public:
    static constexpr std::chrono::milliseconds kStateRecheck{25};

    explicit SimDeviceIo(std::filesystem::path root,
                         std::chrono::milliseconds enumerationDelay = std::chrono::milliseconds(0));
    // Null when QOR_SENSOR_SIMULATOR is not set; QOR_SIM_ENUMERATION_DELAY_MS slows enumeration.
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
        // When the state file was last found to match, and the count of this process's
        // directory writes then; a pause forces the next check.
        std::chrono::steady_clock::time_point checkedAt{};
        uint64_t checkedWrites = 0;
        bool mustCheck = true;
        std::shared_ptr<SimSensor> sensor;
    };
    template <typename Transfer> bool Run(DeviceHandle handle, Pipe pipe, Transfer&& transfer);
    bool StillAttached(Live& live, bool force);
    // True when the button was pressed since the sensor last took an exposure.
    static bool PressWaiting(Live& live, ExposureFile& exposure);
    void TakePendingExposure(Live& live, const ExposureFile& exposure);
    void ReportUnplug(Live& live);

    std::filesystem::path root_;
    std::chrono::milliseconds enumerationDelay_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Live>> live_;
    std::map<DeviceHandle, std::shared_ptr<Live>> handles_;
    DeviceHandle nextHandle_ = 0x2000;
};

} // namespace qor::sim
