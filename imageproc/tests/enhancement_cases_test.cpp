// Hand-computed cases of QorImageProc2 and its handling of arguments outside the supported range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "imageproc/core/enhance_grid.h"
#include "imageproc/core/qor_image_proc.h"
#include "imageproc/core/smoothing.h"
#include "imageproc/core/window_function.h"
#include "imageproc/core/work_memory.h"
#include "test_images.h"

namespace qor::imageproc {
namespace {

using reference::Grid;

Grid Flat(int32_t width, int32_t height, float value) {
    return Grid(width, std::vector<float>(height, value));
}

// Ends the simulated exhaustion however the test ends.
struct FailingAllocations {
    explicit FailingAllocations(int32_t allowed) { testing::FailAllocationsAfter(allowed); }
    ~FailingAllocations() { testing::FailAllocationsAfter(-1); }
};

TEST(Smoothing, SingleBrightPixelSpreadsAndKeepsThreeQuartersAsDetail) {
    for (const KernelPath path : {KernelPath::Vector, KernelPath::Scalar}) {
        Grid grid = Flat(140, 140, 100.0f);
        grid[50][61] = 1700.0f; // 1600 above the background
        auto columns = testdata::Columns(grid);
        std::vector<float> detail(140 * 140);
        std::vector<const float*> sources(3);
        std::vector<float> padded(142);
        std::vector<float> saved(140);
        const auto kernel = MakeWindow(3);
        SplitSmoothAndDetail(columns.data(), 140, 140, kernel.data(), 1, detail.data(),
                             Smoother::Buffers{sources.data(), padded.data(), saved.data()}, path);
        EXPECT_EQ(grid[50][61], 100.0f + 1600.0f / 4); // 1/4 stays at the pixel
        EXPECT_EQ(grid[49][61], 100.0f + 1600.0f / 8); // 1/8 to each side
        EXPECT_EQ(grid[50][62], 100.0f + 1600.0f / 8);
        EXPECT_EQ(grid[51][60], 100.0f + 1600.0f / 16); // 1/16 to each corner
        EXPECT_EQ(grid[52][61], 100.0f);
        EXPECT_EQ(detail[50 * 140 + 61], 1600.0f * 3 / 4);
        EXPECT_EQ(detail[49 * 140 + 61], -200.0f);
    }
}

TEST(Smoothing, EdgesMirrorAboutTheFirstAndLastPixel) {
    // Index -1 reads 0 and `size` reads size - 1, so an edge pixel keeps 3/4 of its own value
    // in each direction: 9/16 at a corner.
    Grid grid = Flat(140, 140, 0.0f);
    grid[0][0] = 1600.0f;
    grid[139][70] = 1600.0f;
    auto columns = testdata::Columns(grid);
    std::vector<float> detail(140 * 140);
    std::vector<const float*> sources(3);
    std::vector<float> padded(142);
    std::vector<float> saved(140);
    SplitSmoothAndDetail(columns.data(), 140, 140, MakeWindow(3).data(), 1, detail.data(),
                         Smoother::Buffers{sources.data(), padded.data(), saved.data()},
                         KernelPath::Vector);
    EXPECT_EQ(grid[0][0], 900.0f);
    EXPECT_EQ(grid[0][1], 300.0f);
    EXPECT_EQ(grid[139][70], 600.0f);
    EXPECT_EQ(grid[139][69], 300.0f);
    EXPECT_EQ(grid[138][70], 200.0f);
}

TEST(Enhancement, FlatImageStaysFlat) {
    for (const float level : {1000.0f, 3000.0f, 4095.0f}) {
        Grid grid = Flat(175, 141, level);
        auto columns = testdata::Columns(grid);
        QorImageProc2(columns.data(), 175, 141, 4096, 1, 35, 409.6f);
        for (const auto& column : grid) {
            for (const float value : column) {
                ASSERT_NEAR(value, level, std::abs(level) * 1e-5f) << level;
            }
        }
    }
}

TEST(Enhancement, ValuesAboveTheTopAreCappedButNegativesStay) {
    Grid bright = Flat(140, 140, 6000.0f);
    auto brightColumns = testdata::Columns(bright);
    QorImageProc2(brightColumns.data(), 140, 140, 4096, 1, 35, 409.6f);
    EXPECT_EQ(bright[70][70], 4095.0f);
    EXPECT_EQ(bright[0][139], 4095.0f);

    Grid spot = Flat(140, 140, 3000.0f);
    spot[70][70] = 20000.0f;
    spot[20][30] = -20000.0f;
    auto spotColumns = testdata::Columns(spot);
    QorImageProc2(spotColumns.data(), 140, 140, 4096, 1, 35, 409.6f);
    EXPECT_EQ(spot[70][70], 4095.0f);
    EXPECT_LT(spot[20][30], -10000.0f);
    float top = 0;
    for (const auto& column : spot) {
        top = std::max(top, *std::max_element(column.begin(), column.end()));
    }
    EXPECT_EQ(top, 4095.0f);
}

TEST(Enhancement, MidToneContrastGrows) {
    // Two levels around mid-scale: the curve pushes them apart by up to 409.6 each way.
    Grid grid = Flat(140, 140, 1800.0f);
    for (int32_t u = 70; u < 140; ++u) {
        std::fill(grid[u].begin(), grid[u].end(), 2300.0f);
    }
    auto columns = testdata::Columns(grid);
    QorImageProc2(columns.data(), 140, 140, 4096, 1, 35, 409.6f);
    EXPECT_LT(grid[10][70], 1800.0f - 100.0f);
    EXPECT_GT(grid[130][70], 2300.0f + 100.0f);
}

// Nothing outside the supported range is read, written or changed.
TEST(Enhancement, UnsupportedArgumentsLeaveTheGridUntouched) {
    struct Case {
        int32_t width, height, radius, tileSize;
    };
    const Case cases[] = {
        {139, 140, 1, 35},
        {140, 139, 1, 35},
        {140, 140, 1, 0},
        {140, 140, 1, -5},
        {140, 140, -1, 35},
        {140, 140, 140, 35},
        {140, 140, std::numeric_limits<int32_t>::max(), 35},
        {0, 140, 1, 35},
        {-140, 140, 1, 35},
    };
    const auto frame = testdata::MakeFrame(140, 140, testdata::Content::Noise, 5);
    for (const Case& c : cases) {
        Grid grid = testdata::ToGrid(frame, 140, 140);
        auto columns = testdata::Columns(grid);
        EXPECT_EQ(
            EnhanceGrid(columns.data(), c.width, c.height, 4096, c.radius, c.tileSize, 409.6f),
            EnhanceStatus::Unsupported)
            << c.width << "x" << c.height << " r" << c.radius << " t" << c.tileSize;
        EXPECT_TRUE(testdata::SameBits(grid, testdata::ToGrid(frame, 140, 140)));
    }

    QorImageProc2(nullptr, 140, 140, 4096, 1, 35, 409.6f);
    Grid grid = testdata::ToGrid(frame, 140, 140);
    auto columns = testdata::Columns(grid);
    columns[139] = nullptr;
    EXPECT_EQ(EnhanceGrid(columns.data(), 140, 140, 4096, 1, 35, 409.6f),
              EnhanceStatus::Unsupported);
    EXPECT_TRUE(testdata::SameBits(grid, testdata::ToGrid(frame, 140, 140)));
}

TEST(Enhancement, NoWorkingMemoryLeavesTheGridUntouched) {
    const auto frame = testdata::MakeFrame(150, 160, testdata::Content::Exposure, 9);
    Grid grid = testdata::ToGrid(frame, 150, 160);
    auto columns = testdata::Columns(grid);
    for (const int32_t allowed : {0, 1, 2, 3}) {
        FailingAllocations failing(allowed);
        EXPECT_EQ(EnhanceGrid(columns.data(), 150, 160, 4096, 1, 35, 409.6f),
                  EnhanceStatus::OutOfMemory);
        QorImageProc2(columns.data(), 150, 160, 4096, 1, 35, 409.6f);
    }
    EXPECT_TRUE(testdata::SameBits(grid, testdata::ToGrid(frame, 150, 160)));
    EXPECT_EQ(EnhanceGrid(columns.data(), 150, 160, 4096, 1, 35, 409.6f), EnhanceStatus::Enhanced);
}

} // namespace
} // namespace qor::imageproc
