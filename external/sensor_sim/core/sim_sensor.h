// One simulated sensor as its kernel driver presents it: 2 MiB flash, the command protocol with
// the order checks of the real firmware, the arm -> expose -> captured -> read cycle, test-image
// mode, cancel, and injected faults. Every transfer is checked; anything out of order fails.
// A captured frame stays readable (frame memory beyond it reads as zero) until the window that
// ends it has been read and the host sends any command other than an image read.
#pragma once

#include "driver/core/device_io.h"
#include "external/sensor_sim/core/sim_faults.h"
#include "external/sensor_sim/core/sim_prepared_frame.h"
#include "external/sensor_sim/core/sim_protocol.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace qor::sim {

class SimSensor {
public:
    enum class State : uint8_t { Open, Armed, Captured };
    using FrameSource = std::function<std::vector<uint16_t>(uint32_t seed)>;
    using FlashListener =
        std::function<void(const std::vector<uint8_t>& flash, uint32_t offset, uint32_t count)>;

    // `flash` is resized to 2 MiB (erased bytes are 0xFF). `legacy` selects the legacy reading
    // of the calibration when exposures are generated.
    explicit SimSensor(std::vector<uint8_t> flash, bool legacy = false);

    // The host side of the wire: one bulk transfer each; false when the transfer fails.
    bool Write(Pipe pipe, const uint8_t* data, uint32_t length);
    bool Read(Pipe pipe, uint8_t* data, uint32_t length);

    // The X-ray button. An armed sensor captures the exposure of `seed` and returns true; in any
    // other state the exposure is not taken and the result is false. A `prepared` frame made for
    // this sensor's flash and reading is taken as it is rather than computed again.
    bool Expose(uint32_t seed, const PreparedFrame* prepared = nullptr);
    void SetFrameSource(FrameSource source);

    void Unplug();
    bool Plugged() const;

    void InjectFault(const InjectedFault& fault);
    void SetFaults(std::vector<InjectedFault> faults);
    uint32_t FaultsFired() const;

    void SetFlashListener(FlashListener listener);
    // Called (with the sensor's lock held) when a pause fault fires; returns once released.
    void SetPauseHandler(std::function<void()> handler);
    void SetVersion(uint8_t a, uint8_t b, uint8_t c);

    // Inspection.
    State state() const;
    uint32_t ArmedBytes() const;
    bool TestMode() const;
    bool ParamsReceived() const;
    std::array<uint8_t, 5> SensorParams() const;
    std::vector<uint8_t> Flash() const;
    uint32_t CommandCount(uint8_t type) const;
    uint32_t RejectedTransfers() const;
    // Command blocks received while logging is on, as they came over the wire.
    void EnableCommandLog(bool on);
    std::vector<std::vector<uint8_t>> CommandLog() const;

private:
    enum class Phase : uint8_t { Idle, Reply, DataToHost, DataFromHost, Closing, FinalReply };
    struct Exchange {
        uint8_t command = 0;
        CommandShape shape{};
        Phase phase = Phase::Idle;
        std::vector<uint8_t> reply;
        uint32_t byteCount = 0;
        uint32_t offset = 0;
    };
    enum class Delivery : uint8_t { Full, Lost, Short, LongLength };

    bool AcceptCommand(const uint8_t* data, uint32_t length);
    bool DeliverReply(uint8_t* data, uint32_t length, FaultStep step, Phase next);
    void FillData(uint8_t* data, uint32_t length) const;
    bool TakeFault(FaultStep step, FaultKind& kind);
    bool Reject();

    mutable std::mutex mutex_;
    std::vector<uint8_t> flash_;
    bool legacy_ = false;
    bool plugged_ = true;
    State state_ = State::Open;
    bool testMode_ = false;
    bool frameDelivered_ = false; // the end of the frame has been read
    uint32_t armedBytes_ = 0;
    std::vector<uint16_t> frame_;
    Exchange exchange_;
    std::array<uint8_t, 3> version_{2, 7, 1};
    std::array<uint8_t, 5> params_{};
    bool paramsReceived_ = false;
    std::vector<InjectedFault> faults_;
    uint32_t faultsFired_ = 0;
    uint32_t rejected_ = 0;
    std::map<uint8_t, uint32_t> commandCounts_;
    bool logCommands_ = false;
    std::vector<std::vector<uint8_t>> commandLog_;
    FrameSource frameSource_;
    FlashListener flashListener_;
    std::function<void()> pauseHandler_;
};

} // namespace qor::sim
