// Byte format of the image pipe: little-endian regardless of the host.
#include "common/core/pipe_messages.h"

namespace qor::pipe {

namespace {

void PutInt32(uint8_t* out, int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(bits >> (8 * i));
    }
}

int32_t GetInt32(const uint8_t* in) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) {
        bits |= static_cast<uint32_t>(in[i]) << (8 * i);
    }
    return static_cast<int32_t>(bits);
}

}  // namespace

Request ClassifyRequest(uint8_t byte) {
    switch (byte) {
    case CHECK_PENDING_IMAGES:
        return Request::CheckPendingImages;
    case GET_IMAGES:
        return Request::GetImages;
    default:
        return Request::Ignored;
    }
}

std::array<uint8_t, kPendingReplyBytes> EncodePendingImages(const PendingImages& reply) {
    std::array<uint8_t, kPendingReplyBytes> bytes{};
    PutInt32(bytes.data(), reply.nPendingCount);
    PutInt32(bytes.data() + 4, reply.nImageSize);
    return bytes;
}

ReplyCheck DecodePendingImages(const uint8_t* bytes, size_t count, PendingImages* out) {
    if (bytes == nullptr || out == nullptr || count != kPendingReplyBytes) {
        return ReplyCheck::Short;
    }
    out->nPendingCount = GetInt32(bytes);
    out->nImageSize = GetInt32(bytes + 4);
    if (out->nPendingCount < 0) {
        return ReplyCheck::BadCount;
    }
    if (out->nPendingCount == 0) {
        return ReplyCheck::NoImages;
    }
    if (out->nImageSize <= kBitmapHeaderBytes || out->nImageSize > kMaxImageBytes) {
        return ReplyCheck::BadSize;
    }
    return ReplyCheck::Ok;
}

ImageCheck CheckImageReply(const uint8_t* bytes, size_t count, int32_t announcedSize) {
    if (bytes == nullptr || announcedSize <= 0 || count != static_cast<size_t>(announcedSize)) {
        return ImageCheck::Short;
    }
    if (count < static_cast<size_t>(kBitmapHeaderBytes) || bytes[0] != 'B' || bytes[1] != 'M') {
        return ImageCheck::NotBitmap;
    }
    return GetInt32(bytes + 2) == announcedSize ? ImageCheck::Ok : ImageCheck::SizeMismatch;
}

bool PeerHasGone(uint32_t windowsError) {
    return windowsError == 109 || windowsError == 232 || windowsError == 233;
}

const char* Describe(ReplyCheck check) {
    switch (check) {
    case ReplyCheck::Ok:
        return "images waiting";
    case ReplyCheck::NoImages:
        return "no images waiting";
    case ReplyCheck::Short:
        return "the pending-images reply was not 8 bytes long";
    case ReplyCheck::BadCount:
        return "the pending-images reply gave a negative count";
    case ReplyCheck::BadSize:
        return "the pending-images reply announced an image size no bitmap can have";
    }
    return "unknown reply check";
}

const char* Describe(ImageCheck check) {
    switch (check) {
    case ImageCheck::Ok:
        return "image received";
    case ImageCheck::Short:
        return "the image reply was shorter or longer than announced";
    case ImageCheck::NotBitmap:
        return "the image reply is not a bitmap file image";
    case ImageCheck::SizeMismatch:
        return "the image's bitmap header states another size than announced";
    }
    return "unknown image check";
}

}  // namespace qor::pipe
