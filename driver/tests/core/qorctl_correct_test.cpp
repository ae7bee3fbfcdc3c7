// Tests of qorctl's correct, gen-calibration and gen-raw commands, run in-process.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sstream>

#include "tools/qorctl/commands.h"
#include "tools/qorctl/frame_files.h"

namespace {

namespace fs = std::filesystem;

class QorctlCorrect : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device seed;
        dir_ = fs::temp_directory_path() / ("qorctl_correct_" + std::to_string(seed()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // Exit code of one qorctl command line.
    int Run(std::vector<std::string> args) {
        CLI::App app{"qorctl"};
        app.require_subcommand(1);
        qorctl::AddCorrectionCommands(app);
        args.insert(args.begin(), "qorctl");
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        std::ostringstream out, err;
        try {
            app.parse(static_cast<int>(argv.size()), argv.data());
        } catch (const CLI::ParseError& e) {
            return app.exit(e, out, err);
        }
        return 0;
    }

    fs::path dir_;
};

TEST_F(QorctlCorrect, GeneratedDataCorrectsToAFrameAndAPgm) {
    ASSERT_EQ(Run({"gen-calibration", "--format", "3", "--imager-id", "0x00312345", "--bad-rows",
                   "10,11", "--bad-columns", "50", "--out", Path("cal.bin")}),
              0);
    EXPECT_EQ(fs::file_size(Path("cal.bin")), 0x200000u);
    ASSERT_EQ(
        Run({"gen-raw", "--calibration", Path("cal.bin"), "--seed", "3", "--out", Path("raw.bin")}),
        0);
    EXPECT_EQ(fs::file_size(Path("raw.bin")), 999u * 664u * 4u);
    ASSERT_EQ(Run({"correct", "--calibration", Path("cal.bin"), "--raw", Path("raw.bin"),
                   "--process-flag", "2", "--out", Path("out.bin")}),
              0);
    std::vector<int32_t> frame;
    std::string error;
    ASSERT_TRUE(qorctl::ReadRawFrame(Path("out.bin"), frame, error));
    ASSERT_EQ(frame.size(), 999u * 664u);
    for (int32_t v : frame) {
        ASSERT_TRUE(v >= 0 && v <= 4095);
    }
    EXPECT_TRUE(fs::exists(Path("out.pgm")));

    ASSERT_EQ(Run({"gen-calibration", "--format", "2", "--legacy", "--bad-columns", "7",
                   "--column-corrections", "-12", "--out", Path("legacy.bin")}),
              0);
    ASSERT_EQ(Run({"gen-raw", "--legacy", "--calibration", Path("legacy.bin"), "--out",
                   Path("legacy_raw.bin")}),
              0);
    EXPECT_EQ(Run({"correct", "--legacy", "--calibration", Path("legacy.bin"), "--raw",
                   Path("legacy_raw.bin"), "--out", Path("legacy_out.bin")}),
              0);
}

TEST_F(QorctlCorrect, BadInputExitsNonZero) {
    ASSERT_EQ(Run({"gen-calibration", "--format", "3", "--out", Path("cal.bin")}), 0);
    ASSERT_EQ(Run({"gen-raw", "--calibration", Path("cal.bin"), "--out", Path("raw.bin")}), 0);
    ASSERT_TRUE(qorctl::WriteBytes(Path("short.bin"), reinterpret_cast<const uint8_t*>("abcd"), 4));
    // Not a 2 MiB image; a frame of the wrong size; missing files; a PGM name for the frame.
    EXPECT_NE(Run({"correct", "--calibration", Path("raw.bin"), "--raw", Path("raw.bin"), "--out",
                   Path("o.bin")}),
              0);
    EXPECT_NE(Run({"correct", "--calibration", Path("cal.bin"), "--raw", Path("short.bin"), "--out",
                   Path("o.bin")}),
              0);
    EXPECT_NE(Run({"correct", "--calibration", Path("none.bin"), "--raw", Path("raw.bin"), "--out",
                   Path("o.bin")}),
              0);
    EXPECT_NE(Run({"correct", "--calibration", Path("cal.bin"), "--raw", Path("raw.bin"), "--out",
                   Path("o.pgm")}),
              0);
    EXPECT_FALSE(fs::exists(Path("o.bin")));
    // A header whose geometry does not fit.
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(qorctl::ReadBytes(Path("cal.bin"), image, error));
    image[12] = 0x7F;
    ASSERT_TRUE(qorctl::WriteBytes(Path("huge.bin"), image.data(), image.size()));
    EXPECT_NE(Run({"correct", "--calibration", Path("huge.bin"), "--raw", Path("raw.bin"), "--out",
                   Path("o.bin")}),
              0);
    EXPECT_NE(Run({"gen-raw", "--calibration", Path("huge.bin"), "--out", Path("o.bin")}), 0);
    // Generator limits.
    EXPECT_NE(Run({"gen-calibration", "--format", "0", "--out", Path("g.bin")}), 0);
    EXPECT_NE(Run({"gen-calibration", "--format", "3", "--bad-rows", "1,2,3,4,5,6,7,8,9,10,11",
                   "--out", Path("g.bin")}),
              0);
    EXPECT_NE(Run({"gen-calibration", "--format", "2", "--legacy", "--bad-columns", "1,2,3,4,5,6",
                   "--out", Path("g.bin")}),
              0);
}

} // namespace
