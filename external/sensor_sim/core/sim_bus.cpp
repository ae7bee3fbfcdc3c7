// In-process bus of simulated sensors.
#include "external/sensor_sim/core/sim_bus.h"

#include <algorithm>
#include <cctype>

namespace qor::sim {

bool SamePath(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::shared_ptr<SimSensor> SimBus::Plug(const std::string& path, std::vector<uint8_t> flash,
                                        bool legacy) {
    auto sensor = std::make_shared<SimSensor>(std::move(flash), legacy);
    std::lock_guard lock(mutex_);
    attached_.erase(std::remove_if(attached_.begin(), attached_.end(),
                                   [&](const Attached& a) { return SamePath(a.path, path); }),
                    attached_.end());
    attached_.push_back({path, sensor});
    return sensor;
}

void SimBus::Unplug(const std::string& path) {
    std::lock_guard lock(mutex_);
    for (auto it = attached_.begin(); it != attached_.end(); ++it) {
        if (SamePath(it->path, path)) {
            it->sensor->Unplug();
            attached_.erase(it);
            return;
        }
    }
}

std::shared_ptr<SimSensor> SimBus::Sensor(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const Attached& a : attached_) {
        if (SamePath(a.path, path)) {
            return a.sensor;
        }
    }
    return nullptr;
}

std::shared_ptr<SimSensor> SimBus::SensorFor(DeviceHandle handle) const {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second;
}

void SimBus::FailEnumeration(bool fail) {
    std::lock_guard lock(mutex_);
    failEnumeration_ = fail;
}

void SimBus::FailOpen(bool fail) {
    std::lock_guard lock(mutex_);
    failOpen_ = fail;
}

size_t SimBus::OpenHandleCount() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

uint32_t SimBus::TransferCount() const {
    std::lock_guard lock(mutex_);
    return transfers_;
}

bool SimBus::EnumerateInterfaces(std::vector<std::string>& paths) {
    std::lock_guard lock(mutex_);
    paths.clear();
    if (failEnumeration_) {
        return false;
    }
    for (const Attached& a : attached_) {
        // A sensor that a fault pulled out is no longer on the bus.
        if (a.sensor->Plugged()) {
            paths.push_back(a.path);
        }
    }
    return true;
}

DeviceHandle SimBus::Open(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (failOpen_) {
        return kNoDevice;
    }
    for (const Attached& a : attached_) {
        if (SamePath(a.path, path) && a.sensor->Plugged()) {
            const DeviceHandle handle = nextHandle_;
            nextHandle_ += 4;
            handles_[handle] = a.sensor;
            return handle;
        }
    }
    return kNoDevice;
}

void SimBus::Close(DeviceHandle handle) {
    std::lock_guard lock(mutex_);
    handles_.erase(handle);
}

std::shared_ptr<SimSensor> SimBus::CountTransferTo(DeviceHandle handle) {
    std::lock_guard lock(mutex_);
    ++transfers_;
    const auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second;
}

bool SimBus::BulkWrite(DeviceHandle handle, Pipe pipe, const uint8_t* data, uint32_t length) {
    const std::shared_ptr<SimSensor> sensor = CountTransferTo(handle);
    return sensor != nullptr && sensor->Write(pipe, data, length);
}

bool SimBus::BulkRead(DeviceHandle handle, Pipe pipe, uint8_t* data, uint32_t length) {
    const std::shared_ptr<SimSensor> sensor = CountTransferTo(handle);
    return sensor != nullptr && sensor->Read(pipe, data, length);
}

} // namespace qor::sim
