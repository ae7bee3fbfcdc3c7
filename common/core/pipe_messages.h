// The image pipe between QOR APP (server) and its clients: one command byte per request, replies
// whose length the client already knows. No framing, no checksum: every check a reader can make
// is here, shared by the server, the clients and the tests.
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
};

enum class Request { CheckPendingImages, GetImages, Ignored };
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
enum class ImageCheck { Ok, Short, NotBitmap, SizeMismatch };
ImageCheck CheckImageReply(const uint8_t* bytes, size_t count, int32_t announcedSize);

// True for the Windows error codes that mean the other end has gone: ERROR_BROKEN_PIPE (109,
// what Wine reports), ERROR_NO_DATA (232, what Windows reports to a writer) and
// ERROR_PIPE_NOT_CONNECTED (233, an end that was disconnected meanwhile).
bool PeerHasGone(uint32_t windowsError);

const char* Describe(ReplyCheck check);
const char* Describe(ImageCheck check);

}  // namespace qor::pipe
