// The image pipe's byte format: the replies as the server encodes them and a client judges them.
#include "common/core/pipe_messages.h"

#include "common/core/crc32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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

TEST(PipeMessages, Crc32IsZlibs) {
    struct Case {
        std::string text;
        uint32_t crc;
    };
    const Case cases[] = {
        {"", 0x00000000u},
        {"a", 0xE8B7BE43u},
        {"123456789", 0xCBF43926u},  // the standard check value
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (const Case& c : cases) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(c.text.data());
        EXPECT_EQ(c.crc, qor::Crc32(bytes, c.text.size())) << c.text;
        // Continued over two pieces, as zlib's crc32(crc, ...) is.
        const size_t half = c.text.size() / 2;
        EXPECT_EQ(c.crc, qor::Crc32(bytes + half, c.text.size() - half, qor::Crc32(bytes, half)));
    }
    EXPECT_EQ(0u, qor::Crc32(nullptr, 5));
}

TEST(PipeMessages, LendAndConfirmBytes) {
    // 14:03:05.120, 1,037,722 bytes, CRC 0xCBF43926.
    EXPECT_EQ((std::array<uint8_t, 12>{0xE0, 0xE2, 0x5C, 0x08, 0x9A, 0xD5, 0x0F, 0x00, 0x26, 0x39,
                                       0xF4, 0xCB}),
              EncodeLendHeader({140305120, 1037722, 0xCBF43926u}));
    EXPECT_EQ((std::array<uint8_t, 12>{}), EncodeLendHeader({}));
    EXPECT_EQ((std::array<uint8_t, 9>{0x04, 0xE0, 0xE2, 0x5C, 0x08, 0x26, 0x39, 0xF4, 0xCB}),
              EncodeConfirmRequest({140305120, 0xCBF43926u}));
    EXPECT_EQ((std::array<uint8_t, 4>{1, 0, 0, 0}), EncodeConfirmReply(true));
    EXPECT_EQ((std::array<uint8_t, 4>{0, 0, 0, 0}), EncodeConfirmReply(false));
    EXPECT_EQ(Request::LendImage, ClassifyRequest(0x03));
    EXPECT_EQ(Request::ConfirmImage, ClassifyRequest(0x04));
    EXPECT_EQ(Request::Ignored, ClassifyRequest(0x05));
}

TEST(PipeMessages, ClientJudgesLendReplies) {
    struct Case {
        LentImage header;
        LendCheck check;
    };
    const Case cases[] = {
        {{140305120, 1037722, 0xCBF43926u}, LendCheck::Ok},
        {{0, 2000, 1}, LendCheck::Ok},                 // midnight is a time of day
        {{235959999, 2000, 0}, LendCheck::Ok},         // the last millisecond of the day
        {{0, 0, 0}, LendCheck::NoImage},
        {{5, 0, 0}, LendCheck::BadSize},               // no image, yet an id
        {{0, 0, 7}, LendCheck::BadSize},               // no image, yet a CRC
        {{240000000, 2000, 0}, LendCheck::BadId},      // hour 24
        {{106000000, 2000, 0}, LendCheck::BadId},      // minute 60
        {{100060000, 2000, 0}, LendCheck::BadId},      // second 60
        {{-1, 2000, 0}, LendCheck::BadId},
        {{1, 1078, 0}, LendCheck::BadSize},            // headers without pixels
        {{1, -5, 0}, LendCheck::BadSize},
        {{1, 0x40000000, 0}, LendCheck::BadSize},
    };
    for (const Case& c : cases) {
        const auto bytes = EncodeLendHeader(c.header);
        LentImage decoded;
        EXPECT_EQ(c.check, DecodeLendHeader(bytes.data(), bytes.size(), &decoded))
            << c.header.nImageId << " " << c.header.nImageSize;
        EXPECT_EQ(c.header.nImageId, decoded.nImageId);
        EXPECT_EQ(c.header.nImageSize, decoded.nImageSize);
        EXPECT_EQ(c.header.nCrc32, decoded.nCrc32);
        LentImage shortHeader;
        EXPECT_EQ(LendCheck::Short, DecodeLendHeader(bytes.data(), 11, &shortHeader));
    }

    std::vector<uint8_t> image(2000, 7);
    const uint8_t header[6] = {'B', 'M', 2000 & 0xFF, 2000 >> 8, 0, 0};
    std::copy(std::begin(header), std::end(header), image.begin());
    const uint32_t crc = qor::Crc32(image.data(), image.size());
    EXPECT_EQ(ImageCheck::Ok, CheckLentImage(image.data(), image.size(), {1, 2000, crc}));
    EXPECT_EQ(ImageCheck::CrcMismatch, CheckLentImage(image.data(), image.size(), {1, 2000, crc ^ 1}));
    EXPECT_EQ(ImageCheck::Short, CheckLentImage(image.data(), 1999, {1, 2000, crc}));
    image[1500] ^= 0x10;  // one bit flipped on the way
    EXPECT_EQ(ImageCheck::CrcMismatch, CheckLentImage(image.data(), image.size(), {1, 2000, crc}));

    struct ConfirmCase {
        std::vector<uint8_t> bytes;
        ConfirmCheck check;
    };
    const ConfirmCase confirms[] = {
        {{1, 0, 0, 0}, ConfirmCheck::Removed},
        {{0, 0, 0, 0}, ConfirmCheck::NotInStore},
        {{2, 0, 0, 0}, ConfirmCheck::BadValue},
        {{1, 0, 0, 1}, ConfirmCheck::BadValue},
        {{1, 0, 0}, ConfirmCheck::Short},
        {{1, 0, 0, 0, 0}, ConfirmCheck::Short},
    };
    for (const ConfirmCase& c : confirms) {
        EXPECT_EQ(c.check, DecodeConfirmReply(c.bytes.data(), c.bytes.size()));
    }
    EXPECT_STRNE("", Describe(LendCheck::BadId));
    EXPECT_STRNE("", Describe(ConfirmCheck::BadValue));
}

// The server's request stream arriving in pieces of every size: whole requests come out in
// order, a confirmation waits for its payload, garbage is ignored byte by byte.
TEST(PipeMessages, RequestReaderSplitsTheStream) {
    const auto confirm = EncodeConfirmRequest({140305120, 0xCBF43926u});
    std::vector<uint8_t> stream = {0x01, 0x03, 0x00, 0xFF};
    stream.insert(stream.end(), confirm.begin(), confirm.end());
    stream.push_back(0x02);
    const std::vector<Request> expected = {Request::CheckPendingImages, Request::LendImage,
                                           Request::Ignored, Request::Ignored,
                                           Request::ConfirmImage, Request::GetImages};
    for (size_t piece = 1; piece <= stream.size(); ++piece) {
        SCOPED_TRACE(piece);
        RequestReader reader;
        std::vector<Request> got;
        for (size_t at = 0; at < stream.size(); at += piece) {
            reader.Feed(stream.data() + at, std::min(piece, stream.size() - at));
            RequestReader::Parsed parsed;
            while (reader.Next(parsed)) {
                got.push_back(parsed.request);
                if (parsed.request == Request::ConfirmImage) {
                    EXPECT_EQ(140305120, parsed.confirmation.nImageId);
                    EXPECT_EQ(0xCBF43926u, parsed.confirmation.nCrc32);
                }
            }
        }
        EXPECT_EQ(expected, got);
        EXPECT_EQ(0u, reader.Buffered());
    }

    // A confirmation cut short waits, says how much is missing, and is dropped on Abandon.
    RequestReader reader;
    reader.Feed(confirm.data(), 5);
    RequestReader::Parsed parsed;
    EXPECT_FALSE(reader.Next(parsed));
    EXPECT_EQ(4u, reader.Missing());
    reader.Abandon();
    EXPECT_EQ(0u, reader.Missing());
    const uint8_t check = 0x01;
    reader.Feed(&check, 1);
    ASSERT_TRUE(reader.Next(parsed));
    EXPECT_EQ(Request::CheckPendingImages, parsed.request);

    // More than it can hold: it takes what fits and says so.
    std::vector<uint8_t> flood(100, 0x01);
    RequestReader full;
    EXPECT_EQ(64u, full.Room());
    full.Feed(flood.data(), flood.size());
    EXPECT_EQ(64u, full.Buffered());
    EXPECT_EQ(0u, full.Room());
}

}  // namespace
