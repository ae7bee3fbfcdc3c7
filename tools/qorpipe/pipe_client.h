// The client side of the image pipe, as an integrator's tool uses it: every reply is checked
// before it is believed, and every wait has a time limit.
#pragma once

#include "common/core/pipe_messages.h"
#include "common/named_pipe.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qorpipe {

class PipeClient {
public:
    explicit PipeClient(DWORD timeLimitMs) : m_nTimeLimitMs(timeLimitMs) {}

    // Opens the client end, waiting up to the time limit while another client is served.
    bool Connect(std::string& problem);
    void Disconnect() { m_Pipe.Close(); }

    // CHECK_PENDING_IMAGES. False for a failed exchange or a reply that fails its checks.
    bool CheckPendingImages(qor::pipe::PendingImages& reply, std::string& problem);
    // The probe a client makes at every pipe open: HELLO and CHECK_PENDING_IMAGES in one write.
    // `protocol` is 2 when the server answered HELLO, 1 for a server of the first protocol
    // (which ignores HELLO); `pending` is the CHECK_PENDING_IMAGES reply either way.
    bool Hello(int& protocol, qor::pipe::PendingImages& pending, std::string& problem);
    // CHECK_PENDING_EXCEPT (only to a server that answered HELLO).
    bool CheckPendingExcept(const std::vector<int32_t>& exceptIds, qor::pipe::PendingExcept& reply,
                            std::string& problem);
    // GET_IMAGES and the `size` announced bytes. The reply normally comes in one read; further
    // reads collect the rest should it come in parts (`reads` counts them). A test aid:
    // `abortAfter` >= 0 ends the process abruptly once that many bytes have arrived, like a
    // client killed in the middle of an image.
    bool GetImage(int32_t size, std::vector<uint8_t>& image, int& reads, std::string& problem,
                  int64_t abortAfter = -1);

    // LEND_IMAGE: the header and, when an image is lent, its bytes, checked against the
    // announced size and CRC-32 (a reply that fails is discarded: nothing left QOR APP). The
    // header's size is 0 when no image is selected. `abortAfter` as for GetImage, counting the
    // image bytes. With `exceptIds` LEND_IMAGE_EXCEPT (only to a server that answered HELLO):
    // the oldest selected image whose id is not among them.
    bool LendImage(qor::pipe::LentImage& header, std::vector<uint8_t>& image, std::string& problem,
                   int64_t abortAfter = -1, const std::vector<int32_t>* exceptIds = nullptr);
    // CONFIRM_IMAGE: `removed` is true when the image left the store now, false when the store
    // holds no such image (already confirmed or deleted).
    bool ConfirmImage(const qor::pipe::ImageConfirmation& confirmation, bool& removed,
                      std::string& problem);

    // Raw bytes out, up to `expect` bytes back (fewer when the time limit passes first).
    bool Send(const std::vector<uint8_t>& bytes, std::string& problem);
    std::vector<uint8_t> Receive(size_t expect);
    // Bytes waiting to be read now.
    DWORD Waiting();

private:
    // Reads exactly `count` bytes (several reads when they come in parts); false when the pipe
    // fails or the time limit passes first. `have` tells how many came.
    bool ReadExactly(uint8_t* buffer, size_t count, size_t& have, int64_t abortAfter = -1);

    CNamedPipe m_Pipe;
    DWORD m_nTimeLimitMs;
};

// "error N (text)" for a Windows error code.
std::string DescribeError(DWORD error);

}  // namespace qorpipe
