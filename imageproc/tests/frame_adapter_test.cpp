// QorImageProc1: the switch, the rescale to 12 bits and frames it cannot or need not enhance.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "imageproc/core/grid_transfer.h"
#include "imageproc/core/qor_image_proc.h"
#include "imageproc/core/work_memory.h"
#include "test_images.h"

namespace qor::imageproc {
namespace {

using testdata::Content;

TEST(FrameAdapter, OnlyProcessFlagOneEnhances) {
    const auto frame = testdata::MakeFrame(999, 664, Content::Exposure, 3);
    for (const int32_t flag : {0, 2, -1, 3}) {
        auto image = frame;
        EXPECT_EQ(QorImageProc1(image.data(), 999, 664, flag), 0) << flag;
        EXPECT_EQ(image, frame) << flag;
    }
    auto image = frame;
    EXPECT_EQ(QorImageProc1(image.data(), 999, 664, 1), 1);
    EXPECT_NE(image, frame);
}

TEST(FrameAdapter, ResultIsTwelveBitWithTheBrightestAtTheTop) {
    for (const Content content : {Content::Exposure, Content::Noise}) {
        auto image = testdata::MakeFrame(1201, 861, content, 11);
        ASSERT_EQ(QorImageProc1(image.data(), 1201, 861, 1), 1);
        const auto [lo, hi] = std::minmax_element(image.begin(), image.end());
        EXPECT_GE(*lo, 0);
        EXPECT_GE(*hi, 4094);
        EXPECT_LE(*hi, 4095);
    }
}

TEST(FrameAdapter, StronglyNegativeDetailBecomesZero) {
    auto image = testdata::MakeFrame(140, 140, Content::HalfFlat, 4);
    for (int32_t v = 0; v < 140; ++v) {
        std::fill_n(image.begin() + v * 140, 70, 3000);
    }
    image[40 * 140 + 30] = -30000;
    ASSERT_EQ(QorImageProc1(image.data(), 140, 140, 1), 1);
    EXPECT_EQ(image[40 * 140 + 30], 0);
    EXPECT_GT(image[40 * 140 + 20], 1000);
}

TEST(FrameAdapter, NothingAboveZeroGivesAnAllZeroFrame) {
    // Bmax starts from 0, so the local maximum is 0 and every pixel lands near the lowered
    // minimum: negative everywhere.
    std::vector<int32_t> image(150 * 140, -100);
    ASSERT_EQ(QorImageProc1(image.data(), 150, 140, 1), 1);
    EXPECT_EQ(std::count(image.begin(), image.end(), 0), 150 * 140);
}

TEST(Rescale, MaximumMapsTo4095AndNegativesToZero) {
    // Column grid of 2 x 3: the maximum 2047.5 scales everything by exactly 2.
    const std::vector<float> columns = {2047.5f, 1000.25f, -3.0f, 0.0f, 0.4f, -0.0f};
    const float max = LargestValue(columns.data(), columns.size());
    EXPECT_EQ(max, 2047.5f);
    EXPECT_EQ(RescaleFactor(max), 2.0f);
    for (const KernelPath path : {KernelPath::Vector, KernelPath::Scalar}) {
        std::vector<int32_t> image(6, -1);
        StoreRescaled(columns.data(), 2, 3, RescaleFactor(max), image.data(), path);
        EXPECT_EQ(image, (std::vector<int32_t>{4095, 0, 2000, 0, 0, 0}));
    }
}

TEST(Rescale, ZeroOrDenormalMaximumStaysWithinTwelveBits) {
    EXPECT_EQ(LargestValue(std::vector<float>{-5.0f, -1.0f}.data(), 2), 0.0f);
    const float tiny = std::numeric_limits<float>::denorm_min();
    for (const float max : {0.0f, tiny}) {
        const std::vector<float> columns = {max, 0.0f, -1.0f, max, max, 0.0f, 0.0f, max, -2.0f};
        for (const KernelPath path : {KernelPath::Vector, KernelPath::Scalar}) {
            std::vector<int32_t> image(9, -1);
            StoreRescaled(columns.data(), 3, 3, RescaleFactor(max), image.data(), path);
            const int32_t top = max > 0.0f ? 4095 : 0;
            EXPECT_EQ(image, (std::vector<int32_t>{top, top, 0, 0, top, top, 0, 0, 0})) << max;
        }
    }
}

TEST(GridTransfer, EveryPathGivesTheSameBitsOnEveryShape) {
    // Shapes around the 8 x 8 squares of the 256-bit loops (ragged columns and rows, a chunk's
    // column range) with values at and beyond the ends of the range, negatives, NaN and
    // infinities; a factor of +inf as a maximum of 0 gives it.
    struct Shape {
        int32_t width, height, uBegin, uEnd;
    };
    const Shape shapes[] = {{8, 8, 0, 8},     {13, 9, 0, 13},  {35, 21, 0, 35},
                            {70, 17, 35, 70}, {40, 33, 3, 12}, {12, 7, 0, 12}};
    using Limits = std::numeric_limits<float>;
    const float specials[] = {4095.0f,
                              4096.0f,
                              -0.5f,
                              -0.0f,
                              0.999f,
                              1e30f,
                              Limits::quiet_NaN(),
                              Limits::infinity(),
                              -Limits::infinity()};
    for (const Shape& s : shapes) {
        const size_t count = static_cast<size_t>(s.width) * static_cast<size_t>(s.height);
        std::vector<float> columns(count);
        std::vector<int32_t> frame(count);
        for (size_t i = 0; i < count; ++i) {
            columns[i] =
                i % 7 == 3 ? specials[i % 9] : static_cast<float>((i * 2654435761u) % 5000) * 0.83f;
            frame[i] = static_cast<int32_t>((i * 40503u) % 9000u) - 3000;
        }
        for (const float scale : {0.8187f, 1.0f, std::numeric_limits<float>::infinity()}) {
            std::vector<int32_t> expected(count, -1);
            StoreRescaled(columns.data(), s.width, s.height, scale, expected.data(),
                          KernelPath::Scalar, s.uBegin, s.uEnd);
            for (const KernelPath path : {KernelPath::Vector, KernelPath::Sse2}) {
                std::vector<int32_t> image(count, -1);
                StoreRescaled(columns.data(), s.width, s.height, scale, image.data(), path,
                              s.uBegin, s.uEnd);
                EXPECT_EQ(image, expected) << s.width << " x " << s.height << ", " << scale;
            }
        }
        std::vector<float> expected(count, -1.0f);
        LoadColumns(frame.data(), s.width, s.height, expected.data(), KernelPath::Scalar, s.uBegin,
                    s.uEnd);
        for (const KernelPath path : {KernelPath::Vector, KernelPath::Sse2}) {
            std::vector<float> loaded(count, -1.0f);
            LoadColumns(frame.data(), s.width, s.height, loaded.data(), path, s.uBegin, s.uEnd);
            EXPECT_EQ(loaded, expected) << s.width << " x " << s.height;
        }
    }
}

TEST(FrameAdapter, SmallFramesAreRescaledWithoutEnhancement) {
    std::vector<int32_t> image = {100, 200, 400, -7, 0, 800};
    ASSERT_EQ(QorImageProc1(image.data(), 3, 2, 1), 1);
    EXPECT_EQ(image, (std::vector<int32_t>{511, 1023, 2047, 0, 0, 4095}));
}

TEST(FrameAdapter, InvalidFramesAreLeftAlone) {
    std::vector<int32_t> image(16, 7);
    EXPECT_EQ(QorImageProc1(nullptr, 140, 140, 1), 0);
    EXPECT_EQ(QorImageProc1(image.data(), 0, 16, 1), 0);
    EXPECT_EQ(QorImageProc1(image.data(), 16, -1, 1), 0);
    // 2^31 pixels: refused before anything is read.
    EXPECT_EQ(QorImageProc1(image.data(), 65536, 32768, 1), 0);
    EXPECT_EQ(image, std::vector<int32_t>(16, 7));
}

TEST(FrameAdapter, NoWorkingMemoryLeavesTheFrameUntouched) {
    const auto frame = testdata::MakeFrame(999, 664, Content::Exposure, 8);
    // 0: the grid itself cannot be had; 1: the grid can, the enhancement's memory cannot.
    for (const int32_t allowed : {0, 1, 2}) {
        auto image = frame;
        testing::FailAllocationsAfter(allowed);
        EXPECT_EQ(QorImageProc1(image.data(), 999, 664, 1), 0) << allowed;
        testing::FailAllocationsAfter(-1);
        EXPECT_EQ(image, frame) << allowed;
    }
    auto image = frame;
    EXPECT_EQ(QorImageProc1(image.data(), 999, 664, 1), 1);
}

} // namespace
} // namespace qor::imageproc
