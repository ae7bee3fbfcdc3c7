// Whatever a server (or an impostor holding the pipe name) sends, a client's checks neither read
// out of bounds nor accept an allocation size outside the bitmap range.
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
    return 0;
}
