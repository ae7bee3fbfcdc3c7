// The simulated sensor's protocol engine.
#include "external/sensor_sim/core/sim_sensor.h"

#include "external/sensor_sim/core/sim_frames.h"

#include <algorithm>
#include <cstring>

namespace qor::sim {
namespace {

uint32_t ReadLittleEndian32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

} // namespace

SimSensor::SimSensor(std::vector<uint8_t> flash, bool legacy)
    : flash_(std::move(flash)), legacy_(legacy) {
    flash_.resize(kFlashBytes, 0xFF);
}

bool SimSensor::Reject() {
    // A real sensor stalls the pipe; the exchange in progress is abandoned.
    ++rejected_;
    exchange_ = {};
    return false;
}

bool SimSensor::TakeFault(FaultStep step, FaultKind& kind) {
    for (InjectedFault& fault : faults_) {
        if (fault.count == 0 || fault.step != step ||
            (fault.command != 0 && fault.command != exchange_.command)) {
            continue;
        }
        if (fault.skip > 0) {
            --fault.skip;
            continue;
        }
        if (fault.count > 0) {
            --fault.count;
        }
        ++faultsFired_;
        if (fault.kind == FaultKind::Pause) {
            // A stall, not a failure: the transfer goes on normally once released.
            if (pauseHandler_) {
                pauseHandler_();
            }
            return false;
        }
        kind = fault.kind;
        return true;
    }
    return false;
}

bool SimSensor::Write(Pipe pipe, const uint8_t* data, uint32_t length) {
    std::lock_guard lock(mutex_);
    if (!plugged_ || (data == nullptr && length != 0)) {
        return false;
    }
    FaultStep step;
    if (pipe == Pipe::CommandOut) {
        step = FaultStep::Command;
    } else if (pipe == Pipe::DataOut && exchange_.phase == Phase::DataFromHost) {
        step = FaultStep::Data;
    } else if (pipe == Pipe::DataOut && exchange_.phase == Phase::Closing) {
        step = FaultStep::Closing;
    } else {
        return Reject();
    }

    // Faults are matched against the command of the block being sent, or of the exchange.
    const uint8_t savedCommand = exchange_.command;
    if (step == FaultStep::Command) {
        exchange_.command = length > 0 ? data[0] : 0;
    }
    FaultKind kind;
    const bool faulted = TakeFault(step, kind);
    exchange_.command = savedCommand;
    if (faulted) {
        // A write that fails never reached the sensor: its state is unchanged.
        if (kind == FaultKind::Unplug) {
            plugged_ = false;
        }
        return false;
    }

    if (step == FaultStep::Command) {
        return AcceptCommand(data, length);
    }
    if (step == FaultStep::Data) {
        if (length != exchange_.byteCount) {
            return Reject();
        }
        std::memcpy(flash_.data() + exchange_.offset, data, length);
        if (flashListener_) {
            flashListener_(flash_, exchange_.offset, length);
        }
        exchange_.phase = Phase::FinalReply;
        exchange_.reply = {exchange_.command, 3, 0};
        return true;
    }
    // Closing block: the command's type, length 3, a zero payload byte.
    if (length != kClosingBlockBytes || data[0] != exchange_.command || data[1] != 3 ||
        data[2] != 0) {
        return Reject();
    }
    if (exchange_.command == static_cast<uint8_t>(Command::ReadImage) &&
        state_ == State::Captured &&
        uint64_t(exchange_.offset) + exchange_.byteCount >= armedBytes_) {
        // The window that ends the frame has been read: the frame is handed over once the host
        // turns to anything else (reads of the rest of frame memory may still follow).
        frameDelivered_ = true;
    }
    exchange_ = {};
    return true;
}

bool SimSensor::AcceptCommand(const uint8_t* data, uint32_t length) {
    CommandShape shape{};
    if (length < 2 || data[1] != length || !LookupCommand(data[0], shape) ||
        shape.blockLength != length) {
        return Reject();
    }
    const uint8_t type = data[0];
    if (frameDelivered_ && type != static_cast<uint8_t>(Command::ReadImage)) {
        state_ = State::Open;
        testMode_ = false;
        frameDelivered_ = false;
        frame_.clear();
    }
    Exchange next;
    next.command = type;
    next.shape = shape;
    next.reply.assign(shape.replyLength, 0);
    next.reply[0] = type;
    next.reply[1] = shape.replyLength;

    switch (static_cast<Command>(type)) {
    case Command::Hello:
        break;
    case Command::GetVersion:
        std::copy(version_.begin(), version_.end(), next.reply.begin() + 3);
        break;
    case Command::SetSensorParams:
        std::copy(data + 2, data + 7, params_.begin());
        paramsReceived_ = true;
        break;
    case Command::TestImage:
        if (state_ != State::Armed) {
            return Reject();
        }
        // The test pattern needs no exposure: it is captured at once.
        frame_ = TestPatternFrame(flash_, armedBytes_ / 2);
        testMode_ = true;
        state_ = State::Captured;
        break;
    case Command::Arm: {
        const uint32_t bytes = ReadLittleEndian32(data + 2);
        if (bytes == 0 || bytes % 2 != 0 || bytes > kFrameMemoryBytes) {
            return Reject();
        }
        armedBytes_ = bytes;
        state_ = State::Armed;
        frameDelivered_ = false;
        testMode_ = false;
        frame_.clear();
        break;
    }
    case Command::Cancel:
        frameDelivered_ = false;
        state_ = State::Open;
        testMode_ = false;
        frame_.clear();
        break;
    case Command::GetStatus:
        next.reply[3] = state_ == State::Armed ? 1 : 0;
        break;
    case Command::ReadImage:
    case Command::ReadFlash:
    case Command::WriteFlash: {
        next.byteCount = ReadLittleEndian32(data + 2);
        next.offset = ReadLittleEndian32(data + 6);
        const bool image = type == static_cast<uint8_t>(Command::ReadImage);
        const uint64_t limit = image ? kFrameMemoryBytes : kFlashBytes;
        if (next.byteCount == 0 || next.byteCount > kMaxDataPhaseBytes ||
            uint64_t(next.offset) + next.byteCount > limit) {
            return Reject();
        }
        if (image &&
            (state_ != State::Captured || next.byteCount % 2 != 0 || next.offset % 2 != 0)) {
            return Reject();
        }
        break;
    }
    }
    ++commandCounts_[type];
    if (logCommands_) {
        commandLog_.emplace_back(data, data + length);
    }
    next.phase = Phase::Reply;
    exchange_ = std::move(next);
    return true;
}

bool SimSensor::DeliverReply(uint8_t* data, uint32_t length, FaultStep step, Phase next) {
    if (length != exchange_.reply.size()) {
        return Reject();
    }
    FaultKind kind = FaultKind::FailTransfer;
    const bool faulted = TakeFault(step, kind);
    std::vector<uint8_t> reply = exchange_.reply;
    exchange_.phase = next;
    if (next == Phase::Idle) {
        exchange_ = {};
    }
    if (!faulted) {
        std::memcpy(data, reply.data(), reply.size());
        return true;
    }
    switch (kind) {
    case FaultKind::FailTransfer:
    case FaultKind::Pause: // never reported by TakeFault
        // Lost on the way: the sensor has moved on all the same.
        return false;
    case FaultKind::Unplug:
        plugged_ = false;
        return false;
    case FaultKind::ShortReply:
        reply[1] = static_cast<uint8_t>(reply.size() - 1);
        std::memcpy(data, reply.data(), reply.size() - 1);
        return true;
    case FaultKind::LongLengthByte:
        reply[1] = static_cast<uint8_t>(reply.size() + 1);
        std::memcpy(data, reply.data(), reply.size());
        return true;
    }
    return false;
}

void SimSensor::FillData(uint8_t* data, uint32_t length) const {
    if (exchange_.command == static_cast<uint8_t>(Command::ReadFlash)) {
        std::memcpy(data, flash_.data() + exchange_.offset, length);
        return;
    }
    // Image samples go out 16-bit little-endian; frame memory past the frame reads as zero.
    const size_t first = exchange_.offset / 2;
    for (uint32_t i = 0; i < length / 2; ++i) {
        const size_t index = first + i;
        const uint16_t v = index < frame_.size() ? frame_[index] : 0;
        data[2 * i] = static_cast<uint8_t>(v);
        data[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
}

bool SimSensor::Read(Pipe pipe, uint8_t* data, uint32_t length) {
    std::lock_guard lock(mutex_);
    if (!plugged_ || (data == nullptr && length != 0)) {
        return false;
    }
    if (pipe == Pipe::ReplyIn && exchange_.phase == Phase::Reply) {
        Phase next = Phase::Idle;
        if (exchange_.shape.phase == DataPhase::ToHostThenClosing) {
            next = Phase::DataToHost;
        } else if (exchange_.shape.phase == DataPhase::FromHostThenReply) {
            next = Phase::DataFromHost;
        }
        return DeliverReply(data, length, FaultStep::Reply, next);
    }
    if (pipe == Pipe::DataIn && exchange_.phase == Phase::FinalReply) {
        return DeliverReply(data, length, FaultStep::Closing, Phase::Idle);
    }
    if (pipe != Pipe::DataIn || exchange_.phase != Phase::DataToHost) {
        return Reject();
    }
    if (length != exchange_.byteCount) {
        return Reject();
    }
    FaultKind kind = FaultKind::FailTransfer;
    const bool faulted = TakeFault(FaultStep::Data, kind);
    exchange_.phase = Phase::Closing;
    if (!faulted) {
        FillData(data, length);
        return true;
    }
    switch (kind) {
    case FaultKind::Unplug:
        plugged_ = false;
        return false;
    case FaultKind::ShortReply:
    case FaultKind::LongLengthByte: {
        // A short data phase: only the first half arrives, the rest of the host's area is
        // left as it was.
        std::vector<uint8_t> all(length);
        FillData(all.data(), length);
        std::memcpy(data, all.data(), length / 2);
        return true;
    }
    case FaultKind::FailTransfer:
    case FaultKind::Pause: // never reported by TakeFault
        break;
    }
    return false;
}

bool SimSensor::Expose(uint32_t seed, const PreparedFrame* prepared) {
    std::lock_guard lock(mutex_);
    if (!plugged_ || state_ != State::Armed) {
        return false;
    }
    if (frameSource_) {
        frame_ = frameSource_(seed);
    } else if (prepared != nullptr && prepared->seed == seed && prepared->legacy == legacy_ &&
               prepared->flashDigest == FlashDigest(flash_)) {
        frame_ = prepared->samples;
    } else {
        frame_ = ExposureFrame(flash_, seed, legacy_);
    }
    frame_.resize(armedBytes_ / 2, 0);
    state_ = State::Captured;
    return true;
}

void SimSensor::SetFrameSource(FrameSource source) {
    std::lock_guard lock(mutex_);
    frameSource_ = std::move(source);
}

void SimSensor::Unplug() {
    std::lock_guard lock(mutex_);
    plugged_ = false;
}

bool SimSensor::Plugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

void SimSensor::InjectFault(const InjectedFault& fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(fault);
}

void SimSensor::SetFaults(std::vector<InjectedFault> faults) {
    std::lock_guard lock(mutex_);
    faults_ = std::move(faults);
}

void SimSensor::SetPauseHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    pauseHandler_ = std::move(handler);
}

uint32_t SimSensor::FaultsFired() const {
    std::lock_guard lock(mutex_);
    return faultsFired_;
}

void SimSensor::SetFlashListener(FlashListener listener) {
    std::lock_guard lock(mutex_);
    flashListener_ = std::move(listener);
}

void SimSensor::SetVersion(uint8_t a, uint8_t b, uint8_t c) {
    std::lock_guard lock(mutex_);
    version_ = {a, b, c};
}

SimSensor::State SimSensor::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

uint32_t SimSensor::ArmedBytes() const {
    std::lock_guard lock(mutex_);
    return armedBytes_;
}

bool SimSensor::TestMode() const {
    std::lock_guard lock(mutex_);
    return testMode_;
}

bool SimSensor::ParamsReceived() const {
    std::lock_guard lock(mutex_);
    return paramsReceived_;
}

std::array<uint8_t, 5> SimSensor::SensorParams() const {
    std::lock_guard lock(mutex_);
    return params_;
}

std::vector<uint8_t> SimSensor::Flash() const {
    std::lock_guard lock(mutex_);
    return flash_;
}

uint32_t SimSensor::CommandCount(uint8_t type) const {
    std::lock_guard lock(mutex_);
    const auto it = commandCounts_.find(type);
    return it == commandCounts_.end() ? 0 : it->second;
}

uint32_t SimSensor::RejectedTransfers() const {
    std::lock_guard lock(mutex_);
    return rejected_;
}

void SimSensor::EnableCommandLog(bool on) {
    std::lock_guard lock(mutex_);
    logCommands_ = on;
}

std::vector<std::vector<uint8_t>> SimSensor::CommandLog() const {
    std::lock_guard lock(mutex_);
    return commandLog_;
}

} // namespace qor::sim
