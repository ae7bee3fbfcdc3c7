// The image pipe's byte format: the replies as the server encodes them and a client judges them.
#include "common/core/pipe_messages.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace qor::pipe;

TEST(PipeMessages, PendingReplyIsTwoLittleEndianInt32) {
    // Three images, the oldest of 1201 x 861 pixels: 1078 + 1204 x 861 bytes.
    const auto bytes = EncodePendingImages({3, 1037722});
    EXPECT_EQ((std::array<uint8_t, 8>{3, 0, 0, 0, 0x9A, 0xD5, 0x0F, 0x00}), bytes);
    EXPECT_EQ((std::array<uint8_t, 8>{}), EncodePendingImages({0, 0}));
    EXPECT_EQ((std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x80}),
              EncodePendingImages({-1, INT32_MIN}));
}

TEST(PipeMessages, ClientJudgesPendingReplies) {
    struct Case {
        std::vector<uint8_t> bytes;
        ReplyCheck check;
        int32_t count;
        int32_t size;
    };
    const Case cases[] = {
        {{3, 0, 0, 0, 0x9A, 0xD5, 0x0F, 0x00}, ReplyCheck::Ok, 3, 1037722},
        {{1, 0, 0, 0, 0xF6, 0x25, 0x0A, 0x00}, ReplyCheck::Ok, 1, 665078},  // 999 x 664
        {{0, 0, 0, 0, 0, 0, 0, 0}, ReplyCheck::NoImages, 0, 0},
        {{0, 0, 0, 0, 9, 9, 0, 0}, ReplyCheck::NoImages, 0, 0x909},
        {{1, 0, 0, 0, 0, 0, 0, 0}, ReplyCheck::BadSize, 1, 0},
        {{1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, ReplyCheck::BadSize, 1, -1},
        {{1, 0, 0, 0, 0x36, 0x04, 0, 0}, ReplyCheck::BadSize, 1, 1078},  // headers, no pixels
        {{1, 0, 0, 0, 0, 0, 0, 0x40}, ReplyCheck::BadSize, 1, 0x40000000},
        {{0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}, ReplyCheck::BadCount, -1, 1},
    };
    for (const Case& c : cases) {
        PendingImages reply;
        EXPECT_EQ(c.check, DecodePendingImages(c.bytes.data(), c.bytes.size(), &reply));
        EXPECT_EQ(c.count, reply.nPendingCount);
        EXPECT_EQ(c.size, reply.nImageSize);
    }
    const uint8_t seven[7] = {1, 0, 0, 0, 1, 2, 3};
    PendingImages reply;
    EXPECT_EQ(ReplyCheck::Short, DecodePendingImages(seven, sizeof seven, &reply));
    EXPECT_EQ(ReplyCheck::Short, DecodePendingImages(nullptr, 8, &reply));
}

TEST(PipeMessages, DepartedPeerUnderWineAndWindows) {
    for (uint32_t gone : {109u, 232u, 233u}) {
        EXPECT_TRUE(PeerHasGone(gone)) << gone;
    }
    for (uint32_t other : {0u, 5u, 6u, 231u, 995u, 1460u}) {
        EXPECT_FALSE(PeerHasGone(other)) << other;
    }
}

TEST(PipeMessages, ImageReplyMustBeTheAnnouncedBitmap) {
    std::vector<uint8_t> image(2000, 0);
    image[0] = 'B';
    image[1] = 'M';
    image[2] = 2000 & 0xFF;
    image[3] = 2000 >> 8;
    EXPECT_EQ(ImageCheck::Ok, CheckImageReply(image.data(), image.size(), 2000));
    EXPECT_EQ(ImageCheck::Short, CheckImageReply(image.data(), 1999, 2000));
    EXPECT_EQ(ImageCheck::Short, CheckImageReply(image.data(), 2000, 0));
    EXPECT_EQ(ImageCheck::SizeMismatch, CheckImageReply(image.data(), 1500, 1500));
    image[1] = 'X';
    EXPECT_EQ(ImageCheck::NotBitmap, CheckImageReply(image.data(), image.size(), 2000));
    EXPECT_EQ(ImageCheck::NotBitmap, CheckImageReply(image.data(), 100, 100));
    EXPECT_STRNE("", Describe(ImageCheck::SizeMismatch));
    EXPECT_STRNE("", Describe(ReplyCheck::BadSize));
}

}  // namespace
