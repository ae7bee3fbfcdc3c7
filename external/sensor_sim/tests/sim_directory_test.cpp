// The simulator directory: state files, SimulatorControl and the device side SimDeviceIo, used
// as two processes would use them (two independent objects over one directory).
#include "external/sensor_sim/core/sim_device_io.h"
#include "external/sensor_sim/core/sim_directory.h"
#include "external/sensor_sim/core/sim_frames.h"
#include "external/sensor_sim/core/sim_prepared_frame.h"
#include "external/sensor_sim/core/simulator_control.h"
#include "sim_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace qor::sim {
namespace {

namespace fs = std::filesystem;
using namespace qor::sim::testing;

class SimDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ =
            fs::temp_directory_path() /
            ("qorsim-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    PlugOptions Small(const std::string& name, uint32_t imagerId = 0x00200123) {
        PlugOptions options;
        options.name = name;
        options.calibration.imagerId = imagerId;
        options.calibration.headerWidth = 100;
        options.calibration.height = 80;
        options.calibration.defectPixels = 2;
        return options;
    }

    void Plug(SimulatorControl& control, const PlugOptions& options) {
        std::string error;
        ASSERT_TRUE(control.Plug(options, error)) << error;
    }

    // One command block and its reply through the device side.
    bool Exchange(SimDeviceIo& io, DeviceHandle h, const std::vector<uint8_t>& block,
                  std::vector<uint8_t>& reply, uint32_t replyLength) {
        reply.assign(replyLength, 0);
        return io.BulkWrite(h, Pipe::CommandOut, block.data(),
                            static_cast<uint32_t>(block.size())) &&
               io.BulkRead(h, Pipe::ReplyIn, reply.data(), replyLength);
    }

    // The handle of the one plugged sensor, as a driver opens it.
    DeviceHandle OpenTheOnlySensor(SimDeviceIo& io) {
        std::vector<std::string> paths;
        io.EnumerateInterfaces(paths);
        return paths.size() == 1 ? io.Open(paths[0]) : kNoDevice;
    }

    // The first sample of a captured frame, read as the driver reads a window; -1 when it fails.
    int32_t FirstSample(SimDeviceIo& io, DeviceHandle h) {
        std::vector<uint8_t> reply, data(200);
        if (!Exchange(io, h, Block(12), reply, 4) || !Exchange(io, h, Window(11, 200, 0), reply, 3) ||
            !io.BulkRead(h, Pipe::DataIn, data.data(), 200)) {
            return -1;
        }
        return data[0] | data[1] << 8;
    }

    fs::path root_;
};

TEST_F(SimDirectoryTest, StateFileRoundTripsAndBadFilesReadAsMissing) {
    const fs::path folder = root_ / "s";
    fs::create_directories(folder);
    SensorStateFile state;
    state.plugged = true;
    state.generation = 42;
    state.imagerId = 0x00312345;
    state.legacy = true;
    state.version = {3, 1, 4};
    state.faultSerial = 9;
    state.faults.push_back({12, FaultStep::Reply, FaultKind::ShortReply, 1, 2});
    ASSERT_TRUE(WriteStateFile(folder, state));
    SensorStateFile back;
    ASSERT_TRUE(ReadStateFile(folder, back));
    EXPECT_TRUE(back.plugged);
    EXPECT_EQ(back.generation, 42u);
    EXPECT_EQ(back.imagerId, 0x00312345u);
    EXPECT_TRUE(back.legacy);
    EXPECT_EQ(back.version, (std::array<uint8_t, 3>{3, 1, 4}));
    ASSERT_EQ(back.faults.size(), 1u);
    EXPECT_EQ(back.faults[0].kind, FaultKind::ShortReply);

    const char* const bad[] = {
        "",
        "garbage",
        "qorsim-state 1\nplugged=1\n",               // no generation
        "qorsim-state 1\nplugged=2\ngeneration=1\n", // not a flag
        "qorsim-state 1\nplugged=1\ngeneration=-1\n",
        "qorsim-state 1\nplugged=1\ngeneration=1\nfault=99:9:9\n",
        "qorsim-state 2\nplugged=1\ngeneration=1\n", // unknown layout
    };
    for (const char* text : bad) {
        std::ofstream(folder / "state.txt", std::ios::binary | std::ios::trunc) << text;
        EXPECT_FALSE(ReadStateFile(folder, back)) << text;
    }
    std::ofstream(folder / "state.txt", std::ios::binary | std::ios::trunc)
        << "qorsim-state 1\r\nplugged=1\r\ngeneration=7\r\nfuture=x\r\n";
    ASSERT_TRUE(ReadStateFile(folder, back)) << "CRLF and unknown keys are tolerated";
    EXPECT_EQ(back.generation, 7u);
    fs::remove(folder / "state.txt");
    EXPECT_FALSE(ReadStateFile(folder, back));
}

TEST_F(SimDirectoryTest, AtomicWriteReplacesAndLeavesNoTemporaries) {
    const fs::path file = root_ / "f.bin";
    const std::string a(1000, 'a'), b(10, 'b');
    ASSERT_TRUE(WriteFileAtomically(file, a.data(), a.size()));
    ASSERT_TRUE(WriteFileAtomically(file, b.data(), b.size()));
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(ReadWholeFile(file, bytes, 100));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), b);
    EXPECT_FALSE(ReadWholeFile(file, bytes, 5)) << "larger than allowed";
    EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
    EXPECT_FALSE(WriteFileAtomically(root_ / "missing" / "f", a.data(), a.size()));
}

TEST_F(SimDirectoryTest, ControlPlugUnplugExposeAndList) {
    SimulatorControl control(root_);
    std::string error;
    Plug(control, Small("b"));
    Plug(control, Small("a", 0x00312345));
    EXPECT_FALSE(control.Plug(Small("a"), error)) << "already plugged";
    EXPECT_FALSE(control.Plug(Small("../x"), error));
    EXPECT_FALSE(control.Plug(Small(".hidden"), error));

    auto list = control.List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "a");
    EXPECT_EQ(list[0].imagerId, 0x00312345u);
    EXPECT_TRUE(list[1].plugged);

    EXPECT_FALSE(control.Expose("", 1, error)) << "two plugged sensors need a name";
    uint32_t seed = 0;
    ASSERT_TRUE(control.Expose("a", std::nullopt, error, &seed)) << error;
    EXPECT_EQ(seed, 1u) << "an unseeded press takes its own number";
    EXPECT_TRUE(control.List()[0].exposurePending);

    ASSERT_TRUE(control.Unplug("b", error));
    EXPECT_FALSE(control.Unplug("b", error));
    EXPECT_FALSE(control.Unplug("nobody", error));
    EXPECT_FALSE(control.Expose("b", 1, error));
    std::string used;
    ASSERT_TRUE(control.Expose("", 9, error, &seed, &used));
    EXPECT_EQ(used, "a");

    // Plugging again clears presses made before; keep-flash keeps a written flash.
    const uint64_t before = control.List()[1].generation;
    PlugOptions again = Small("b");
    again.keepFlash = true;
    Plug(control, again);
    EXPECT_GT(control.List()[1].generation, before);
    EXPECT_FALSE(control.List()[1].exposurePending);
}

TEST_F(SimDirectoryTest, FrameForSeedIsTheGeneratorsFrameAsLittleEndianInt32) {
    SimulatorControl control(root_);
    Plug(control, Small("s"));
    std::string error;
    const fs::path out = root_ / "frame.raw";
    ASSERT_TRUE(control.WriteFrameForSeed("s", 77, out, error)) << error;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(ReadWholeFile(out, bytes, 1 << 20));
    std::vector<uint8_t> flash;
    ASSERT_TRUE(ReadFlashFile(root_ / "s", flash));
    const std::vector<int32_t> raw = qor::testdata::MakeRawFrame(flash, 77);
    ASSERT_EQ(bytes.size(), raw.size() * 4);
    for (size_t i = 0; i < raw.size(); ++i) {
        const int32_t v =
            bytes[4 * i] | bytes[4 * i + 1] << 8 | bytes[4 * i + 2] << 16 | bytes[4 * i + 3] << 24;
        ASSERT_EQ(v, std::clamp(raw[i], 0, 65535)) << i;
    }
    EXPECT_FALSE(control.WriteFrameForSeed("nobody", 1, out, error));
}

TEST_F(SimDirectoryTest, DeviceSideEnumeratesOpensAndTakesPressesFromTheOtherSide) {
    SimulatorControl control(root_);
    Plug(control, Small("s1"));
    SimDeviceIo io(root_);
    std::vector<std::string> paths;
    ASSERT_TRUE(io.EnumerateInterfaces(paths));
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], InterfacePathFor("s1"));

    std::string upper = paths[0];
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    const DeviceHandle h = io.Open(upper); // interface paths compare without case
    ASSERT_NE(h, kNoDevice);
    EXPECT_EQ(io.Open("\\\\?\\qorsim#sensor#nobody#x"), kNoDevice);

    std::vector<uint8_t> reply;
    ASSERT_TRUE(Exchange(io, h, Block(6, Le32(100 * 80 * 2)), reply, 3));
    std::string error;
    ASSERT_TRUE(control.Expose("s1", 1234u, error)) << error;
    ASSERT_TRUE(Exchange(io, h, Block(12), reply, 4));
    EXPECT_EQ(reply[3], 0) << "the press was taken at the next command";
    EXPECT_FALSE(control.List()[0].exposurePending);

    // The frame read equals frame-for-seed.
    std::vector<int32_t> expected;
    ASSERT_TRUE(control.FrameForSeed("s1", 1234u, expected, error));
    std::vector<uint8_t> data(16000);
    const uint8_t closing[3] = {11, 3, 0};
    ASSERT_TRUE(Exchange(io, h, Window(11, 16000, 0), reply, 3));
    ASSERT_TRUE(io.BulkRead(h, Pipe::DataIn, data.data(), 16000));
    ASSERT_TRUE(io.BulkWrite(h, Pipe::DataOut, closing, 3));
    for (size_t i = 0; i < 8000; ++i) {
        ASSERT_EQ(data[2 * i] | data[2 * i + 1] << 8, expected[i]) << i;
    }
}

TEST_F(SimDirectoryTest, PressBeforeArmingWaitsAndALaterPressReplacesIt) {
    SimulatorControl control(root_);
    Plug(control, Small("s"));
    SimDeviceIo io(root_);
    const DeviceHandle h = OpenTheOnlySensor(io);
    std::string error;
    ASSERT_TRUE(control.Expose("s", 1u, error));
    ASSERT_TRUE(control.Expose("s", 2u, error));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(Exchange(io, h, Block(12), reply, 4)); // open: nothing taken
    EXPECT_TRUE(control.List()[0].exposurePending);
    ASSERT_TRUE(Exchange(io, h, Block(6, Le32(200)), reply, 3));
    ASSERT_TRUE(Exchange(io, h, Block(12), reply, 4));
    EXPECT_EQ(reply[3], 0);
    std::vector<int32_t> expected;
    ASSERT_TRUE(control.FrameForSeed("s", 2u, expected, error));
    std::vector<uint8_t> data(200);
    ASSERT_TRUE(Exchange(io, h, Window(11, 200, 0), reply, 3));
    ASSERT_TRUE(io.BulkRead(h, Pipe::DataIn, data.data(), 200));
    EXPECT_EQ(data[0] | data[1] << 8, expected[0]);
}

// The frame made at the press is what the sensor delivers, but only when it belongs to that press
// and that flash; anything else is computed again, so a stale or damaged file changes no image.
TEST_F(SimDirectoryTest, TheFrameMadeAtThePressIsTakenOnlyWhenItBelongsToIt) {
    using Frame = PreparedFrame;
    using Bytes = std::vector<uint8_t>;
    struct Case {
        const char* name;
        void (*spoilFrame)(Frame&);
        void (*spoilBytes)(Bytes&);
        bool taken;
    };
    const auto keep = [](Frame&) {};
    const auto whole = [](Bytes&) {};
    const Case cases[] = {
        {"as made at the press", keep, whole, true},
        {"made from another flash", [](Frame& f) { f.flashDigest ^= 1; }, whole, false},
        {"of an earlier press", [](Frame& f) { f.count -= 1; }, whole, false},
        {"of another seed", [](Frame& f) { f.seed += 1; }, whole, false},
        {"for the other reading", [](Frame& f) { f.legacy = !f.legacy; }, whole, false},
        {"cut short", keep, [](Bytes& b) { b.resize(b.size() - 1); }, false},
        {"not a frame file", keep, [](Bytes& b) { b[0] = 'X'; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatorControl control(root_);
        Plug(control, Small("p"));
        SimDeviceIo io(root_);
        const DeviceHandle h = OpenTheOnlySensor(io);
        std::vector<uint8_t> reply;
        ASSERT_TRUE(Exchange(io, h, Block(6, Le32(200)), reply, 3));
        std::string error;
        ASSERT_TRUE(control.Expose("p", 5u, error)) << error;
        // A marked copy of the prepared frame shows whether the device side took it.
        PreparedFrame frame;
        ASSERT_TRUE(ReadPreparedFrame(root_ / "p", frame));
        const std::vector<uint16_t> computed = frame.samples;
        frame.samples[0] = static_cast<uint16_t>(computed[0] ^ 0x5A5A);
        c.spoilFrame(frame);
        Bytes bytes = EncodePreparedFrame(frame);
        c.spoilBytes(bytes);
        ASSERT_TRUE(WriteFileAtomically(root_ / "p" / "exposure.frame", bytes.data(), bytes.size()));

        EXPECT_EQ(FirstSample(io, h), c.taken ? frame.samples[0] : computed[0]);
        io.Close(h);
        fs::remove_all(root_ / "p");
    }
}

TEST_F(SimDirectoryTest, UnplugFromOutsideKillsTheHandleEvenAfterReplug) {
    SimulatorControl control(root_);
    Plug(control, Small("s"));
    SimDeviceIo io(root_);
    const DeviceHandle h = OpenTheOnlySensor(io);
    std::vector<uint8_t> reply;
    ASSERT_TRUE(Exchange(io, h, Block(1), reply, 3));
    std::string error;
    ASSERT_TRUE(control.Unplug("s", error));
    EXPECT_FALSE(Exchange(io, h, Block(1), reply, 3));
    std::vector<std::string> paths;
    ASSERT_TRUE(io.EnumerateInterfaces(paths));
    EXPECT_TRUE(paths.empty());
    EXPECT_EQ(io.Open(InterfacePathFor("s")), kNoDevice);

    PlugOptions again = Small("s");
    again.keepFlash = true;
    Plug(control, again);
    EXPECT_FALSE(Exchange(io, h, Block(1), reply, 3)) << "the old handle stays dead";
    const DeviceHandle fresh = io.Open(InterfacePathFor("s"));
    ASSERT_NE(fresh, kNoDevice);
    EXPECT_TRUE(Exchange(io, fresh, Block(1), reply, 3));
}

// Another process's writes do not count among this process's directory writes: they are played
// here by copying files made over a second directory, so the device side keeps what it read.
TEST_F(SimDirectoryTest, OutsideChangesShowWithinTheRecheckTimeAndAPressReadsThemFirst) {
    SimulatorControl control(root_);
    Plug(control, Small("s"));
    const fs::path elsewhere = root_ / "elsewhere";
    fs::create_directories(elsewhere);
    fs::copy(root_ / "s", elsewhere / "s");
    SimulatorControl other(elsewhere);
    std::string error;
    ASSERT_TRUE(other.SetFaults("s", {{12, FaultStep::Command, FaultKind::FailTransfer}}, error));
    ASSERT_TRUE(other.Expose("s", 7u, error)) << error;

    SimDeviceIo io(root_);
    const DeviceHandle h = OpenTheOnlySensor(io);
    std::vector<uint8_t> reply;
    ASSERT_TRUE(Exchange(io, h, Block(6, Le32(200)), reply, 3)); // armed; the state is kept
    // Removed first: the Windows build's copy_file refuses to overwrite.
    const auto bring = [&](const char* file) {
        fs::remove(root_ / "s" / file);
        fs::copy_file(elsewhere / "s" / file, root_ / "s" / file);
    };
    for (const char* file : {"state.txt", "exposure.frame", "exposure.txt"}) {
        bring(file);
    }
    EXPECT_FALSE(Exchange(io, h, Block(12), reply, 4)) << "the fault written before the press";
    EXPECT_TRUE(Exchange(io, h, Block(12), reply, 4)) << "fired once";
    EXPECT_EQ(FirstSample(io, h), [&] {
        std::vector<int32_t> frame;
        return control.FrameForSeed("s", 7u, frame, error) ? frame[0] : -2;
    }());

    ASSERT_TRUE(other.Unplug("s", error));
    bring("state.txt");
    std::this_thread::sleep_for(SimDeviceIo::kStateRecheck);
    EXPECT_FALSE(Exchange(io, h, Block(1), reply, 3)) << "an unplug shows within the recheck time";
}

TEST_F(SimDirectoryTest, CorruptOrMissingStateReadsAsUnplugged) {
    SimulatorControl control(root_);
    Plug(control, Small("s"));
    SimDeviceIo io(root_);
    const DeviceHandle h = io.Open(InterfacePathFor("s"));
    ASSERT_NE(h, kNoDevice);
    std::ofstream(root_ / "s" / "state.txt", std::ios::binary | std::ios::trunc) << "\x01\x02junk";
    std::vector<uint8_t> reply;
    EXPECT_FALSE(Exchange(io, h, Block(1), reply, 3));
    std::vector<std::string> paths;
    ASSERT_TRUE(io.EnumerateInterfaces(paths));
    EXPECT_TRUE(paths.empty());
    EXPECT_FALSE(control.List()[0].stateReadable);
    std::string error;
    ASSERT_TRUE(control.Unplug("s", error)) << "a corrupt state can be reset";
    EXPECT_TRUE(control.List()[0].stateReadable);

    fs::remove(root_ / "s" / "flash.bin");
    PlugOptions again = Small("s");
    again.keepFlash = true;
    EXPECT_FALSE(control.Plug(again, error)) << "no flash to keep";
    fs::remove_all(root_);
    EXPECT_FALSE(Exchange(io, h, Block(1), reply, 3));
    EXPECT_TRUE(io.EnumerateInterfaces(paths));
    EXPECT_TRUE(paths.empty());
}

TEST_F(SimDirectoryTest, FaultsFromTheStateFileAndAnInjectedUnplugShowsInTheDirectory) {
    SimulatorControl control(root_);
    Plug(control, Small("s"));
    SimDeviceIo io(root_);
    const DeviceHandle h = io.Open(InterfacePathFor("s"));
    std::string error;
    ASSERT_TRUE(control.SetFaults("s", {{12, FaultStep::Command, FaultKind::FailTransfer}}, error));
    std::vector<uint8_t> reply;
    EXPECT_FALSE(Exchange(io, h, Block(12), reply, 4));
    EXPECT_TRUE(Exchange(io, h, Block(12), reply, 4)) << "fired once";

    ASSERT_TRUE(control.SetFaults("s", {{1, FaultStep::Reply, FaultKind::Unplug}}, error));
    EXPECT_FALSE(Exchange(io, h, Block(1), reply, 3));
    EXPECT_FALSE(control.List()[0].plugged);
}

TEST_F(SimDirectoryTest, FlashWritesPersistForTheNextOpenAndTheNextProcess) {
    SimulatorControl control(root_);
    Plug(control, Small("s"));
    {
        SimDeviceIo io(root_);
        const DeviceHandle h = io.Open(InterfacePathFor("s"));
        std::vector<uint8_t> reply, finalReply(3);
        std::vector<uint8_t> window(32768, 0x5C);
        ASSERT_TRUE(Exchange(io, h, Window(13, 32768, 0x8000), reply, 3));
        ASSERT_TRUE(io.BulkWrite(h, Pipe::DataOut, window.data(), 32768));
        ASSERT_TRUE(io.BulkRead(h, Pipe::DataIn, finalReply.data(), 3));
    }
    std::vector<uint8_t> flash;
    ASSERT_TRUE(ReadFlashFile(root_ / "s", flash));
    EXPECT_EQ(flash[0x8000], 0x5C);
    EXPECT_EQ(flash[0xFFFF], 0x5C);
}

TEST_F(SimDirectoryTest, ControlWritesWhileTheDeviceSideReadsNeverBreakATransfer) {
    SimulatorControl control(root_);
    Plug(control, Small("s"));
    SimDeviceIo io(root_);
    const DeviceHandle h = io.Open(InterfacePathFor("s"));
    ASSERT_NE(h, kNoDevice);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::string error;
        for (int i = 0; i < 150; ++i) {
            control.Expose("s", static_cast<uint32_t>(i), error);
            control.SetFaults("s", {}, error); // rewrites the state file every time
        }
        done = true;
    });
    int exchanges = 0, failures = 0;
    std::vector<uint8_t> reply;
    while (!done || exchanges < 100) {
        ++exchanges;
        failures += Exchange(io, h, Block(12), reply, 4) ? 0 : 1;
    }
    writer.join();
    EXPECT_EQ(failures, 0) << "of " << exchanges;
}

} // namespace
} // namespace qor::sim
