// The two ends of the lending exchanges under arbitrary bytes: the server's request reader, fed
// in pieces of any size, never reads outside its buffer, never loses count of what it was given
// and never makes up a request; a client's checks of a LEND_IMAGE reply never accept a size
// outside the bitmap range or an image whose bytes do not match the announced CRC-32.
#include "common/core/crc32.h"
#include "common/core/pipe_messages.h"

#include <cstdlib>

namespace {

using namespace qor::pipe;

void FuzzRequests(const uint8_t* data, size_t size) {
    RequestReader reader;
    size_t at = 0;
    size_t fedTotal = 0;
    size_t consumed = 0;
    while (at < size) {
        // The first byte of each piece says how many of the following bytes arrive together.
        const size_t piece = 1 + data[at] % 16;
        ++at;
        const size_t count = piece < size - at ? piece : size - at;
        const size_t room = reader.Room();
        const size_t fed = count < room ? count : room;
        reader.Feed(data + at, fed);
        fedTotal += fed;
        at += count;
        RequestReader::Parsed request;
        while (reader.Next(request)) {
            if (request.request != ClassifyRequest(request.byte)) {
                std::abort();
            }
            consumed += request.request == Request::ConfirmImage ? kConfirmRequestBytes : 1;
        }
        if (consumed + reader.Buffered() != fedTotal || reader.Missing() >= kConfirmRequestBytes) {
            std::abort();
        }
        if (reader.Missing() > 0 && (data[at - 1] & 0x80) != 0) {
            // The payload's time limit ran out.
            fedTotal -= reader.Buffered();
            reader.Abandon();
        }
    }
}

void FuzzLendReply(const uint8_t* data, size_t size) {
    LentImage header;
    const LendCheck check = DecodeLendHeader(data, size < kLendHeaderBytes ? size : kLendHeaderBytes,
                                             &header);
    if (check == LendCheck::Ok &&
        (header.nImageSize <= kBitmapHeaderBytes || header.nImageSize > kMaxImageBytes ||
         header.nImageId < 0 || header.nImageId > kMaxImageId)) {
        std::abort();
    }
    if (size > kLendHeaderBytes) {
        const uint8_t* image = data + kLendHeaderBytes;
        const size_t count = size - kLendHeaderBytes;
        if (check != LendCheck::Ok) {
            header.nImageSize = static_cast<int32_t>(count);
        }
        if (CheckLentImage(image, count, header) == ImageCheck::Ok &&
            (count != static_cast<size_t>(header.nImageSize) ||
             qor::Crc32(image, count) != header.nCrc32)) {
            std::abort();
        }
    }
    Describe(check);
    DecodeConfirmReply(data, size < kConfirmReplyBytes ? size : kConfirmReplyBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte chooses the side, so one corpus grows both.
    if ((data[0] & 1) == 0) {
        FuzzRequests(data + 1, size - 1);
    } else {
        FuzzLendReply(data + 1, size - 1);
    }
    return 0;
}
