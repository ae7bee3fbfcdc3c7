// Test-frame statistics of qorctl diagnose: dead lines are found in frames with structure of
// their own, and mean, noise and saturation are the hand-computed values.
#include "tools/qorctl/diagnose/frame_stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace qorctl::diagnose {
namespace {

// The sensor's test pattern: 64-pixel squares of two levels with a ramp inside each square.
std::vector<int32_t> TestPattern(int32_t width, int32_t height) {
    std::vector<int32_t> f(size_t(width) * size_t(height));
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            f[size_t(y) * size_t(width) + size_t(x)] =
                512 + ((x / 64 + y / 64) % 2) * 2048 + (x % 64) * 8;
        }
    }
    return f;
}

TEST(FrameStats, DeadLinesAreFoundInStructuredFramesAndNoOthers) {
    constexpr int32_t w = 999, h = 664;
    enum class Kill { Dark, Stuck, Bright }; // 0, one value, or 3000 above with its structure
    struct Case {
        const char* name;
        std::vector<int32_t> rows, columns;
        Kill kill;
    };
    const Case cases[] = {
        {"clean pattern", {}, {}, Kill::Dark},
        {"dark neighbouring rows, the last row and a column", {100, 101, 663}, {50}, Kill::Dark},
        {"stuck first column", {}, {0}, Kill::Stuck},
        {"stuck row", {300}, {}, Kill::Stuck},
        {"bright columns that keep the picture", {}, {500, 998}, Kill::Bright},
    };
    for (const Case& c : cases) {
        std::vector<int32_t> f = TestPattern(w, h);
        const auto kill = [&c](int32_t& v) {
            v = c.kill == Kill::Dark ? 0 : c.kill == Kill::Stuck ? 1234 : v + 3000;
        };
        for (int32_t r : c.rows) {
            for (int32_t x = 0; x < w; ++x)
                kill(f[size_t(r) * w + size_t(x)]);
        }
        for (int32_t col : c.columns) {
            for (int32_t y = 0; y < h; ++y)
                kill(f[size_t(y) * w + size_t(col)]);
        }
        const FrameStats s = MeasureFrame(f, w, h, 65535);
        EXPECT_EQ(s.deadRows, c.rows) << c.name;
        EXPECT_EQ(s.deadColumns, c.columns) << c.name;
    }
}

TEST(FrameStats, MeanNoiseAndSaturationAreHandComputed) {
    // 4 x 2: rows 0 10 0 10 / 65535 65535 65535 65535.
    const std::vector<int32_t> f = {0, 10, 0, 10, 65535, 65535, 65535, 65535};
    const FrameStats s = MeasureFrame(f, 4, 2, 65535);
    EXPECT_DOUBLE_EQ(s.mean, (20.0 + 4 * 65535.0) / 8);
    // Differences: 10, -10, 10, 0, 0, 0: mean 10/6, mean square 300/6.
    EXPECT_NEAR(s.noise, std::sqrt((300.0 / 6 - (10.0 / 6) * (10.0 / 6)) / 2), 1e-12);
    EXPECT_DOUBLE_EQ(s.saturatedFraction, 0.5);
}

TEST(FrameStats, UnusableFramesGiveZeroesNotACrash) {
    EXPECT_EQ(MeasureFrame({}, 999, 664, 65535).mean, 0);
    EXPECT_EQ(MeasureFrame({1, 2, 3}, 1, 3, 65535).mean, 0);
    EXPECT_FALSE(WriteGreyPng("unused.png", {1, 2}, 2, 1, 5, 5));
}

TEST(FrameStats, PictureIsAGreyPngOfTheFrame) {
    const auto path = std::filesystem::temp_directory_path() / "qor_frame_stats_test.png";
    ASSERT_TRUE(WriteGreyPng(path, TestPattern(130, 70), 130, 70, 0, 4095));
    std::ifstream in(path, std::ios::binary);
    unsigned char header[24] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    EXPECT_EQ(header[1], 'P');
    EXPECT_EQ(header[19], 130); // width, big-endian at byte 16
    EXPECT_EQ(header[23], 70);  // height at byte 20
    in.close();
    std::filesystem::remove(path);
}

} // namespace
} // namespace qorctl::diagnose
