// The source's end of the pipe to QOR APP: opened only to the genuine program, an owed
// confirmation sent first, and every exchange bounded by one deadline for its whole reply, so
// that a peer sending slowly cannot hold the imaging program's thread.
#include <cstdlib>
#include <cstring>

#include "common/core/log_file.h"
#include "common/core/pipe_messages.h"
#include "common/named_pipe.h"
#include "twain_source/win/qorsrc.h"

namespace {

constexpr ULONGLONG kReplyLimitMs = 5000;  // a whole reply, however it is cut into pieces

CNamedPipe g_pipe;
size_t g_nBufferCapacity = 0;

const wchar_t* PipeName() { return reinterpret_cast<const wchar_t*>(qor::pipe::kPipeName); }

class Deadline {
public:
    Deadline() : m_end(GetTickCount64() + kReplyLimitMs) {}
    // What is left of it for the next piece; 0 once it has passed.
    DWORD Left() const {
        const ULONGLONG now = GetTickCount64();
        return now >= m_end ? 0 : static_cast<DWORD>(m_end - now);
    }

private:
    ULONGLONG m_end;
};

bool Send(const void* bytes, DWORD count, const Deadline& deadline) {
    const DWORD left = deadline.Left();
    if (left == 0) return false;
    g_pipe.SetTimeLimit(left);
    DWORD written = 0;
    return g_pipe.Write(bytes, count, &written) && written == count;
}

// Reads exactly `count` bytes before the deadline, or as many as came.
size_t Receive(uint8_t* into, size_t count, const Deadline& deadline) {
    size_t have = 0;
    while (have < count) {
        const DWORD left = deadline.Left();
        if (left == 0) break;
        g_pipe.SetTimeLimit(left);
        DWORD read = 0;
        if (!g_pipe.Read(into + have, static_cast<DWORD>(count - have), &read) || read == 0) break;
        have += read;
    }
    return have;
}

bool GrowBuffer(size_t size) {
    if (g_pbyImgData != nullptr && size <= g_nBufferCapacity) return true;
    void* grown = std::realloc(g_pbyImgData, size);
    if (grown == nullptr) {
        FreeImageBuffer();
        return false;
    }
    g_pbyImgData = static_cast<uint8_t*>(grown);
    g_nBufferCapacity = size;
    return true;
}

// The owed confirmation, before anything else is asked: the image must not be offered again.
bool SendOwedConfirmation() {
    const auto owed = g_delivery.Owed();
    if (!owed) return true;
    const Deadline deadline;
    const auto request = qor::pipe::EncodeConfirmRequest({owed->nImageId, owed->nCrc32});
    uint8_t reply[qor::pipe::kConfirmReplyBytes] = {};
    if (!Send(request.data(), static_cast<DWORD>(request.size()), deadline) ||
        Receive(reply, sizeof reply, deadline) != sizeof reply) {
        TheLogFile().WriteFormat(LOG_WARN, "ConfirmImage: image %d could not be confirmed to QOR APP; the confirmation "
                                           "is sent again when the pipe opens next.\n",
                                 static_cast<int>(owed->nImageId));
        return false;
    }
    const qor::pipe::ConfirmCheck check = qor::pipe::DecodeConfirmReply(reply, sizeof reply);
    if (check == qor::pipe::ConfirmCheck::Short || check == qor::pipe::ConfirmCheck::BadValue) {
        TheLogFile().WriteFormat(LOG_WARN, "ConfirmImage: %s; the confirmation is sent again when the pipe opens next.\n",
                                 qor::pipe::Describe(check));
        return false;
    }
    // NotInStore: confirmed before (a reply lost on the way) or deleted by the user; either way done.
    TheLogFile().WriteFormat(LOG_INFO, "ConfirmImage: image %d %s.\n", static_cast<int>(owed->nImageId),
                             check == qor::pipe::ConfirmCheck::Removed ? "has left QOR APP's store"
                                                                       : "was no longer in QOR APP's store");
    g_delivery.ConfirmationSent();
    return true;
}

}  // namespace

ChannelResult OpenAppChannel() {
    if (g_pipe.IsOpen()) return ChannelResult::Open;
    if (!g_pipe.Create(PipeName(), 1, L"")) return ChannelResult::Missing;
    if (!ServedByQorApp(g_pipe.Handle())) {
        g_pipe.Close();
        return ChannelResult::Impostor;
    }
    if (!SendOwedConfirmation()) {
        g_pipe.Close();
        return ChannelResult::Broken;
    }
    return ChannelResult::Open;
}

void CloseAppChannel() {
    if (g_pipe.IsOpen()) g_pipe.Close();
}

bool AppChannelOpen() { return g_pipe.IsOpen(); }

void FreeImageBuffer() {
    std::free(g_pbyImgData);
    g_pbyImgData = nullptr;
    g_nBufferCapacity = 0;
    g_nAllocatedBufSize = 0;
}

int CheckPendingImages() {
    if (OpenAppChannel() != ChannelResult::Open) return 0;
    const Deadline deadline;
    const uint8_t command = qor::pipe::CHECK_PENDING_IMAGES;
    if (!Send(&command, 1, deadline)) {
        TheLogFile().Write(LOG_WARN, "CheckPendingImages: CNamedPipe::Write() Failed!\n");
        CloseAppChannel();
        return 0;
    }
    uint8_t reply[qor::pipe::kPendingReplyBytes] = {};
    const size_t have = Receive(reply, sizeof reply, deadline);
    qor::pipe::PendingImages pending;
    switch (qor::pipe::DecodePendingImages(reply, have, &pending)) {
        case qor::pipe::ReplyCheck::Ok:
            g_nNextImageSize = pending.nImageSize;
            TheLogFile().WriteFormat(LOG_INFO, "CheckPendingImages: Pending Images = %d.\n",
                                     static_cast<int>(pending.nPendingCount));
            return pending.nPendingCount;
        case qor::pipe::ReplyCheck::NoImages: g_nNextImageSize = 0; return 0;
        case qor::pipe::ReplyCheck::Short:
            TheLogFile().Write(LOG_WARN, "CheckPendingImages: CNamedPipe::Read() Failed!\n");
            CloseAppChannel();
            return 0;
        default:
            g_nNextImageSize = 0;
            TheLogFile().WriteFormat(LOG_WARN, "CheckPendingImages: Pending Images = %d Image Size = %d!\n",
                                     static_cast<int>(pending.nPendingCount), static_cast<int>(pending.nImageSize));
            ReportBadReply();
            return 0;
    }
}

int LendImage() {
    g_nAllocatedBufSize = 0;  // nothing valid until a whole image is in
    if (OpenAppChannel() != ChannelResult::Open) return 0;
    const Deadline deadline;
    const uint8_t command = qor::pipe::LEND_IMAGE;
    if (!Send(&command, 1, deadline)) {
        TheLogFile().Write(LOG_WARN, "LendImage: CNamedPipe::Write() Failed!\n");
        CloseAppChannel();
        return 0;
    }
    uint8_t head[qor::pipe::kLendHeaderBytes] = {};
    qor::pipe::LentImage header;
    const qor::pipe::LendCheck headCheck =
        qor::pipe::DecodeLendHeader(head, Receive(head, sizeof head, deadline), &header);
    if (headCheck == qor::pipe::LendCheck::NoImage) return 0;
    if (headCheck != qor::pipe::LendCheck::Ok) {
        TheLogFile().WriteFormat(LOG_WARN, "LendImage: %s; the image stays in QOR APP.\n", qor::pipe::Describe(headCheck));
        CloseAppChannel();  // the stream is out of step
        return 0;
    }
    if (!GrowBuffer(static_cast<size_t>(header.nImageSize))) {
        TheLogFile().Write(LOG_FATAL, "LendImage: realloc() failed! Close other programs and try again.\n");
        CloseAppChannel();
        return 0;
    }
    const size_t have = Receive(g_pbyImgData, static_cast<size_t>(header.nImageSize), deadline);
    TheLogFile().WriteFormat(LOG_INFO, "LendImage: image %d, %d of %d bytes.\n", static_cast<int>(header.nImageId),
                             static_cast<int>(have), static_cast<int>(header.nImageSize));
    const qor::pipe::ImageCheck check = qor::pipe::CheckLentImage(g_pbyImgData, have, header);
    if (check != qor::pipe::ImageCheck::Ok) {
        TheLogFile().WriteFormat(LOG_WARN, "LendImage: %s; the image stays in QOR APP.\n", qor::pipe::Describe(check));
        CloseAppChannel();
        return 0;
    }
    g_nAllocatedBufSize = header.nImageSize;
    g_delivery.Lent(qor::twain::LentImageKey{header.nImageId, header.nCrc32});
    return 1;
}

void SendConfirmation() {
    if (!g_delivery.Owed()) return;
    if (OpenAppChannel() == ChannelResult::Open && !SendOwedConfirmation()) CloseAppChannel();
}
