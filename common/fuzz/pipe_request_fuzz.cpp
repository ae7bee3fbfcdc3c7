// The two ends of the lending exchanges under arbitrary bytes: the server's request reader, fed
// in pieces of any size, never reads outside its buffer, never loses count of what it was given,
// never makes up a request and never hands out an exception list longer than 128 ids; an
// exception list a client encodes comes out of the reader as it went in; a client's checks of a
// LEND_IMAGE reply never accept a size outside the bitmap range or an image whose bytes do not
// match the announced CRC-32.
#include "common/core/crc32.h"
#include "common/core/pipe_messages.h"

#include <cstdlib>
#include <vector>

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
        size_t before = reader.Buffered();
        while (reader.Next(request)) {
            const Request classified = ClassifyRequest(request.byte);
            size_t length = 1;
            if (request.request == Request::Malformed) {
                // Only an exception list with an impossible count, and nothing after it is kept.
                if ((classified != Request::CheckPendingExcept &&
                     classified != Request::LendImageExcept) ||
                    (request.nExceptCount >= 0 && request.nExceptCount <= kMaxExceptIds) ||
                    reader.Buffered() != 0) {
                    std::abort();
                }
                length = before;
            } else if (request.request != classified) {
                std::abort();
            } else if (request.request == Request::ConfirmImage) {
                length = kConfirmRequestBytes;
            } else if (request.request == Request::CheckPendingExcept ||
                       request.request == Request::LendImageExcept) {
                if (request.nExceptCount < 0 || request.nExceptCount > kMaxExceptIds ||
                    request.exceptIds.size() != static_cast<size_t>(request.nExceptCount)) {
                    std::abort();
                }
                length = kExceptHeadBytes + 4 * request.exceptIds.size();
            }
            if (before - reader.Buffered() != length) {
                std::abort();
            }
            consumed += length;
            before = reader.Buffered();
        }
        if (consumed + reader.Buffered() != fedTotal || reader.Missing() >= kMaxRequestBytes) {
            std::abort();
        }
        if (reader.Missing() > 0 && (data[at - 1] & 0x80) != 0) {
            // The payload's time limit ran out.
            fedTotal -= reader.Buffered();
            reader.Abandon();
        }
    }
}

// An exception list made from the input goes through the reader unchanged, in pieces.
void FuzzExceptRoundTrip(const uint8_t* data, size_t size) {
    std::vector<int32_t> ids(size / 4);
    for (size_t i = 0; i < ids.size(); ++i) {
        ids[i] = static_cast<int32_t>(static_cast<uint32_t>(data[4 * i]) |
                                      static_cast<uint32_t>(data[4 * i + 1]) << 8 |
                                      static_cast<uint32_t>(data[4 * i + 2]) << 16 |
                                      static_cast<uint32_t>(data[4 * i + 3]) << 24);
    }
    const PipeCommand command = size % 2 == 0 ? CHECK_PENDING_EXCEPT : LEND_IMAGE_EXCEPT;
    const std::vector<uint8_t> request = EncodeExceptRequest(command, ids);
    if (ids.size() > static_cast<size_t>(kMaxExceptIds)) {
        if (!request.empty()) {
            std::abort();
        }
        return;
    }
    RequestReader reader;
    RequestReader::Parsed parsed;
    const size_t piece = 1 + size % 7;
    bool got = false;
    for (size_t at = 0; at < request.size(); at += piece) {
        const size_t count = piece < request.size() - at ? piece : request.size() - at;
        reader.Feed(request.data() + at, count);
        if (reader.Next(parsed)) {
            if (got || at + count != request.size()) {
                std::abort();
            }
            got = true;
        }
    }
    if (!got || parsed.byte != command || parsed.exceptIds != ids || reader.Buffered() != 0) {
        std::abort();
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
    // The first byte chooses the side, so one corpus grows all of them.
    switch (data[0] % 3) {
    case 0:
        FuzzRequests(data + 1, size - 1);
        break;
    case 1:
        FuzzLendReply(data + 1, size - 1);
        break;
    default:
        FuzzExceptRoundTrip(data + 1, size - 1);
        break;
    }
    return 0;
}
