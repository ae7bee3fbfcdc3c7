// Whatever a server (or an impostor holding the pipe name) sends, a client's checks neither read
// out of bounds nor accept an allocation size outside the bitmap range or an id that is no time
// of day; the probe's 8 bytes count as a HELLO reply only with its magic and a version of 2 on.
#include "common/core/pipe_messages.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qor::pipe;
    PendingImages reply;
    const ReplyCheck check = DecodePendingImages(data, size < 8 ? size : 8, &reply);
    if (check == ReplyCheck::Ok &&
        (reply.nImageSize <= kBitmapHeaderBytes || reply.nImageSize > kMaxImageBytes ||
         reply.nPendingCount <= 0)) {
        std::abort();
    }
    if (size > 8) {
        const int32_t announced = check == ReplyCheck::Ok ? reply.nImageSize
                                                          : static_cast<int32_t>(size - 8);
        CheckImageReply(data + 8, size - 8, announced);
    }
    Describe(check);
    ClassifyRequest(size > 0 ? data[0] : 0);

    // HELLO is recognised only by its magic (a count no store can have: it holds 64 images) and a
    // version of 2 or later.
    const size_t head = size < 8 ? size : 8;
    if (IsHelloReply(data, head) &&
        (head != kHelloReplyBytes || reply.nPendingCount != static_cast<int32_t>(kHelloMagic) ||
         reply.nImageSize < kProtocolVersion)) {
        std::abort();
    }
    PendingExcept except;
    const PendingExceptCheck exceptCheck =
        DecodePendingExcept(data, size < 12 ? size : 12, &except);
    if (exceptCheck == PendingExceptCheck::Ok &&
        (except.nPendingCount <= 0 || !IsImageId(except.nImageId) ||
         except.nImageSize <= kBitmapHeaderBytes || except.nImageSize > kMaxImageBytes)) {
        std::abort();
    }
    if (exceptCheck == PendingExceptCheck::NoImages &&
        (except.nPendingCount != 0 || except.nImageId != 0 || except.nImageSize != 0)) {
        std::abort();
    }
    Describe(exceptCheck);
    return 0;
}
