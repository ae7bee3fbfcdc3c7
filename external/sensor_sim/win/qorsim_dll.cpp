// qorsim.dll: SimDeviceIo behind a boundary that no exception crosses.
#include "external/sensor_sim/win/qorsim_api.h"

#include "external/sensor_sim/core/sim_device_io.h"

#include <memory>

namespace {

// Every call of Qor.dll lands here; a failure inside the simulator reads as a failed transfer.
class GuardedSimDeviceIo final : public qor::DeviceIo {
public:
    explicit GuardedSimDeviceIo(std::unique_ptr<qor::sim::SimDeviceIo> io) : io_(std::move(io)) {}

    bool EnumerateInterfaces(std::vector<std::string>& paths) override {
        try {
            return io_->EnumerateInterfaces(paths);
        } catch (...) {
            paths.clear();
            return false;
        }
    }
    qor::DeviceHandle Open(const std::string& path) override {
        try {
            return io_->Open(path);
        } catch (...) {
            return qor::kNoDevice;
        }
    }
    void Close(qor::DeviceHandle handle) override {
        try {
            io_->Close(handle);
        } catch (...) {
        }
    }
    bool BulkWrite(qor::DeviceHandle handle, qor::Pipe pipe, const uint8_t* data,
                   uint32_t length) override {
        try {
            return io_->BulkWrite(handle, pipe, data, length);
        } catch (...) {
            return false;
        }
    }
    bool BulkRead(qor::DeviceHandle handle, qor::Pipe pipe, uint8_t* data,
                  uint32_t length) override {
        try {
            return io_->BulkRead(handle, pipe, data, length);
        } catch (...) {
            return false;
        }
    }

private:
    std::unique_ptr<qor::sim::SimDeviceIo> io_;
};

}  // namespace

QORSIM_API qor::DeviceIo* WINAPI QorSimCreateDeviceIo() {
    try {
        auto io = qor::sim::SimDeviceIo::FromEnvironment();
        return io ? new GuardedSimDeviceIo(std::move(io)) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

QORSIM_API void WINAPI QorSimDestroyDeviceIo(qor::DeviceIo* io) {
    try {
        delete io;
    } catch (...) {
    }
}
