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
    EXPECT_EQ(Request::Ignored, ClassifyRequest(0x08));
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
    std::vector<uint8_t> flood(600, 0x01);
    RequestReader full;
    EXPECT_EQ(kMaxRequestBytes, full.Room());
    full.Feed(flood.data(), flood.size());
    EXPECT_EQ(kMaxRequestBytes, full.Buffered());
    EXPECT_EQ(0u, full.Room());
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> list) { return list; }

template <size_t N>
std::vector<uint8_t> Bytes(const std::array<uint8_t, N>& array) {
    return {array.begin(), array.end()};
}

TEST(PipeMessages, HelloAndExceptionListBytes) {
    EXPECT_EQ(Bytes({'Q', 'O', 'R', '2', 2, 0, 0, 0}), Bytes(EncodeHelloReply()));
    EXPECT_EQ(Bytes({0x05, 0x01}), Bytes(kHelloProbe));
    EXPECT_EQ(Request::Hello, ClassifyRequest(0x05));
    EXPECT_EQ(Request::CheckPendingExcept, ClassifyRequest(0x06));
    EXPECT_EQ(Request::LendImageExcept, ClassifyRequest(0x07));

    // 14:03:05.120 and 00:00:00.000 passed over.
    const int32_t two[] = {140305120, 0};
    EXPECT_EQ(Bytes({0x06, 2, 0, 0, 0, 0xE0, 0xE2, 0x5C, 0x08, 0, 0, 0, 0}),
              EncodeExceptRequest(CHECK_PENDING_EXCEPT, two));
    EXPECT_EQ(Bytes({0x07, 0, 0, 0, 0}), EncodeExceptRequest(LEND_IMAGE_EXCEPT, {}));
    std::vector<int32_t> many(kMaxExceptIds, 7);
    EXPECT_EQ(kMaxRequestBytes, EncodeExceptRequest(LEND_IMAGE_EXCEPT, many).size());
    many.push_back(8);  // one too many: no request at all rather than one the server refuses
    EXPECT_TRUE(EncodeExceptRequest(LEND_IMAGE_EXCEPT, many).empty());
    EXPECT_TRUE(EncodeExceptRequest(LEND_IMAGE, two).empty());
    EXPECT_TRUE(EncodeExceptRequest(CONFIRM_IMAGE, two).empty());

    // 3 waiting, the oldest 14:03:05.120 of 1,037,722 bytes.
    EXPECT_EQ(Bytes({3, 0, 0, 0, 0xE0, 0xE2, 0x5C, 0x08, 0x9A, 0xD5, 0x0F, 0x00}),
              Bytes(EncodePendingExcept({3, 140305120, 1037722})));
}

// A client's probe reads 8 bytes: the HELLO reply, or a first-protocol server's 0x01 reply.
TEST(PipeMessages, ClientTellsHelloFromAPendingReply) {
    struct Case {
        std::vector<uint8_t> bytes;
        bool hello;
    };
    const Case cases[] = {
        {Bytes(EncodeHelloReply()), true},
        {{'Q', 'O', 'R', '2', 3, 0, 0, 0}, true},                // a later protocol speaks 2 too
        {{'Q', 'O', 'R', '2', 1, 0, 0, 0}, false},
        {{'Q', 'O', 'R', '2', 0xFF, 0xFF, 0xFF, 0xFF}, false},
        {{'Q', 'O', 'R', '1', 2, 0, 0, 0}, false},
        {Bytes(EncodePendingImages({3, 1037722})), false},     // a first-protocol server
        {Bytes(EncodePendingImages({0, 0})), false},
        {{'Q', 'O', 'R', '2', 2, 0, 0}, false},                   // cut short
        {{'Q', 'O', 'R', '2', 2, 0, 0, 0, 0}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.hello, IsHelloReply(c.bytes.data(), c.bytes.size()))
            << testing::PrintToString(c.bytes);
    }
    EXPECT_FALSE(IsHelloReply(nullptr, 8));
    // The magic read as a 0x01 reply's count is no count a store can have.
    PendingImages asPending;
    const auto hello = EncodeHelloReply();
    DecodePendingImages(hello.data(), hello.size(), &asPending);
    EXPECT_GT(asPending.nPendingCount, 64);
}

TEST(PipeMessages, ClientJudgesPendingExceptReplies) {
    struct Case {
        PendingExcept reply;
        PendingExceptCheck check;
    };
    const Case cases[] = {
        {{3, 140305120, 1037722}, PendingExceptCheck::Ok},
        {{1, 0, 2000}, PendingExceptCheck::Ok},                   // midnight is a time of day
        {{1, kMaxImageId, 2000}, PendingExceptCheck::Ok},
        {{0, 0, 0}, PendingExceptCheck::NoImages},
        {{0, 140305120, 0}, PendingExceptCheck::BadId},           // nothing waits, yet an id
        {{0, 0, 2000}, PendingExceptCheck::BadSize},              // nothing waits, yet a size
        {{-1, 140305120, 2000}, PendingExceptCheck::BadCount},
        {{1, 240000000, 2000}, PendingExceptCheck::BadId},        // hour 24
        {{1, 106000000, 2000}, PendingExceptCheck::BadId},        // minute 60
        {{1, 100060000, 2000}, PendingExceptCheck::BadId},        // second 60
        {{1, -5, 2000}, PendingExceptCheck::BadId},
        {{1, 140305120, 0}, PendingExceptCheck::BadSize},
        {{1, 140305120, 1078}, PendingExceptCheck::BadSize},      // headers without pixels
        {{1, 140305120, -2000}, PendingExceptCheck::BadSize},
        {{1, 140305120, 0x40000000}, PendingExceptCheck::BadSize},
    };
    for (const Case& c : cases) {
        const auto bytes = EncodePendingExcept(c.reply);
        PendingExcept decoded;
        EXPECT_EQ(c.check, DecodePendingExcept(bytes.data(), bytes.size(), &decoded))
            << c.reply.nPendingCount << " " << c.reply.nImageId << " " << c.reply.nImageSize;
        EXPECT_EQ(c.reply.nPendingCount, decoded.nPendingCount);
        EXPECT_EQ(c.reply.nImageId, decoded.nImageId);
        EXPECT_EQ(c.reply.nImageSize, decoded.nImageSize);
        EXPECT_EQ(PendingExceptCheck::Short, DecodePendingExcept(bytes.data(), 11, &decoded));
        EXPECT_STRNE("", Describe(c.check));
    }
    // The 8-byte first-protocol reply is not this one.
    const auto eight = EncodePendingImages({1, 2000});
    PendingExcept decoded;
    EXPECT_EQ(PendingExceptCheck::Short, DecodePendingExcept(eight.data(), eight.size(), &decoded));
    EXPECT_EQ(PendingExceptCheck::Short, DecodePendingExcept(nullptr, 12, &decoded));
}

// Exception lists in the request stream, in pieces of every size: each comes out whole with its
// ids; a count outside 0..128 is a malformed request after which nothing is believed.
TEST(PipeMessages, RequestReaderTakesExceptionLists) {
    std::vector<int32_t> full(kMaxExceptIds);
    for (int32_t i = 0; i < kMaxExceptIds; ++i) {
        full[static_cast<size_t>(i)] = 80000000 + i;
    }
    const std::vector<int32_t> two = {140305120, 0};
    struct Expected {
        Request request;
        std::vector<int32_t> ids;
    };
    std::vector<uint8_t> stream(kHelloProbe.begin(), kHelloProbe.end());
    const auto append = [&stream](const std::vector<uint8_t>& bytes) {
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    };
    append(EncodeExceptRequest(CHECK_PENDING_EXCEPT, two));
    append(EncodeExceptRequest(LEND_IMAGE_EXCEPT, {}));
    append(EncodeExceptRequest(LEND_IMAGE_EXCEPT, full));
    append(Bytes(EncodeConfirmRequest({140305120, 0xCBF43926u})));
    stream.push_back(0x09);
    const std::vector<Expected> expected = {
        {Request::Hello, {}},
        {Request::CheckPendingImages, {}},
        {Request::CheckPendingExcept, two},
        {Request::LendImageExcept, {}},
        {Request::LendImageExcept, full},
        {Request::ConfirmImage, {}},
        {Request::Ignored, {}},
    };
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{16}, size_t{517}}) {
        SCOPED_TRACE(piece);
        RequestReader reader;
        std::vector<Expected> got;
        for (size_t at = 0; at < stream.size();) {
            const size_t count = std::min({piece, stream.size() - at, reader.Room()});
            reader.Feed(stream.data() + at, count);
            at += count;
            RequestReader::Parsed parsed;
            while (reader.Next(parsed)) {
                EXPECT_EQ(static_cast<int32_t>(parsed.exceptIds.size()), parsed.nExceptCount);
                got.push_back({parsed.request, parsed.exceptIds});
            }
            EXPECT_LT(reader.Missing(), kMaxRequestBytes);
        }
        ASSERT_EQ(expected.size(), got.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(expected[i].request, got[i].request) << i;
            EXPECT_EQ(expected[i].ids, got[i].ids) << i;
        }
        EXPECT_EQ(0u, reader.Buffered());
    }

    // What is missing: first the count, then the ids it announces.
    const auto request = EncodeExceptRequest(LEND_IMAGE_EXCEPT, two);
    RequestReader reader;
    reader.Feed(request.data(), 2);
    EXPECT_EQ(3u, reader.Missing());
    reader.Feed(request.data() + 2, 3);
    EXPECT_EQ(8u, reader.Missing());
    reader.Feed(request.data() + 5, 7);
    EXPECT_EQ(1u, reader.Missing());
    RequestReader::Parsed parsed;
    EXPECT_FALSE(reader.Next(parsed));
    reader.Feed(request.data() + 12, 1);
    ASSERT_TRUE(reader.Next(parsed));
    EXPECT_EQ(two, parsed.exceptIds);

    struct BadCase {
        std::vector<uint8_t> bytes;
        int32_t count;
    };
    const BadCase bad[] = {
        {{0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01}, -1},
        {{0x07, 129, 0, 0, 0, 0x02, 0x01}, 129},
        {{0x07, 0xFF, 0xFF, 0xFF, 0x7F, 0x02}, INT32_MAX},
        {{0x06, 0, 0, 0, 0x80, 0x02}, INT32_MIN},
    };
    for (const BadCase& c : bad) {
        RequestReader malformed;
        const uint8_t check = 0x01;
        malformed.Feed(&check, 1);
        malformed.Feed(c.bytes.data(), c.bytes.size());
        ASSERT_TRUE(malformed.Next(parsed));
        EXPECT_EQ(Request::CheckPendingImages, parsed.request);
        EXPECT_EQ(0u, malformed.Missing()) << c.count;
        ASSERT_TRUE(malformed.Next(parsed));
        EXPECT_EQ(Request::Malformed, parsed.request);
        EXPECT_EQ(c.bytes[0], parsed.byte);
        EXPECT_EQ(c.count, parsed.nExceptCount);
        EXPECT_TRUE(parsed.exceptIds.empty());
        // The GET_IMAGES byte after it is never taken for a command.
        EXPECT_FALSE(malformed.Next(parsed));
        EXPECT_EQ(0u, malformed.Buffered());
    }
    EXPECT_STREQ("LEND_IMAGE_EXCEPT", Describe(Request::LendImageExcept));
    EXPECT_STREQ("HELLO", Describe(Request::Hello));
}

}  // namespace
