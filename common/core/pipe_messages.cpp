// Byte format of the image pipe: little-endian regardless of the host.
#include "common/core/pipe_messages.h"

#include <cstring>

#include "common/core/crc32.h"

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
    case LEND_IMAGE:
        return Request::LendImage;
    case CONFIRM_IMAGE:
        return Request::ConfirmImage;
    case HELLO:
        return Request::Hello;
    case CHECK_PENDING_EXCEPT:
        return Request::CheckPendingExcept;
    case LEND_IMAGE_EXCEPT:
        return Request::LendImageExcept;
    default:
        return Request::Ignored;
    }
}

const char* Describe(Request request) {
    switch (request) {
    case Request::CheckPendingImages:
        return "CHECK_PENDING_IMAGES";
    case Request::GetImages:
        return "GET_IMAGES";
    case Request::LendImage:
        return "LEND_IMAGE";
    case Request::ConfirmImage:
        return "CONFIRM_IMAGE";
    case Request::Hello:
        return "HELLO";
    case Request::CheckPendingExcept:
        return "CHECK_PENDING_EXCEPT";
    case Request::LendImageExcept:
        return "LEND_IMAGE_EXCEPT";
    case Request::Malformed:
        return "a request with an impossible length";
    case Request::Ignored:
        break;
    }
    return "unknown";
}

bool IsImageId(int32_t id) {
    return id >= 0 && id <= kMaxImageId && id / 100000 % 100 < 60 && id / 1000 % 100 < 60;
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

std::array<uint8_t, kLendHeaderBytes> EncodeLendHeader(const LentImage& header) {
    std::array<uint8_t, kLendHeaderBytes> bytes{};
    PutInt32(bytes.data(), header.nImageId);
    PutInt32(bytes.data() + 4, header.nImageSize);
    PutInt32(bytes.data() + 8, static_cast<int32_t>(header.nCrc32));
    return bytes;
}

LendCheck DecodeLendHeader(const uint8_t* bytes, size_t count, LentImage* out) {
    if (bytes == nullptr || out == nullptr || count != kLendHeaderBytes) {
        return LendCheck::Short;
    }
    out->nImageId = GetInt32(bytes);
    out->nImageSize = GetInt32(bytes + 4);
    out->nCrc32 = static_cast<uint32_t>(GetInt32(bytes + 8));
    if (out->nImageSize == 0) {
        return out->nImageId == 0 && out->nCrc32 == 0 ? LendCheck::NoImage : LendCheck::BadSize;
    }
    if (!IsImageId(out->nImageId)) {
        return LendCheck::BadId;
    }
    if (out->nImageSize <= kBitmapHeaderBytes || out->nImageSize > kMaxImageBytes) {
        return LendCheck::BadSize;
    }
    return LendCheck::Ok;
}

ImageCheck CheckLentImage(const uint8_t* bytes, size_t count, const LentImage& header) {
    const ImageCheck check = CheckImageReply(bytes, count, header.nImageSize);
    if (check != ImageCheck::Ok) {
        return check;
    }
    return Crc32(bytes, count) == header.nCrc32 ? ImageCheck::Ok : ImageCheck::CrcMismatch;
}

std::array<uint8_t, kConfirmRequestBytes> EncodeConfirmRequest(const ImageConfirmation& confirmation) {
    std::array<uint8_t, kConfirmRequestBytes> bytes{};
    bytes[0] = CONFIRM_IMAGE;
    PutInt32(bytes.data() + 1, confirmation.nImageId);
    PutInt32(bytes.data() + 5, static_cast<int32_t>(confirmation.nCrc32));
    return bytes;
}

ImageConfirmation DecodeConfirmPayload(const uint8_t (&payload)[kConfirmPayloadBytes]) {
    return {GetInt32(payload), static_cast<uint32_t>(GetInt32(payload + 4))};
}

std::array<uint8_t, kConfirmReplyBytes> EncodeConfirmReply(bool removed) {
    std::array<uint8_t, kConfirmReplyBytes> bytes{};
    PutInt32(bytes.data(), removed ? 1 : 0);
    return bytes;
}

ConfirmCheck DecodeConfirmReply(const uint8_t* bytes, size_t count) {
    if (bytes == nullptr || count != kConfirmReplyBytes) {
        return ConfirmCheck::Short;
    }
    switch (GetInt32(bytes)) {
    case 1:
        return ConfirmCheck::Removed;
    case 0:
        return ConfirmCheck::NotInStore;
    default:
        return ConfirmCheck::BadValue;
    }
}

std::array<uint8_t, kHelloReplyBytes> EncodeHelloReply() {
    std::array<uint8_t, kHelloReplyBytes> bytes{};
    PutInt32(bytes.data(), static_cast<int32_t>(kHelloMagic));
    PutInt32(bytes.data() + 4, kProtocolVersion);
    return bytes;
}

bool IsHelloReply(const uint8_t* bytes, size_t count) {
    return bytes != nullptr && count == kHelloReplyBytes &&
           static_cast<uint32_t>(GetInt32(bytes)) == kHelloMagic &&
           GetInt32(bytes + 4) >= kProtocolVersion;
}

std::vector<uint8_t> EncodeExceptRequest(PipeCommand command, std::span<const int32_t> ids) {
    if ((command != CHECK_PENDING_EXCEPT && command != LEND_IMAGE_EXCEPT) ||
        ids.size() > static_cast<size_t>(kMaxExceptIds)) {
        return {};
    }
    std::vector<uint8_t> bytes(kExceptHeadBytes + 4 * ids.size());
    bytes[0] = command;
    PutInt32(bytes.data() + 1, static_cast<int32_t>(ids.size()));
    for (size_t i = 0; i < ids.size(); ++i) {
        PutInt32(bytes.data() + kExceptHeadBytes + 4 * i, ids[i]);
    }
    return bytes;
}

std::array<uint8_t, kPendingExceptReplyBytes> EncodePendingExcept(const PendingExcept& reply) {
    std::array<uint8_t, kPendingExceptReplyBytes> bytes{};
    PutInt32(bytes.data(), reply.nPendingCount);
    PutInt32(bytes.data() + 4, reply.nImageId);
    PutInt32(bytes.data() + 8, reply.nImageSize);
    return bytes;
}

PendingExceptCheck DecodePendingExcept(const uint8_t* bytes, size_t count, PendingExcept* out) {
    if (bytes == nullptr || out == nullptr || count != kPendingExceptReplyBytes) {
        return PendingExceptCheck::Short;
    }
    out->nPendingCount = GetInt32(bytes);
    out->nImageId = GetInt32(bytes + 4);
    out->nImageSize = GetInt32(bytes + 8);
    if (out->nPendingCount < 0) {
        return PendingExceptCheck::BadCount;
    }
    if (out->nPendingCount == 0) {
        // Nothing waits, so anything else in the reply means the stream is out of step.
        if (out->nImageId != 0) {
            return PendingExceptCheck::BadId;
        }
        return out->nImageSize == 0 ? PendingExceptCheck::NoImages : PendingExceptCheck::BadSize;
    }
    if (!IsImageId(out->nImageId)) {
        return PendingExceptCheck::BadId;
    }
    if (out->nImageSize <= kBitmapHeaderBytes || out->nImageSize > kMaxImageBytes) {
        return PendingExceptCheck::BadSize;
    }
    return PendingExceptCheck::Ok;
}

void RequestReader::Feed(const uint8_t* bytes, size_t count) {
    if (bytes == nullptr || count == 0) {
        return;
    }
    if (m_nStart > 0) {
        // Keep the unread bytes at the front so that the room is all at the end.
        std::memmove(m_Bytes, m_Bytes + m_nStart, m_nCount - m_nStart);
        m_nCount -= m_nStart;
        m_nStart = 0;
    }
    const size_t taken = count < kCapacity - m_nCount ? count : kCapacity - m_nCount;
    std::memcpy(m_Bytes + m_nCount, bytes, taken);
    m_nCount += taken;
}

size_t RequestReader::FrontLength() const {
    const uint8_t* front = m_Bytes + m_nStart;
    switch (ClassifyRequest(front[0])) {
    case Request::ConfirmImage:
        return kConfirmRequestBytes;
    case Request::CheckPendingExcept:
    case Request::LendImageExcept: {
        if (Buffered() < kExceptHeadBytes) {
            return kExceptHeadBytes;
        }
        const int32_t n = GetInt32(front + 1);
        return n < 0 || n > kMaxExceptIds ? kExceptHeadBytes
                                          : kExceptHeadBytes + 4 * static_cast<size_t>(n);
    }
    default:
        return 1;
    }
}

bool RequestReader::Next(Parsed& out) {
    if (Buffered() == 0) {
        return false;
    }
    const size_t length = FrontLength();
    if (Buffered() < length) {
        return false;
    }
    const uint8_t* front = m_Bytes + m_nStart;
    out.byte = front[0];
    out.request = ClassifyRequest(out.byte);
    out.confirmation = {};
    out.nExceptCount = 0;
    out.exceptIds.clear();
    if (out.request == Request::ConfirmImage) {
        uint8_t payload[kConfirmPayloadBytes];
        std::memcpy(payload, front + 1, kConfirmPayloadBytes);
        out.confirmation = DecodeConfirmPayload(payload);
    } else if (out.request == Request::CheckPendingExcept ||
               out.request == Request::LendImageExcept) {
        out.nExceptCount = GetInt32(front + 1);
        if (out.nExceptCount < 0 || out.nExceptCount > kMaxExceptIds) {
            // What follows cannot be told apart from commands: nothing after it is believed.
            out.request = Request::Malformed;
            Abandon();
            return true;
        }
        for (int32_t i = 0; i < out.nExceptCount; ++i) {
            out.exceptIds.push_back(GetInt32(front + kExceptHeadBytes + 4 * static_cast<size_t>(i)));
        }
    }
    m_nStart += length;
    if (m_nStart == m_nCount) {
        m_nStart = m_nCount = 0;
    }
    return true;
}

size_t RequestReader::Missing() const {
    if (Buffered() == 0) {
        return 0;
    }
    const size_t length = FrontLength();
    return length > Buffered() ? length - Buffered() : 0;
}

void RequestReader::Abandon() {
    m_nStart = m_nCount = 0;
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
    case ImageCheck::CrcMismatch:
        return "the lent image's CRC-32 differs from the announced one";
    }
    return "unknown image check";
}

const char* Describe(LendCheck check) {
    switch (check) {
    case LendCheck::Ok:
        return "an image is lent";
    case LendCheck::NoImage:
        return "no selected image to lend";
    case LendCheck::Short:
        return "the lend reply header was not 12 bytes long";
    case LendCheck::BadId:
        return "the lend reply gave an image id that is not a time of day";
    case LendCheck::BadSize:
        return "the lend reply announced an image size no bitmap can have";
    }
    return "unknown lend check";
}

const char* Describe(PendingExceptCheck check) {
    switch (check) {
    case PendingExceptCheck::Ok:
        return "images waiting";
    case PendingExceptCheck::NoImages:
        return "no images waiting but those passed over";
    case PendingExceptCheck::Short:
        return "the pending-images-except reply was not 12 bytes long";
    case PendingExceptCheck::BadCount:
        return "the pending-images-except reply gave a negative count";
    case PendingExceptCheck::BadId:
        return "the pending-images-except reply gave an image id that is not a time of day, or "
               "an id with no image waiting";
    case PendingExceptCheck::BadSize:
        return "the pending-images-except reply announced an image size no bitmap can have, or "
               "a size with no image waiting";
    }
    return "unknown pending-images-except check";
}

const char* Describe(ConfirmCheck check) {
    switch (check) {
    case ConfirmCheck::Removed:
        return "the image has left the store";
    case ConfirmCheck::NotInStore:
        return "no such image in the store (already confirmed or deleted)";
    case ConfirmCheck::Short:
        return "the confirm reply was not 4 bytes long";
    case ConfirmCheck::BadValue:
        return "the confirm reply was neither 0 nor 1";
    }
    return "unknown confirm check";
}

}  // namespace qor::pipe
