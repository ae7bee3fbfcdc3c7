// The image pipe between QOR APP (server) and its clients: one command byte per request (with a
// fixed payload for CONFIRM_IMAGE), replies whose length the client already knows. Every check a
// reader can make is here, shared by the server, the clients, the fuzz targets and the tests.
//
// Exchanges (all integers 32-bit little-endian):
//   0x01 CHECK_PENDING_IMAGES  -> int32 pending count, int32 size of the oldest selected image
//   0x02 GET_IMAGES            -> that image; it leaves the store once written completely
//   0x03 LEND_IMAGE            -> int32 image id, int32 size, uint32 CRC-32, then the image; the
//                                 image stays stored (no selected image: 0, 0, 0 and nothing)
//   0x04 CONFIRM_IMAGE + int32 image id + uint32 CRC-32
//                              -> int32 1: the image has left the store now; 0: no such image
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qor::pipe {

inline constexpr char16_t kPipeName[] = u"\\\\.\\PIPE\\QOR COMM";

// Server-end parameters: small buffers, 1 s default time-out.
inline constexpr uint32_t kBufferBytes = 1000;
inline constexpr uint32_t kDefaultTimeoutMs = 1000;

enum PipeCommand : uint8_t {
    CHECK_PENDING_IMAGES = 0x01,
    GET_IMAGES = 0x02,
    LEND_IMAGE = 0x03,
    CONFIRM_IMAGE = 0x04,
};

enum class Request { CheckPendingImages, GetImages, LendImage, ConfirmImage, Ignored };
Request ClassifyRequest(uint8_t byte);

// The 8-byte reply of CHECK_PENDING_IMAGES: two little-endian int32.
inline constexpr size_t kPendingReplyBytes = 8;
struct PendingImages {
    int32_t nPendingCount = 0;
    int32_t nImageSize = 0;  // size of the oldest selected image, 0 when none is selected
};
std::array<uint8_t, kPendingReplyBytes> EncodePendingImages(const PendingImages& reply);

// A client allocates the announced size, so a reply is judged before it is believed.
inline constexpr int32_t kBitmapHeaderBytes = 1078;       // file and info header, grey palette
inline constexpr int32_t kMaxImageBytes = 64 * 1024 * 1024; // far above any sensor's bitmap
enum class ReplyCheck {
    Ok,          // images wait; nImageSize is worth allocating
    NoImages,    // count 0: the exchange ends here
    Short,       // not exactly 8 bytes
    BadCount,    // negative count
    BadSize,     // count above 0 but a size no bitmap can have
};
ReplyCheck DecodePendingImages(const uint8_t* bytes, size_t count, PendingImages* out);

// The image reply: exactly the announced size, a bitmap file image whose header states that size.
enum class ImageCheck { Ok, Short, NotBitmap, SizeMismatch, CrcMismatch };
ImageCheck CheckImageReply(const uint8_t* bytes, size_t count, int32_t announcedSize);

// LEND_IMAGE's reply header. The image id is the number that names the image's file (hour x
// 10,000,000 + minute x 100,000 + second x 1,000 + milliseconds), the CRC-32 is zlib's over all
// image bytes.
inline constexpr size_t kLendHeaderBytes = 12;
struct LentImage {
    int32_t nImageId = 0;
    int32_t nImageSize = 0;  // 0 when no image is selected; then id and CRC are 0 too
    uint32_t nCrc32 = 0;
};
std::array<uint8_t, kLendHeaderBytes> EncodeLendHeader(const LentImage& header);
// The largest image id: 23:59:59.999.
inline constexpr int32_t kMaxImageId = 235959999;
enum class LendCheck {
    Ok,       // an image of nImageSize bytes follows
    NoImage,  // id, size and CRC all 0: nothing follows
    Short,    // not exactly 12 bytes
    BadId,    // not a time of day
    BadSize,  // a size no bitmap can have, or a size 0 with a non-zero id or CRC
};
LendCheck DecodeLendHeader(const uint8_t* bytes, size_t count, LentImage* out);
// The lent image: exactly the announced size, a bitmap file image stating that size, and the
// announced CRC-32. A client discards any other reply (nothing was removed).
ImageCheck CheckLentImage(const uint8_t* bytes, size_t count, const LentImage& header);

// CONFIRM_IMAGE: the command byte, then 8 bytes of payload; the reply is 4 bytes.
inline constexpr size_t kConfirmPayloadBytes = 8;
inline constexpr size_t kConfirmRequestBytes = 1 + kConfirmPayloadBytes;
inline constexpr size_t kConfirmReplyBytes = 4;
struct ImageConfirmation {
    int32_t nImageId = 0;
    uint32_t nCrc32 = 0;
};
std::array<uint8_t, kConfirmRequestBytes> EncodeConfirmRequest(const ImageConfirmation& confirmation);
ImageConfirmation DecodeConfirmPayload(const uint8_t (&payload)[kConfirmPayloadBytes]);
std::array<uint8_t, kConfirmReplyBytes> EncodeConfirmReply(bool removed);
enum class ConfirmCheck {
    Removed,     // 1: the image has left the store now
    NotInStore,  // 0: already confirmed, or deleted by the user
    Short,       // not exactly 4 bytes
    BadValue,    // neither 0 nor 1
};
ConfirmCheck DecodeConfirmReply(const uint8_t* bytes, size_t count);

// The server's view of the request stream: bytes go in as they arrive, whole requests come out.
// A CONFIRM_IMAGE whose payload has not all arrived waits for the rest (the server gives it a
// time limit and then calls Abandon); unknown bytes come out as Request::Ignored, one each.
class RequestReader {
public:
    struct Parsed {
        Request request = Request::Ignored;
        uint8_t byte = 0;                   // the command byte as received
        ImageConfirmation confirmation;     // CONFIRM_IMAGE only
    };

    void Feed(const uint8_t* bytes, size_t count);
    // The next whole request; false when none is complete yet.
    bool Next(Parsed& out);
    // Bytes still missing of a request begun (a CONFIRM_IMAGE payload), 0 when none.
    size_t Missing() const;
    // Drops a request whose payload did not arrive in time, and everything after it.
    void Abandon();
    size_t Buffered() const { return m_nCount - m_nStart; }
    // How many bytes Feed takes now; more are dropped, so the server reads at most this many.
    size_t Room() const { return kCapacity - Buffered(); }

private:
    static constexpr size_t kCapacity = 64;

    uint8_t m_Bytes[kCapacity] = {};
    size_t m_nStart = 0;
    size_t m_nCount = 0;
};

const char* Describe(LendCheck check);
const char* Describe(ConfirmCheck check);

// True for the Windows error codes that mean the other end has gone: ERROR_BROKEN_PIPE (109,
// what Wine reports), ERROR_NO_DATA (232, what Windows reports to a writer) and
// ERROR_PIPE_NOT_CONNECTED (233, an end that was disconnected meanwhile).
bool PeerHasGone(uint32_t windowsError);

const char* Describe(ReplyCheck check);
const char* Describe(ImageCheck check);

}  // namespace qor::pipe
