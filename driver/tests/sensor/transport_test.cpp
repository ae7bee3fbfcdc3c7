// Enumeration, opening and the command exchanges of the USB transport.
#include "driver/core/sensor_transport.h"
#include "external/sensor_sim/core/sim_frames.h"
#include "sensor_test_support.h"

namespace qor::sensortest {
namespace {

using qor::sim::FaultKind;
using qor::sim::FaultStep;
using qor::sim::InjectedFault;

using TransportTest = SensorFixture;

TEST_F(TransportTest, EnumerationStoresAtMostEightAndLaterEntriesKeepTheirContents) {
    for (int i = 0; i < 11; ++i) {
        bus_.Plug(PathOf(i), Flash());
    }
    EXPECT_EQ(EnumerateDevices(port_), 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(port_.devices.EnumeratedPath(i), PathOf(i));
    }
    EXPECT_EQ(port_.devices.EnumeratedPath(8), "");

    for (int i = 0; i < 11; ++i) {
        if (i != 1) {
            bus_.Unplug(PathOf(i));
        }
    }
    EXPECT_EQ(EnumerateDevices(port_), 1);
    EXPECT_EQ(port_.devices.EnumeratedPath(0), PathOf(1));
    EXPECT_EQ(port_.devices.EnumeratedPath(1), PathOf(1)); // stale entries stay
    EXPECT_EQ(port_.devices.EnumeratedPath(7), PathOf(7));

    bus_.FailEnumeration(true);
    EXPECT_EQ(EnumerateDevices(port_), 0);
    EXPECT_EQ(port_.devices.EnumeratedPath(0), PathOf(1));
    SensorPort unconnected;
    EXPECT_EQ(EnumerateDevices(unconnected), 0);
}

TEST_F(TransportTest, PathsLongerThanTheEntryAreCutNotOverrun) {
    const std::string longPath(300, 'p');
    bus_.Plug(longPath, Flash());
    ASSERT_EQ(EnumerateDevices(port_), 1);
    EXPECT_EQ(port_.devices.EnumeratedPath(0), std::string(255, 'p'));
    EXPECT_EQ(Open(0), kNoDevice) << "a cut path opens nothing";
}

TEST_F(TransportTest, NameSelectsTheEntryByItsLastCharacter) {
    PlugSensors(8);
    const DeviceHandle three = OpenDevice(port_, "mivonusb-3");
    ASSERT_NE(three, kNoDevice);
    EXPECT_EQ(bus_.SensorFor(three), Sensor(3));
    EXPECT_EQ(bus_.SensorFor(OpenDevice(port_, "mivonusb-13")), Sensor(3));
    EXPECT_EQ(bus_.SensorFor(OpenDevice(port_, "sensor-x")), Sensor(0)); // non-digit reads as 0

    const uint32_t before = bus_.TransferCount();
    const size_t handles = bus_.OpenHandleCount();
    for (const char* refused : {"mivonusb-8", "mivonusb-9", "mivonusb-19", ""}) {
        EXPECT_EQ(OpenDevice(port_, refused), kNoDevice) << refused;
    }
    EXPECT_EQ(OpenDevice(port_, nullptr), kNoDevice);
    EXPECT_EQ(bus_.TransferCount(), before);
    EXPECT_EQ(bus_.OpenHandleCount(), handles);
}

TEST_F(TransportTest, OpenRecordsTheHandleInTheFirstPresentSlotWithoutOne) {
    int signals = 0;
    std::vector<DeviceHandle> registered;
    port_.hooks.signalDeviceChange = [&] { ++signals; };
    port_.hooks.registerHandleNotification = [&](DeviceHandle h) { registered.push_back(h); };

    bus_.Plug(PathOf(0), Flash());
    bus_.Plug(PathOf(1), Flash());
    EnumerateDevices(port_);
    const DeviceHandle early = Open(0); // no slot present yet: returned, not recorded
    ASSERT_NE(early, kNoDevice);
    EXPECT_EQ(port_.devices.Slot(0).handle, kNoDevice);
    EXPECT_EQ(signals, 0);

    port_.devices.ApplyInitialEnumeration(2);
    const DeviceHandle a = Open(1);
    const DeviceHandle b = Open(1);
    EXPECT_EQ(port_.devices.Slot(0).handle, a) << "first qualifying slot, whatever the name";
    EXPECT_EQ(port_.devices.Slot(1).handle, b);
    const DeviceHandle c = Open(0);
    ASSERT_NE(c, kNoDevice);
    EXPECT_EQ(signals, 2);
    EXPECT_EQ(registered, (std::vector<DeviceHandle>{early, a, b, c}));
    EXPECT_EQ(Sensor(1)->CommandCount(CmdHello), 2u);
}

TEST_F(TransportTest, FailedOpenReturnsZeroAndRecordsNothing) {
    PlugSensors(1);
    bus_.FailOpen(true);
    EXPECT_EQ(Open(0), kNoDevice);
    EXPECT_EQ(port_.devices.Slot(0).handle, kNoDevice);
    EXPECT_EQ(Sensor(0)->CommandCount(CmdHello), 0u);
    EXPECT_EQ(Open(5), kNoDevice) << "an empty entry";
}

TEST_F(TransportTest, SensorParamsFollowTheCalibration) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    auto sent = [&](const Calibration& calibration) {
        SendSensorParams(port_, h, calibration);
        return Sensor(0)->SensorParams();
    };
    Calibration none;
    EXPECT_EQ(sent(none), (std::array<uint8_t, 5>{205, 0, 0, 0, 1}));

    Calibration loaded;
    loaded.loaded = true;
    loaded.set.formatVersion = 3;
    loaded.set.sensorSetting = 0x15A;
    loaded.set.sensorSetting2 = 0xF400;
    EXPECT_EQ(sent(loaded), (std::array<uint8_t, 5>{0x5A, 0, 206, 0, 1}));
    loaded.set.sensorSetting2 = 0x1234;
    EXPECT_EQ(sent(loaded), (std::array<uint8_t, 5>{0x5A, 0, 0x34, 0, 1}));
    loaded.set.formatVersion = 1;
    EXPECT_EQ(sent(loaded), (std::array<uint8_t, 5>{0x5A, 0, 206, 0, 1}));
}

TEST_F(TransportTest, StatusByteOnlyFromAReplyOfLengthFour) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    auto sensor = Sensor(0);
    int32_t status = 55;
    EXPECT_EQ(QueryCaptureStatus(port_, h, status), 0);
    EXPECT_EQ(status, 0) << "open sensor: not busy";

    const std::pair<FaultStep, FaultKind> keepStatus[] = {
        {FaultStep::Reply, FaultKind::ShortReply},     // length byte 3
        {FaultStep::Reply, FaultKind::LongLengthByte}, // length byte 5: names a byte not sent
        {FaultStep::Reply, FaultKind::FailTransfer},   // no reply at all
    };
    for (const auto& [step, kind] : keepStatus) {
        sensor->InjectFault({CmdGetStatus, step, kind});
        status = 55;
        EXPECT_EQ(QueryCaptureStatus(port_, h, status), 0);
        EXPECT_EQ(status, 55);
    }

    sensor->InjectFault({CmdGetStatus, FaultStep::Command, FaultKind::FailTransfer});
    const uint32_t rejected = sensor->RejectedTransfers();
    EXPECT_EQ(QueryCaptureStatus(port_, h, status), 1);
    EXPECT_EQ(sensor->RejectedTransfers(), rejected) << "no reply is read after a failed send";
}

TEST_F(TransportTest, FrameOf1201x861IsReadIn63FullWindowsAndOneOf1869) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    auto sensor = Sensor(0);
    sensor->EnableCommandLog(true);
    const uint32_t pixels = 1201 * 861;
    ASSERT_EQ(pixels, 1034061u);
    CommandBlock arm = SimpleCommand(CmdArm);
    arm.Put32(2, pixels * 2);
    SendSimpleCommand(port_, h, arm, 3);
    ASSERT_TRUE(sensor->Expose(99));

    std::vector<int32_t> frame(pixels, -1);
    ASSERT_EQ(ReadImagePixels(port_, h, static_cast<int32_t>(pixels), frame.data()), 0);
    const auto windows = Logged(*sensor, CmdReadImage);
    ASSERT_EQ(windows.size(), 64u);
    for (size_t i = 0; i < 63; ++i) {
        EXPECT_EQ(Arg32(windows[i], 2), 32768u);
        EXPECT_EQ(Arg32(windows[i], 6), i * 32768u);
    }
    EXPECT_EQ(Arg32(windows[63], 2), 1869u * 2);
    EXPECT_EQ(Arg32(windows[63], 6), 63u * 32768);

    const std::vector<uint16_t> expected = qor::sim::ExposureFrame(Flash(), 99, false);
    ASSERT_EQ(expected.size(), pixels);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), expected.begin()));
    EXPECT_EQ(sensor->RejectedTransfers(), 0u);
}

TEST_F(TransportTest, ImageWindowStopsAtTheFirstFailedTransfer) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    auto sensor = Sensor(0);
    for (const FaultStep step :
         {FaultStep::Command, FaultStep::Reply, FaultStep::Data, FaultStep::Closing}) {
        CommandBlock arm = SimpleCommand(CmdArm);
        arm.Put32(2, 200000);
        SendSimpleCommand(port_, h, arm, 3);
        ASSERT_TRUE(sensor->Expose(1));
        sensor->InjectFault({CmdReadImage, step, FaultKind::FailTransfer, 2});
        const uint32_t before = sensor->CommandCount(CmdReadImage);
        std::vector<int32_t> frame(100000);
        EXPECT_EQ(ReadImagePixels(port_, h, 100000, frame.data()), 1);
        // Windows 0 and 1 pass, window 2 fails; no window after it is asked for.
        const uint32_t sent = sensor->CommandCount(CmdReadImage) - before;
        EXPECT_EQ(sent, step == FaultStep::Command ? 2u : 3u) << int(step);
        EXPECT_EQ(sensor->RejectedTransfers(), 0u) << "no step after the failed one";
    }
}

TEST_F(TransportTest, ImageWindowLimitsAndNothingToRead) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    std::vector<int32_t> frame(16385);
    const uint32_t before = bus_.TransferCount();
    EXPECT_EQ(ReadImageWindow(port_, h, 0, 16385, frame.data()), 1);
    EXPECT_EQ(ReadImageWindow(port_, h, 0, 10, nullptr), 1);
    EXPECT_EQ(ReadImageWindow(port_, h, 0, 0, frame.data()), 0);
    EXPECT_EQ(ReadImagePixels(port_, h, 0, frame.data()), 0);
    EXPECT_EQ(ReadImagePixels(port_, h, -5, frame.data()), 0);
    EXPECT_EQ(ReadImagePixels(port_, h, 10, nullptr), 1);
    EXPECT_EQ(bus_.TransferCount(), before);
}

TEST_F(TransportTest, FailedFlashWindowStillClosesAndLeavesZeros) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    auto sensor = Sensor(0);
    std::vector<int32_t> window(32768, 7);
    sensor->InjectFault({CmdReadFlash, FaultStep::Data, FaultKind::FailTransfer});
    EXPECT_EQ(ReadFlashWindow(port_, h, 0, 32768, window.data()), 0);
    EXPECT_EQ(std::count(window.begin(), window.end(), 0), 32768);
    EXPECT_EQ(sensor->RejectedTransfers(), 0u) << "the closing block was sent and accepted";

    // A command block that never went out: every later step still runs (and is refused).
    sensor->InjectFault({CmdReadFlash, FaultStep::Command, FaultKind::FailTransfer});
    EXPECT_EQ(ReadFlashWindow(port_, h, 0, 136, window.data()), 0);
    EXPECT_EQ(sensor->RejectedTransfers(), 3u);

    EXPECT_EQ(ReadFlashWindow(port_, h, 0, 136, window.data()), 0);
    for (int i = 0; i < 136; ++i) {
        ASSERT_EQ(window[i], Flash()[i]);
    }
}

TEST_F(TransportTest, FlashWindowWritesTheLowBytes) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    std::vector<int32_t> source(32768);
    for (int i = 0; i < 32768; ++i) {
        source[i] = 0x1200 + (i & 0xFF);
    }
    EXPECT_EQ(WriteFlashWindow(port_, h, 0x10000, 32768, source.data()), 0);
    const auto flash = Sensor(0)->Flash();
    for (int i = 0; i < 32768; ++i) {
        ASSERT_EQ(flash[0x10000 + i], i & 0xFF);
    }
    EXPECT_EQ(Sensor(0)->RejectedTransfers(), 0u);
}

TEST_F(TransportTest, RefusedWorkingMemoryFailsCleanlyWithoutTraffic) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    port_.hooks.refuseAllocation = [](size_t) { return true; };
    const uint32_t before = bus_.TransferCount();
    std::vector<int32_t> data(32768, 9);
    EXPECT_EQ(ReadImageWindow(port_, h, 0, 100, data.data()), 1);
    EXPECT_EQ(ReadFlashWindow(port_, h, 0, 100, data.data()), 0);
    EXPECT_EQ(data[0], 9) << "skipped window leaves the destination";
    EXPECT_EQ(WriteFlashWindow(port_, h, 0, 100, data.data()), 0);
    EXPECT_EQ(bus_.TransferCount(), before);
}

TEST_F(TransportTest, LowLevelVersionAsksTheNewestOpenSensor) {
    EXPECT_EQ(GetLowLevelDriverVer(port_), -1) << "no open sensor";
    PlugSensors(2);
    Sensor(1)->SetVersion(3, 0, 0);
    const DeviceHandle first = Open(0);
    const DeviceHandle second = Open(1);
    EXPECT_EQ(GetLowLevelDriverVer(port_), 3);
    CloseDevice(port_, second);
    EXPECT_EQ(GetLowLevelDriverVer(port_), 2);
    Sensor(0)->InjectFault({CmdGetVersion, FaultStep::Reply, FaultKind::FailTransfer});
    EXPECT_EQ(GetLowLevelDriverVer(port_), -1);
    Sensor(0)->InjectFault({CmdGetVersion, FaultStep::Command, FaultKind::FailTransfer});
    EXPECT_EQ(GetLowLevelDriverVer(port_), -1);
    CloseDevice(port_, first);
    EXPECT_EQ(GetLowLevelDriverVer(port_), -1);
    EXPECT_EQ(bus_.OpenHandleCount(), 0u);
}

} // namespace
} // namespace qor::sensortest
