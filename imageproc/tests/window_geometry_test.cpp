// Window functions, blending profiles, tile geometry and the supported range of sizes.
#include <gtest/gtest.h>

#include <numeric>

#include "imageproc/core/tile_geometry.h"
#include "imageproc/core/window_function.h"
#include "reference_enhancement.h"

namespace qor::imageproc {
namespace {

TEST(Window, OddWindowsPeakInTheMiddleAndSumToOne) {
    EXPECT_EQ(MakeWindow(3), (std::vector<float>{0.25f, 0.5f, 0.25f}));
    EXPECT_EQ(MakeWindow(1), (std::vector<float>{1.0f}));
    // window(7): 1/4, 1/2, 3/4, 1, ... over 2 x 2.5 - 1 = 4.
    EXPECT_EQ(MakeWindow(7),
              (std::vector<float>{0.0625f, 0.125f, 0.1875f, 0.25f, 0.1875f, 0.125f, 0.0625f}));
    for (const int32_t n : {5, 9, 11, 41}) {
        const auto w = MakeWindow(n);
        EXPECT_NEAR(std::accumulate(w.begin(), w.end(), 0.0), 1.0, 1e-6) << n;
        EXPECT_EQ(w, reference::Window(n)) << n;
    }
}

TEST(Window, EvenWindowRisesByHalfSteps) {
    const auto w = MakeWindow(140);
    ASSERT_EQ(w.size(), 140u);
    EXPECT_EQ(w[0], 0.5f / 140.0f);
    EXPECT_EQ(w[1], 1.5f / 140.0f);
    EXPECT_EQ(w[69], static_cast<float>(69.5 / 140.0));
    EXPECT_EQ(w[70], w[69]);
    EXPECT_EQ(w[139], w[0]);
    for (int32_t k = 0; k < 70; ++k) {
        EXPECT_EQ(w[k], static_cast<float>((k + 0.5) / 140.0)) << k;
        EXPECT_EQ(w[139 - k], w[k]) << k;
    }
    EXPECT_EQ(w, reference::Window(140));
}

TEST(EdgeProfile, LastQuarterIsStretchedOverTheLastTile) {
    const auto y = MakeWindow(140);
    const auto pu = MakeEdgeProfile(y, 35, 46); // 1201 wide
    ASSERT_EQ(pu.size(), 151u);
    for (int32_t l = 0; l <= 105; ++l) {
        EXPECT_EQ(pu[l], y[l]) << l; // up to and including the stretch's start
    }
    EXPECT_NEAR(pu[150], y[139], 1e-7);
    for (int32_t l = 106; l < 151; ++l) {
        EXPECT_LT(pu[l], pu[l - 1]) << l;
        EXPECT_GT(pu[l], 0.0f) << l;
    }
    // A last tile exactly one tile long is a straight line, not the window's own tail.
    const auto even = MakeEdgeProfile(y, 35, 35);
    EXPECT_EQ(even.size(), 140u);
    EXPECT_NEAR(even[139], y[139], 1e-7);
}

TEST(EdgeProfile, OnePixelLastTileKeepsAFiniteWeight) {
    const auto y = MakeWindow(4);
    const auto p = MakeEdgeProfile(y, 1, 1);
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[3], y[3]);
}

TEST(TileGeometry, SensorSizes) {
    const TileGeometry large = MakeTileGeometry(1201, 861, 35);
    EXPECT_EQ(large.tilesAcross, 34);
    EXPECT_EQ(large.lastWidth, 46);
    EXPECT_EQ(large.tilesDown, 24);
    EXPECT_EQ(large.lastHeight, 56);
    EXPECT_EQ(large.blockSize, 140);

    const TileGeometry small = MakeTileGeometry(999, 664, 35);
    EXPECT_EQ(small.tilesAcross, 28);
    EXPECT_EQ(small.lastWidth, 54);
    EXPECT_EQ(small.tilesDown, 18);
    EXPECT_EQ(small.lastHeight, 69);
}

TEST(TileGeometry, SupportedRange) {
    EXPECT_TRUE(IsSupportedSize(140, 140, 1, 35));
    EXPECT_TRUE(IsSupportedSize(4, 4, 3, 1));
    EXPECT_FALSE(IsSupportedSize(139, 140, 1, 35));
    EXPECT_FALSE(IsSupportedSize(140, 139, 1, 35));
    EXPECT_FALSE(IsSupportedSize(140, 140, 1, 0));
    EXPECT_FALSE(IsSupportedSize(140, 140, 1, -35));
    EXPECT_FALSE(IsSupportedSize(1 << 30, 1 << 30, 1, 1 << 29)); // 4 x tileSize overflows
    EXPECT_FALSE(IsSupportedSize(140, 140, -1, 35));
    EXPECT_FALSE(IsSupportedSize(140, 150, 140, 35));
    EXPECT_TRUE(IsSupportedSize(140, 150, 139, 35));
    EXPECT_FALSE(IsSupportedSize(65536, 65536, 1, 35)); // 2^32 pixels
    EXPECT_FALSE(IsSupportedSize(-140, 140, 1, 35));
}

} // namespace
} // namespace qor::imageproc
