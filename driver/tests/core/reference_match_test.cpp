// The fast pipelines against the literal reference: exact equality on random calibrations and
// frames of small, odd and both real sizes.
#include <gtest/gtest.h>

#include <random>

#include "driver/core/frame_correction.h"
#include "reference_correction.h"
#include "test_support.h"

#if defined(QOR_TEST_HAVE_IMAGEPROC)
#include "imageproc/core/qor_image_proc.h"
#endif

namespace qor {
namespace {

using test::ImageBuilder;
using test::NoticeLog;

// A stand-in enhancement that leaves a position-dependent trace, so order and arguments show.
int32_t QOR_STDCALL TraceEnhance(int32_t* image, int32_t width, int32_t height, int32_t flag) {
    if (flag != 1) {
        return 0;
    }
    for (int32_t i = 0; i < width * height; ++i) {
        image[i] = (image[i] * 5 + i % 13) % 4096;
    }
    return 1;
}

// A stand-in for the shared threads that runs the parts last first: parts must not depend on
// the order they run in.
void QOR_STDCALL LastPartFirst(int32_t parts, PartTask task, void* context) {
    for (int32_t part = parts - 1; part >= 0; --part) {
        task(context, part);
    }
}

enum class Kind { Format2, Format3, Format4, Legacy };

std::vector<int32_t> AscendingLines(std::mt19937& rng, int32_t limit) {
    std::vector<int32_t> lines;
    const size_t count = rng() % 11;
    int32_t next = static_cast<int32_t>(rng() % 4);
    while (lines.size() < count && next < limit) {
        lines.push_back(next);
        next += rng() % 2 == 0 ? 1 : 1 + static_cast<int32_t>(rng() % 9);
    }
    return lines;
}

ImageBuilder RandomImage(Kind kind, int32_t width, int32_t height, std::mt19937& rng) {
    const int32_t format = kind == Kind::Format2   ? 1 + static_cast<int32_t>(rng() % 2)
                           : kind == Kind::Format3 ? 3
                           : kind == Kind::Format4 ? 4
                                                   : 2;
    // Half of the identities turn the frame (lowest byte 0x60 and up).
    const uint32_t id =
        (0x00200000u | (rng() & 0xFF00u)) | (rng() % 2 ? 0x60u + rng() % 0x90 : rng() % 0x5F);
    ImageBuilder image(format, id, width, height);
    image.BadRows(AscendingLines(rng, height)).BadColumns(AscendingLines(rng, width));
    const size_t count = static_cast<size_t>(width) * height;
    if (kind == Kind::Legacy) {
        image.BadColumns(AscendingLines(rng, std::min(width, 5)));
        for (int k = 5; k < 10; ++k) {
            image.Word(88 + 4 * k, static_cast<uint32_t>(static_cast<int32_t>(rng() % 101) - 50));
        }
        image.Word(44, std::min<uint32_t>(5, static_cast<uint32_t>(rng() % 6)));
        image.GainReference(3160);
        for (size_t i = 0; i < count; ++i) {
            image.Level(i, rng() % 20 == 0 ? 0 : static_cast<uint16_t>(1000 + rng() % 4000));
        }
    } else if (format < 3) {
        image.GainReference(static_cast<uint16_t>(2000 + rng() % 3000));
        for (size_t i = 0; i < count; ++i) {
            image.Level(i, rng() % 20 == 0 ? static_cast<uint16_t>(rng() % 161)
                                           : static_cast<uint16_t>(1000 + rng() % 5000));
        }
    } else {
        image.RandomTable(count, rng);
    }
    return image;
}

std::vector<int32_t> RandomFrame(size_t count, std::mt19937& rng) {
    std::vector<int32_t> frame(count);
    for (int32_t& v : frame) {
        const uint32_t pick = rng() % 100;
        v = pick < 90   ? static_cast<int32_t>(rng() % 4096)
            : pick < 98 ? static_cast<int32_t>(rng() % 65536)
                        : static_cast<int32_t>(rng()); // anything at all, also negative
    }
    return frame;
}

struct Size {
    int32_t width;
    int32_t height;
};

void CompareOnSizes(const std::vector<Size>& sizes, int rounds, EnhanceFunction enhance,
                    RunPartsFunction runParts = nullptr) {
    std::mt19937 rng(20240611);
    for (const Size size : sizes) {
        for (Kind kind : {Kind::Format2, Kind::Format3, Kind::Format4, Kind::Legacy}) {
            for (int round = 0; round < rounds; ++round) {
                ImageBuilder image = RandomImage(kind, size.width, size.height, rng);
                Calibration cal;
                const bool loaded = kind == Kind::Legacy ? LoadLegacyCalibration(cal, image.data())
                                                         : LoadCalibration(cal, image.data(), {});
                ASSERT_TRUE(loaded);
                const size_t count = static_cast<size_t>(size.width) * size.height;
                const std::vector<int32_t> raw = RandomFrame(count, rng);
                const int32_t flags[] = {1, 2, 0, -1};
                const int32_t flag = flags[rng() % 4];
                const uint32_t threshold = rng() % 4096;
                NoticeLog fastLog, slowLog;
                std::vector<int32_t> fast = raw;
                std::vector<int32_t> slow = raw;
                if (kind == Kind::Legacy) {
                    ASSERT_TRUE(CorrectLegacyFrame(fast.data(), fast.size(), cal, flag));
                    reference::CorrectLegacyFrame(slow, cal, flag);
                } else {
                    ASSERT_TRUE(CorrectFrame(fast.data(), fast.size(), cal, threshold, flag,
                                             {enhance, fastLog.Callback(), runParts}));
                    reference::CorrectFrame(slow, cal, threshold, flag,
                                            {enhance, slowLog.Callback()});
                }
                ASSERT_EQ(fast, slow) << size.width << " x " << size.height << " kind "
                                      << static_cast<int>(kind) << " round " << round;
                ASSERT_EQ(fastLog.notices.size(), slowLog.notices.size());
                for (size_t n = 0; n < fastLog.notices.size(); ++n) {
                    EXPECT_EQ(fastLog.notices[n].title, slowLog.notices[n].title);
                }
            }
        }
    }
}

// Each on the calling thread alone and with its passes cut into parts (more parts than rows
// or values in the smallest).
TEST(ReferenceMatch, SmallAndOddSizes) {
    for (const RunPartsFunction runParts : {RunPartsFunction{}, &LastPartFirst}) {
        CompareOnSizes({{1, 1}, {3, 1}, {1, 3}, {2, 2}, {7, 5}, {33, 17}, {64, 9}, {140, 141}}, 12,
                       &TraceEnhance, runParts);
    }
}

TEST(ReferenceMatch, RealSensorSizes) {
    CompareOnSizes({{999, 664}, {1201, 861}}, 1, &TraceEnhance, &LastPartFirst);
}

#if defined(QOR_TEST_HAVE_IMAGEPROC)
// The enhancement library's own threads for the enhancement and the passes around it.
TEST(ReferenceMatch, RealSizesWithTheEnhancement) {
    CompareOnSizes({{999, 664}, {1201, 861}}, 1, &QorImageProc1, &QorRunParts);
}
#endif

} // namespace
} // namespace qor
