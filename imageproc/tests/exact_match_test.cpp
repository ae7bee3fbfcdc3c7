// The fast enhancement must equal the literal reference bit for bit, on both loop paths.
#include <gtest/gtest.h>

#include <tuple>

#include "imageproc/core/enhance_grid.h"
#include "imageproc/core/frame_enhancement.h"
#include "imageproc/core/qor_image_proc.h"
#include "reference_enhancement.h"
#include "test_images.h"

namespace qor::imageproc {
namespace {

using testdata::Content;

struct GridCase {
    int32_t width;
    int32_t height;
    int32_t tileSize;
    int32_t radius;
};

// The driver's parameters on the real and on awkward sizes, and other tile sizes and radii
// (bands shorter than a vector group, one-pixel last tiles, radius 0 and wide kernels; {80, 83,
// 20, 1}: bands of 20 and 23 rows, shorter than the widest pass; {120, 150, 30, 1} and {92, 100,
// 23, 2}: bands whose last 6 and 7 rows do not fill a group of eight).
const GridCase kGridCases[] = {
    {140, 140, 35, 1}, {141, 177, 35, 1}, {175, 140, 35, 1}, {211, 143, 35, 1}, {4, 4, 1, 0},
    {5, 7, 1, 1},      {9, 8, 2, 1},      {13, 12, 3, 2},    {23, 17, 4, 2},    {37, 41, 9, 3},
    {61, 29, 7, 5},    {150, 202, 37, 0}, {64, 64, 16, 1},   {47, 33, 8, 1},    {13, 12, 3, 11},
    {12, 40, 3, 11},   {80, 83, 20, 1},   {120, 150, 30, 1}, {92, 100, 23, 2}};

class GridExactMatch : public ::testing::TestWithParam<std::tuple<GridCase, Content>> {};

TEST_P(GridExactMatch, EveryPathEqualsTheReference) {
    const auto [c, content] = GetParam();
    const auto frame = testdata::MakeFrame(c.width, c.height, content, 1000u + c.width);
    reference::Grid expected = testdata::ToGrid(frame, c.width, c.height);
    reference::ImageProc2(expected, 4096, c.radius, c.tileSize, 409.6f);

    for (const testdata::PathCase& pathCase : testdata::kAllPaths) {
        const testdata::UsingPath using_(pathCase);
        const KernelPath path = pathCase.path;
        reference::Grid actual = testdata::ToGrid(frame, c.width, c.height);
        auto columns = testdata::Columns(actual);
        ASSERT_EQ(EnhanceGrid(columns.data(), c.width, c.height, 4096, c.radius, c.tileSize, 409.6f,
                              path),
                  EnhanceStatus::Enhanced);
        EXPECT_TRUE(testdata::SameBits(expected, actual))
            << c.width << "x" << c.height << " path " << static_cast<int>(path) << " limit "
            << static_cast<int>(pathCase.limit);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, GridExactMatch,
                         ::testing::Combine(::testing::ValuesIn(kGridCases),
                                            ::testing::Values(Content::Noise, Content::Exposure,
                                                              Content::HalfFlat)));

// Other full scales and strengths reach the curve's other branches (fullScale 1000 puts most
// values beyond the parabola's top).
TEST(GridExactMatch, OtherCurveParameters) {
    const auto frame = testdata::MakeFrame(150, 151, Content::Exposure, 7);
    for (const auto& [fullScale, strength] :
         {std::pair{1000, 50.0f}, std::pair{65536, 3000.5f}, std::pair{4096, -409.6f}}) {
        reference::Grid expected = testdata::ToGrid(frame, 150, 151);
        reference::ImageProc2(expected, fullScale, 1, 35, strength);
        reference::Grid actual = testdata::ToGrid(frame, 150, 151);
        auto columns = testdata::Columns(actual);
        QorImageProc2(columns.data(), 150, 151, fullScale, 1, 35, strength);
        EXPECT_TRUE(testdata::SameBits(expected, actual)) << fullScale;
    }
}

struct FrameCase {
    int32_t width;
    int32_t height;
};

class FrameExactMatch : public ::testing::TestWithParam<std::tuple<FrameCase, Content>> {};

TEST_P(FrameExactMatch, EveryPathEqualsTheReference) {
    const auto [c, content] = GetParam();
    const auto frame = testdata::MakeFrame(c.width, c.height, content, 77u + c.height);
    auto expected = frame;
    ASSERT_EQ(reference::ImageProc1(expected, c.width, c.height, 1), 1);
    for (const testdata::PathCase& pathCase : testdata::kAllPaths) {
        const testdata::UsingPath using_(pathCase);
        auto actual = frame;
        ASSERT_EQ(EnhanceFrame(actual.data(), c.width, c.height, 1, pathCase.path), 1);
        EXPECT_EQ(expected, actual)
            << c.width << "x" << c.height << " limit " << static_cast<int>(pathCase.limit);
    }
}

// The two sensor sizes, small and odd ones, and frames too small to enhance (rescale only).
INSTANTIATE_TEST_SUITE_P(
    Sizes, FrameExactMatch,
    ::testing::Combine(::testing::Values(FrameCase{999, 664}, FrameCase{1201, 861},
                                         FrameCase{140, 140}, FrameCase{141, 177},
                                         FrameCase{175, 140}, FrameCase{139, 300}, FrameCase{3, 5}),
                       ::testing::Values(Content::Noise, Content::Exposure)));

} // namespace
} // namespace qor::imageproc
