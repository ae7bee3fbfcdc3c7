// The image pipe between QOR APP (server) and its clients: one command byte per request (with a
// payload for CONFIRM_IMAGE and the two exception-list requests), replies whose length the client
// already knows. Every check a reader can make is here, shared by the server, the clients, the
// fuzz targets and the tests.
//
// Exchanges (all integers 32-bit little-endian):
//   0x01 CHECK_PENDING_IMAGES  -> int32 pending count, int32 size of the oldest selected image
//   0x02 GET_IMAGES            -> that image; it leaves the store once written completely
//   0x03 LEND_IMAGE            -> int32 image id, int32 size, uint32 CRC-32, then the image; the
//                                 image stays stored (no selected image: 0, 0, 0 and nothing)
//   0x04 CONFIRM_IMAGE + int32 image id + uint32 CRC-32
//                              -> int32 1: the image has left the store now; 0: no such image
//   0x05 HELLO                 -> 'Q','O','R','2', int32 protocol version (2)
//   0x06 CHECK_PENDING_EXCEPT + int32 n + n x int32 image id
//                              -> int32 count of the selected images not named, int32 id and
//                                 int32 size of the oldest of them (0 and 0 when none)
//   0x07 LEND_IMAGE_EXCEPT + int32 n + n x int32 image id
//                              -> as LEND_IMAGE, for the oldest selected image not named
// A server of the first protocol ignores unknown bytes but would take a payload's bytes as
// commands, so a client sends 0x04, 0x06 and 0x07 only to a server that answered HELLO.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qor::pipe {

inline constexpr char16_t kPipeName[] = u"\\\\.\\PIPE\\QOR COMM";
// A named auto-reset event beside the pipe: QOR APP sets it each time a new image is stored and
// counted by CHECK_PENDING_IMAGES, so that a waiting client asks at once instead of at its next
// poll. Either side creates it (CreateEventW(nullptr, FALSE, FALSE, name)); the pipe's bytes do
// not change, and a client keeps polling for a server without the event.
inline constexpr char16_t kNewImageEventName[] = u"QOR NEW IMAGE";

// Server-end parameters: small buffers, 1 s default time-out.
inline constexpr uint32_t kBufferBytes = 1000;
inline constexpr uint32_t kDefaultTimeoutMs = 1000;

enum PipeCommand : uint8_t {
    CHECK_PENDING_IMAGES = 0x01,
    GET_IMAGES = 0x02,
    LEND_IMAGE = 0x03,
    CONFIRM_IMAGE = 0x04,
    HELLO = 0x05,
    CHECK_PENDING_EXCEPT = 0x06,
    LEND_IMAGE_EXCEPT = 0x07,
};

enum class Request {
    CheckPendingImages,
    GetImages,
    LendImage,
    ConfirmImage,
    Hello,
    CheckPendingExcept,
    LendImageExcept,
    Malformed,  // an exception list whose n is outside 0..kMaxExceptIds (RequestReader only)
    Ignored,
};
Request ClassifyRequest(uint8_t byte);
// The command's name as the logs write it ("CHECK_PENDING_EXCEPT"), "unknown" for others.
const char* Describe(Request request);

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
// True when `id` is a time of day (0 to kMaxImageId, minutes and seconds below 60).
bool IsImageId(int32_t id);
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

// HELLO: the reply tells a client that the server speaks this protocol. A client probes at every
// pipe open with kHelloProbe in one write and reads 8 bytes: the HELLO reply, after which the
// CHECK_PENDING_IMAGES reply follows, or from a server of the first protocol the
// CHECK_PENDING_IMAGES reply itself (its count can never be kHelloMagic).
inline constexpr uint32_t kHelloMagic = 0x32524F51;  // the bytes 'Q','O','R','2'
inline constexpr int32_t kProtocolVersion = 2;
inline constexpr size_t kHelloReplyBytes = 8;
inline constexpr std::array<uint8_t, 2> kHelloProbe = {HELLO, CHECK_PENDING_IMAGES};
std::array<uint8_t, kHelloReplyBytes> EncodeHelloReply();
// True for exactly 8 bytes holding the magic and a protocol version of 2 or later.
bool IsHelloReply(const uint8_t* bytes, size_t count);

// CHECK_PENDING_EXCEPT and LEND_IMAGE_EXCEPT: the command byte, int32 n, n image ids. The ids
// are those the client passed over; ids that name no stored image simply match nothing.
inline constexpr int32_t kMaxExceptIds = 128;
inline constexpr size_t kExceptHeadBytes = 1 + 4;
inline constexpr size_t kMaxRequestBytes = kExceptHeadBytes + 4 * kMaxExceptIds;  // 517
// The request; empty for more than kMaxExceptIds ids or a command that takes no list, so that
// no request the server would refuse is ever made.
std::vector<uint8_t> EncodeExceptRequest(PipeCommand command, std::span<const int32_t> ids);

// CHECK_PENDING_EXCEPT's 12-byte reply.
inline constexpr size_t kPendingExceptReplyBytes = 12;
struct PendingExcept {
    int32_t nPendingCount = 0;  // selected images whose id is not named
    int32_t nImageId = 0;       // the oldest of them, 0 when none
    int32_t nImageSize = 0;     // its size, 0 when none
};
std::array<uint8_t, kPendingExceptReplyBytes> EncodePendingExcept(const PendingExcept& reply);
enum class PendingExceptCheck {
    Ok,        // images wait; the oldest one's id and size are believable
    NoImages,  // count, id and size all 0
    Short,     // not exactly 12 bytes
    BadCount,  // negative count
    BadId,     // not a time of day, or an id with a count of 0
    BadSize,   // a size no bitmap can have, or a size with a count of 0
};
PendingExceptCheck DecodePendingExcept(const uint8_t* bytes, size_t count, PendingExcept* out);

// The server's view of the request stream: bytes go in as they arrive, whole requests come out.
// A request whose payload has not all arrived waits for the rest (the server gives it a time
// limit and then calls Abandon); unknown bytes come out as Request::Ignored, one each. An
// exception list with a count outside 0..kMaxExceptIds comes out as Request::Malformed and
// everything buffered after it is dropped: the stream is out of step, the server lets the client
// go.
class RequestReader {
public:
    struct Parsed {
        Request request = Request::Ignored;
        uint8_t byte = 0;                   // the command byte as received
        ImageConfirmation confirmation;     // CONFIRM_IMAGE only
        int32_t nExceptCount = 0;           // the exception lists' n as received (also Malformed)
        std::vector<int32_t> exceptIds;     // CHECK_PENDING_EXCEPT and LEND_IMAGE_EXCEPT
    };

    void Feed(const uint8_t* bytes, size_t count);
    // The next whole request; false when none is complete yet.
    bool Next(Parsed& out);
    // Bytes still missing of a request begun (a payload, or the count of an exception list and
    // then its ids), 0 when none.
    size_t Missing() const;
    // The command byte of the request begun, for a log line about it; 0 when none.
    uint8_t FrontByte() const { return Buffered() > 0 ? m_Bytes[m_nStart] : 0; }
    // Drops a request whose payload did not arrive in time, and everything after it.
    void Abandon();
    size_t Buffered() const { return m_nCount - m_nStart; }
    // How many bytes Feed takes now; more are dropped, so the server reads at most this many.
    size_t Room() const { return kCapacity - Buffered(); }

private:
    static constexpr size_t kCapacity = kMaxRequestBytes;
    // The length of the request at the front as far as it is known yet (an exception list's head
    // until its count has come, then head and ids; the head alone for a count out of range).
    size_t FrontLength() const;

    uint8_t m_Bytes[kCapacity] = {};
    size_t m_nStart = 0;
    size_t m_nCount = 0;
};

const char* Describe(LendCheck check);
const char* Describe(ConfirmCheck check);
const char* Describe(PendingExceptCheck check);

// True for the Windows error codes that mean the other end has gone: ERROR_BROKEN_PIPE (109,
// what Wine reports), ERROR_NO_DATA (232, what Windows reports to a writer) and
// ERROR_PIPE_NOT_CONNECTED (233, an end that was disconnected meanwhile).
bool PeerHasGone(uint32_t windowsError);

const char* Describe(ReplyCheck check);
const char* Describe(ImageCheck check);

}  // namespace qor::pipe
