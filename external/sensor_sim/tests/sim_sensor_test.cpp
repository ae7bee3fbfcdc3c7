// The simulated sensor's protocol engine: replies, order checks, the capture cycle, flash, faults.
#include "external/sensor_sim/core/sim_frames.h"
#include "external/sensor_sim/core/sim_sensor.h"
#include "sim_test_support.h"

#include <gtest/gtest.h>

namespace qor::sim {
namespace {

using namespace qor::sim::testing;

constexpr uint8_t kHello = 1, kVersion = 2, kParams = 3, kTestImage = 5, kArm = 6, kCancel = 8,
                  kReadImage = 11, kStatus = 12, kWriteFlash = 13, kReadFlash = 14;

class SimSensorTest : public ::testing::Test {
protected:
    void SetUp() override { flash_ = SmallFlash(); }

    uint8_t Status(SimSensor& sensor) {
        std::vector<uint8_t> reply;
        EXPECT_TRUE(Send(sensor, Block(kStatus)));
        EXPECT_TRUE(ReadReply(sensor, reply, 4));
        return reply[3];
    }

    // One image window: command, reply, data, closing block.
    bool ReadImage(SimSensor& sensor, uint32_t byteCount, uint32_t byteOffset,
                   std::vector<uint8_t>& data) {
        std::vector<uint8_t> reply;
        data.assign(byteCount, 0xEE);
        const uint8_t closing[3] = {kReadImage, 3, 0};
        return Send(sensor, Window(kReadImage, byteCount, byteOffset)) &&
               ReadReply(sensor, reply, 3) && sensor.Read(Pipe::DataIn, data.data(), byteCount) &&
               sensor.Write(Pipe::DataOut, closing, 3);
    }

    std::vector<uint8_t> flash_;
};

TEST_F(SimSensorTest, SimpleCommandsReplyWithTheirOwnLengths) {
    SimSensor sensor(flash_);
    std::vector<uint8_t> reply;
    ASSERT_TRUE(Send(sensor, Block(kHello)));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    EXPECT_EQ(reply, (std::vector<uint8_t>{kHello, 3, 0}));

    ASSERT_TRUE(Send(sensor, Block(kVersion)));
    ASSERT_TRUE(ReadReply(sensor, reply, 6));
    EXPECT_EQ(reply, (std::vector<uint8_t>{kVersion, 6, 0, 2, 7, 1}));

    ASSERT_TRUE(Send(sensor, Block(kParams, {0x5A, 0, 206, 0, 1})));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    EXPECT_TRUE(sensor.ParamsReceived());
    EXPECT_EQ(sensor.SensorParams(), (std::array<uint8_t, 5>{0x5A, 0, 206, 0, 1}));

    EXPECT_EQ(Status(sensor), 0); // open: not busy
    EXPECT_EQ(sensor.CommandCount(kStatus), 1u);
}

TEST_F(SimSensorTest, OutOfOrderOrMalformedTrafficFails) {
    SimSensor sensor(flash_);
    std::vector<uint8_t> reply;
    uint8_t buffer[64] = {};
    EXPECT_FALSE(ReadReply(sensor, reply, 3));          // reply without a command
    EXPECT_FALSE(sensor.Read(Pipe::DataIn, buffer, 3)); // data without a command
    const uint8_t closing[3] = {kReadFlash, 3, 0};
    EXPECT_FALSE(sensor.Write(Pipe::DataOut, closing, 3));  // closing block without a read
    EXPECT_FALSE(sensor.Read(Pipe::CommandOut, buffer, 3)); // reading an out pipe
    EXPECT_FALSE(Send(sensor, Block(4)));                   // unknown type
    EXPECT_FALSE(Send(sensor, Block(kHello, {0})));         // wrong length for the type
    std::vector<uint8_t> lying = Block(kHello);
    lying[1] = 5; // length byte not what is sent
    EXPECT_FALSE(Send(sensor, lying));
    EXPECT_FALSE(Send(sensor, {}));

    ASSERT_TRUE(Send(sensor, Block(kStatus)));
    EXPECT_FALSE(ReadReply(sensor, reply, 3)); // a status reply is 4 bytes
    EXPECT_FALSE(ReadReply(sensor, reply, 4)); // and the exchange was abandoned
    EXPECT_EQ(sensor.RejectedTransfers(), 10u);
}

TEST_F(SimSensorTest, NewCommandAbandonsAnExchangeInProgress) {
    SimSensor sensor(flash_);
    std::vector<uint8_t> reply;
    ASSERT_TRUE(Send(sensor, Window(kReadFlash, 136, 0)));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    ASSERT_TRUE(Send(sensor, Block(kHello))); // the flash data is never fetched
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    uint8_t data[136];
    EXPECT_FALSE(sensor.Read(Pipe::DataIn, data, sizeof data));
}

TEST_F(SimSensorTest, ArmExposeReadDeliversTheSeededFrameThenReturnsToOpen) {
    SimSensor sensor(flash_);
    const uint32_t pixels = 100 * 80, bytes = pixels * 2;
    std::vector<uint8_t> reply, data;
    EXPECT_FALSE(sensor.Expose(3)) << "an open sensor ignores the X-ray";
    ASSERT_TRUE(Send(sensor, Block(kArm, Le32(bytes))));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    EXPECT_EQ(sensor.state(), SimSensor::State::Armed);
    EXPECT_NE(Status(sensor), 0);
    EXPECT_FALSE(Send(sensor, Window(kReadImage, 64, 0))) << "no frame to read yet";

    ASSERT_TRUE(sensor.Expose(7));
    EXPECT_EQ(Status(sensor), 0);
    const std::vector<uint16_t> expected = ExposureFrame(flash_, 7, false);
    ASSERT_EQ(expected.size(), pixels);

    std::vector<uint16_t> got;
    for (uint32_t offset = 0; offset < bytes; offset += 4096) {
        const uint32_t count = std::min<uint32_t>(4096, bytes - offset);
        ASSERT_TRUE(ReadImage(sensor, count, offset, data));
        for (uint32_t i = 0; i < count; i += 2) {
            got.push_back(static_cast<uint16_t>(data[i] | data[i + 1] << 8));
        }
    }
    EXPECT_EQ(got, expected);
    // Frame memory past the frame can still be read; any other command ends the frame.
    ASSERT_TRUE(ReadImage(sensor, 4096, bytes, data));
    EXPECT_EQ(sensor.state(), SimSensor::State::Captured);
    EXPECT_EQ(Status(sensor), 0);
    EXPECT_EQ(sensor.state(), SimSensor::State::Open);
    EXPECT_FALSE(Send(sensor, Window(kReadImage, 64, 0)));
}

TEST_F(SimSensorTest, FrameMemoryBeyondTheFrameReadsZeroAndItsEndIsEnforced) {
    SimSensor sensor(flash_);
    std::vector<uint8_t> reply, data;
    ASSERT_TRUE(Send(sensor, Block(kArm, Le32(1000))));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    ASSERT_TRUE(sensor.Expose(1));
    ASSERT_TRUE(ReadImage(sensor, 32768, 0x200000 - 32768, data));
    EXPECT_EQ(std::count(data.begin(), data.end(), 0), 32768);
    EXPECT_FALSE(Send(sensor, Window(kReadImage, 32768, 0x200000 - 32766))); // past the end
    EXPECT_FALSE(Send(sensor, Window(kReadImage, 32770, 0)));                // window too large
    EXPECT_FALSE(Send(sensor, Window(kReadImage, 64, 1)));                   // split sample
    EXPECT_FALSE(Send(sensor, Window(kReadImage, 63, 0)));
    EXPECT_FALSE(Send(sensor, Window(kReadImage, 0, 0)));
}

TEST_F(SimSensorTest, ArmRefusesByteCountsNoFrameCanHave) {
    SimSensor sensor(flash_);
    EXPECT_FALSE(Send(sensor, Block(kArm, Le32(0))));
    EXPECT_FALSE(Send(sensor, Block(kArm, Le32(1001))));
    EXPECT_FALSE(Send(sensor, Block(kArm, Le32(0x200002))));
    EXPECT_EQ(sensor.state(), SimSensor::State::Open);
}

TEST_F(SimSensorTest, TestImageIsCapturedAtOnceOnlyWhenArmed) {
    SimSensor sensor(flash_);
    std::vector<uint8_t> reply, data;
    EXPECT_FALSE(Send(sensor, Block(kTestImage)));
    ASSERT_TRUE(Send(sensor, Block(kArm, Le32(200))));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    ASSERT_TRUE(Send(sensor, Block(kTestImage)));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    EXPECT_TRUE(sensor.TestMode());
    EXPECT_EQ(Status(sensor), 0);
    ASSERT_TRUE(ReadImage(sensor, 200, 0, data));
    const std::vector<uint16_t> pattern = TestPatternFrame(flash_, 100);
    for (uint32_t i = 0; i < 100; ++i) {
        ASSERT_EQ(data[2 * i] | data[2 * i + 1] << 8, pattern[i]) << i;
    }
    // Pinned pattern values: square 0 ramps by 8 per pixel, square 1 starts 2048 higher.
    EXPECT_EQ(pattern[0], 512);
    EXPECT_EQ(pattern[63], 512 + 63 * 8);
    EXPECT_EQ(pattern[64], 512 + 2048);
}

TEST_F(SimSensorTest, CancelDisarms) {
    SimSensor sensor(flash_);
    std::vector<uint8_t> reply;
    ASSERT_TRUE(Send(sensor, Block(kArm, Le32(200))));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    ASSERT_TRUE(Send(sensor, Block(kCancel)));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    EXPECT_EQ(sensor.state(), SimSensor::State::Open);
    EXPECT_FALSE(sensor.Expose(1));
}

TEST_F(SimSensorTest, FlashWindowsReadAndWrite) {
    SimSensor sensor(flash_);
    std::vector<uint8_t> reply;
    uint32_t notified = 0;
    sensor.SetFlashListener([&](const std::vector<uint8_t>&, uint32_t offset, uint32_t count) {
        notified += count;
        EXPECT_EQ(offset, 0x1F8000u);
    });
    std::vector<uint8_t> data(136);
    const uint8_t closing[3] = {kReadFlash, 3, 0};
    ASSERT_TRUE(Send(sensor, Window(kReadFlash, 136, 0)));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    ASSERT_TRUE(sensor.Read(Pipe::DataIn, data.data(), 136));
    ASSERT_TRUE(sensor.Write(Pipe::DataOut, closing, 3));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash_.begin()));

    std::vector<uint8_t> window(32768, 0x42);
    ASSERT_TRUE(Send(sensor, Window(kWriteFlash, 32768, 0x1F8000)));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    ASSERT_TRUE(sensor.Write(Pipe::DataOut, window.data(), 32768));
    std::vector<uint8_t> finalReply(3);
    ASSERT_TRUE(sensor.Read(Pipe::DataIn, finalReply.data(), 3));
    EXPECT_EQ(finalReply, (std::vector<uint8_t>{kWriteFlash, 3, 0}));
    EXPECT_EQ(notified, 32768u);
    EXPECT_EQ(sensor.Flash()[0x1FFFFF], 0x42);
    EXPECT_FALSE(Send(sensor, Window(kWriteFlash, 32768, 0x1F8001))); // past the flash end
}

TEST_F(SimSensorTest, InjectedFaultsAtEachKindOfStep) {
    SimSensor sensor(flash_);
    std::vector<uint8_t> reply;

    // A failed command block never reached the sensor.
    sensor.InjectFault({kArm, FaultStep::Command, FaultKind::FailTransfer});
    EXPECT_FALSE(Send(sensor, Block(kArm, Le32(200))));
    EXPECT_EQ(sensor.state(), SimSensor::State::Open);

    // A lost reply: the sensor moved on (armed) all the same.
    sensor.InjectFault({kArm, FaultStep::Reply, FaultKind::FailTransfer});
    ASSERT_TRUE(Send(sensor, Block(kArm, Le32(200))));
    EXPECT_FALSE(ReadReply(sensor, reply, 3));
    EXPECT_EQ(sensor.state(), SimSensor::State::Armed);

    // A short status reply: three bytes, length byte 3, the host's fourth byte untouched.
    sensor.InjectFault({kStatus, FaultStep::Reply, FaultKind::ShortReply});
    ASSERT_TRUE(Send(sensor, Block(kStatus)));
    reply.assign(4, 0x77);
    ASSERT_TRUE(sensor.Read(Pipe::ReplyIn, reply.data(), 4));
    EXPECT_EQ(reply, (std::vector<uint8_t>{kStatus, 3, 0, 0x77}));

    sensor.InjectFault({kStatus, FaultStep::Reply, FaultKind::LongLengthByte});
    ASSERT_TRUE(Send(sensor, Block(kStatus)));
    ASSERT_TRUE(ReadReply(sensor, reply, 4));
    EXPECT_EQ(reply[1], 5);

    // Skip and count: the third status block fails, twice; "any command" matches too.
    sensor.InjectFault({0, FaultStep::Command, FaultKind::FailTransfer, 2, 2});
    EXPECT_TRUE(Send(sensor, Block(kStatus)) && ReadReply(sensor, reply, 4));
    EXPECT_TRUE(Send(sensor, Block(kHello)) && ReadReply(sensor, reply, 3));
    EXPECT_FALSE(Send(sensor, Block(kStatus)));
    EXPECT_FALSE(Send(sensor, Block(kStatus)));
    EXPECT_TRUE(Send(sensor, Block(kStatus)) && ReadReply(sensor, reply, 4));

    // Unplug during a data phase: this and every later transfer fails.
    ASSERT_TRUE(sensor.Expose(2));
    sensor.InjectFault({kReadImage, FaultStep::Data, FaultKind::Unplug});
    ASSERT_TRUE(Send(sensor, Window(kReadImage, 200, 0)));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    std::vector<uint8_t> data(200);
    EXPECT_FALSE(sensor.Read(Pipe::DataIn, data.data(), 200));
    EXPECT_FALSE(sensor.Plugged());
    EXPECT_FALSE(Send(sensor, Block(kHello)));
    EXPECT_EQ(sensor.FaultsFired(), 7u);
}

TEST_F(SimSensorTest, ShortDataPhaseDeliversHalfAndLeavesTheRest) {
    SimSensor sensor(flash_);
    std::vector<uint8_t> reply;
    sensor.InjectFault({kReadFlash, FaultStep::Data, FaultKind::ShortReply});
    std::vector<uint8_t> data(8, 0xEE);
    ASSERT_TRUE(Send(sensor, Window(kReadFlash, 8, 0)));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    ASSERT_TRUE(sensor.Read(Pipe::DataIn, data.data(), 8));
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 4, flash_.begin()));
    EXPECT_EQ(data[4], 0xEE);
}

// A pause stalls the transfer in the handler and then delivers it whole: a slow read, not a
// failed one.
TEST_F(SimSensorTest, PauseStallsThenDeliversTheData) {
    SimSensor sensor(flash_);
    int pauses = 0;
    sensor.SetPauseHandler([&] { ++pauses; });
    std::vector<uint8_t> reply;
    sensor.InjectFault({kReadFlash, FaultStep::Data, FaultKind::Pause});
    std::vector<uint8_t> data(8, 0xEE);
    ASSERT_TRUE(Send(sensor, Window(kReadFlash, 8, 0)));
    ASSERT_TRUE(ReadReply(sensor, reply, 3));
    ASSERT_TRUE(sensor.Read(Pipe::DataIn, data.data(), 8));
    EXPECT_EQ(1, pauses);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash_.begin()));
}

TEST(SimFaultText, ParsesNumbersAndNamesAndRejectsNonsense) {
    const auto fault = ParseFault("12:command:fail");
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->command, 12);
    EXPECT_EQ(fault->step, FaultStep::Command);
    EXPECT_EQ(fault->kind, FaultKind::FailTransfer);
    EXPECT_EQ(fault->skip, 0);
    EXPECT_EQ(fault->count, 1);

    const auto unplug = ParseFault("11:2:unplug:10:-1");
    ASSERT_TRUE(unplug.has_value());
    EXPECT_EQ(unplug->kind, FaultKind::Unplug);
    EXPECT_EQ(unplug->skip, 10);
    EXPECT_EQ(unplug->count, -1);
    EXPECT_EQ(ParseFault(FormatFault(*unplug))->skip, 10);
    EXPECT_EQ(ParseFault("11:data:pause:3")->kind, FaultKind::Pause);

    for (const char* bad : {"", "12", "12:0", "256:0:0", "12:4:0", "12:0:5", "x:0:0", "12:0:0:-1",
                            "12:0:0:0:0:0", "12:0:0:1x"}) {
        EXPECT_FALSE(ParseFault(bad).has_value()) << bad;
    }
}

} // namespace
} // namespace qor::sim
