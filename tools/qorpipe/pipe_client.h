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
    // GET_IMAGES and the `size` announced bytes. The reply normally comes in one read; further
    // reads collect the rest should it come in parts (`reads` counts them). A test aid:
    // `abortAfter` >= 0 ends the process abruptly once that many bytes have arrived, like a
    // client killed in the middle of an image.
    bool GetImage(int32_t size, std::vector<uint8_t>& image, int& reads, std::string& problem,
                  int64_t abortAfter = -1);

    // Raw bytes out, up to `expect` bytes back (fewer when the time limit passes first).
    bool Send(const std::vector<uint8_t>& bytes, std::string& problem);
    std::vector<uint8_t> Receive(size_t expect);
    // Bytes waiting to be read now.
    DWORD Waiting();

private:
    CNamedPipe m_Pipe;
    DWORD m_nTimeLimitMs;
};

// "error N (text)" for a Windows error code.
std::string DescribeError(DWORD error);

}  // namespace qorpipe
