// Every transfer step of every command failed, cut short, given a wrong length byte or ended by
// an unplug: each operation must end cleanly with its documented result, and a sensor that is
// still attached must answer the next exchange normally.
#include "driver/core/acquisition.h"
#include "driver/core/calibration_cache.h"
#include "sensor_test_support.h"

namespace qor::sensortest {
namespace {

using qor::sim::FaultKind;
using qor::sim::FaultStep;
using qor::sim::InjectedFault;

struct Case {
    CommandType command;
    FaultStep step;
    FaultKind kind;
    int32_t skip; // exchanges (windows) of that command that pass before the fault
};

std::string Describe(const Case& c) {
    return "command " + std::to_string(c.command) + " step " +
           std::to_string(static_cast<int>(c.step)) + " kind " +
           std::to_string(static_cast<int>(c.kind)) + " skip " + std::to_string(c.skip);
}

bool HasDataPhase(CommandType c) {
    return c == CmdReadImage || c == CmdReadFlash || c == CmdWriteFlash;
}

// Reads from the sensor can come back short or with a wrong length byte; a write that is
// "short" fails like any other failed write.
bool IsRead(CommandType c, FaultStep step) {
    switch (step) {
    case FaultStep::Reply:
        return true;
    case FaultStep::Data:
        return c != CmdWriteFlash;
    case FaultStep::Closing:
        return c == CmdWriteFlash;
    case FaultStep::Command:
        return false;
    }
    return false;
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (const CommandType command :
         {CmdHello, CmdGetVersion, CmdSetSensorParams, CmdTestImage, CmdArm, CmdCancel,
          CmdReadImage, CmdGetStatus, CmdWriteFlash, CmdReadFlash}) {
        std::vector<FaultStep> steps{FaultStep::Command, FaultStep::Reply};
        if (HasDataPhase(command)) {
            steps.push_back(FaultStep::Data);
            steps.push_back(FaultStep::Closing);
        }
        for (const FaultStep step : steps) {
            for (const FaultKind kind : {FaultKind::FailTransfer, FaultKind::ShortReply,
                                         FaultKind::LongLengthByte, FaultKind::Unplug}) {
                cases.push_back({command, step, kind, 0});
                if (HasDataPhase(command)) {
                    cases.push_back({command, step, kind, 40}); // in the middle of the image
                }
            }
        }
    }
    return cases;
}

class FaultMatrixTest : public SensorFixture {
protected:
    // Prepares the sensor for the command under test, injects the fault, runs the operation
    // that sends the command and checks its result.
    void Run(const Case& c) {
        SCOPED_TRACE(Describe(c));
        qor::sim::SimBus bus;
        SensorPort port;
        port.io = &bus;
        auto sensor = bus.Plug(PathOf(0), Flash());
        port.devices.ApplyInitialEnumeration(EnumerateDevices(port));
        const InjectedFault fault{c.command, c.step, c.kind, c.skip, 1};
        const bool readFault = IsRead(c.command, c.step);
        const bool cut =
            c.kind == FaultKind::FailTransfer || c.kind == FaultKind::Unplug || !readFault;

        // The sensor's calibration, as an earlier initialisation loaded it.
        static const Calibration& calibration = *[] {
            auto* loaded = new Calibration;
            EXPECT_TRUE(LoadCalibration(*loaded, Flash().data(), nullptr));
            return loaded;
        }();
        DeviceHandle h = kNoDevice;
        if (c.command != CmdHello) {
            h = OpenDevice(port, "mivonusb-0");
            ASSERT_NE(h, kNoDevice);
        }
        std::vector<int32_t> buffer(1048576);
        const auto bytes = static_cast<int32_t>(buffer.size() * 4);
        AcquisitionServices services;
        if (c.command == CmdReadImage || c.command == CmdGetStatus || c.command == CmdCancel) {
            ASSERT_EQ(Arm(port, calibration, h), 1);
            if (c.command == CmdReadImage) {
                ASSERT_TRUE(sensor->Expose(4));
            }
        }
        sensor->InjectFault(fault);

        switch (c.command) {
        case CmdHello:
            h = OpenDevice(port, "mivonusb-0");
            EXPECT_NE(h, kNoDevice) << "the hello reply is not examined";
            break;
        case CmdGetVersion:
            h = OpenDevice(port, "mivonusb-0");
            EXPECT_EQ(GetLowLevelDriverVer(port), cut ? -1 : 2);
            break;
        case CmdSetSensorParams:
            SendSensorParams(port, h, calibration);
            break;
        case CmdTestImage:
            EXPECT_EQ(ArmTestImage(port, calibration, h), 1);
            break;
        case CmdArm:
            // An arm block that never reached the sensor is reported: the caller re-arms
            // instead of waiting for an exposure the sensor cannot capture.
            EXPECT_EQ(Arm(port, calibration, h), c.step == FaultStep::Command ? 0 : 1);
            break;
        case CmdCancel:
            EXPECT_EQ(QorCancelAcquireImage(port, h), 0);
            break;
        case CmdReadImage: {
            const bool delivered =
                !cut && (c.step == FaultStep::Reply || c.step == FaultStep::Data);
            EXPECT_EQ(KelvoGetImgData(port, calibration, h, bytes, buffer.data(), 1, services),
                      delivered ? 1 : 0);
            break;
        }
        case CmdGetStatus: {
            int32_t status = 5;
            const int32_t result = QorGetCapStatus(port, h, &status);
            if (c.step == FaultStep::Command) {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(status, 0);
            } else {
                // No usable status byte: the preset 0 reads as captured (documented).
                EXPECT_EQ(result, 1);
                EXPECT_EQ(status, 1);
            }
            break;
        }
        case CmdWriteFlash: {
            std::vector<int32_t> staging(Flash().begin(), Flash().end());
            Calibration replaced;
            EXPECT_EQ(KelvoInitMcs(port, h, staging.data(), replaced, cacheDir_), 1);
            break;
        }
        case CmdReadFlash: {
            // No cache file: the load reads the flash.
            Calibration fresh;
            EXPECT_EQ(LoadSensorCalibration(port, h, fresh, CalibrationLoader::Standard, notify_,
                                            cacheDir_),
                      1);
            fs::remove(cacheDir_ / CacheFileName(fresh.set.imagerId));
            break;
        }
        }
        EXPECT_EQ(sensor->FaultsFired(), 1u) << "the operation reached the faulty step";

        // Afterwards: an attached sensor answers in step; an unplugged one fails cleanly.
        int32_t status = 99;
        if (c.kind == FaultKind::Unplug) {
            EXPECT_EQ(QueryCaptureStatus(port, h, status), 1);
            EXPECT_EQ(KelvoGetImgData(port, calibration, h, bytes, buffer.data(), 1, services), 0);
            EXPECT_EQ(KelvoGetRawImgData(port, h, bytes, buffer.data()), 0);
            EXPECT_EQ(EnumerateDevices(port), 0);
        } else {
            EXPECT_EQ(QueryCaptureStatus(port, h, status), 0);
            EXPECT_TRUE(status == 0 || status == 1) << status;
        }
        CloseDevice(port, h);
    }
};

TEST_F(FaultMatrixTest, EveryStepOfEveryCommandEndsCleanly) {
    const std::vector<Case> cases = AllCases();
    EXPECT_EQ(cases.size(), (7 * 2 * 4) + (3 * 4 * 4 * 2));
    for (const Case& c : cases) {
        Run(c);
        if (HasFatalFailure()) {
            return;
        }
    }
}

} // namespace
} // namespace qor::sensortest
