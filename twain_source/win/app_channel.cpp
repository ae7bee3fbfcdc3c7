// The source's end of the pipe to QOR APP: opened only to the genuine program, its protocol
// learned at every opening, an owed confirmation sent first, and every exchange bounded by one
// deadline for its whole reply, so that a peer sending slowly cannot hold the imaging program's
// thread. A QOR APP of the earlier protocol gets only the two exchanges it knows: a request with a
// payload could read to it as commands (a 0x02 among the bytes would take an image).
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/core/log_file.h"
#include "common/core/pipe_messages.h"
#include "common/named_pipe.h"
#include "twain_source/win/app_channel.h"
#include "twain_source/win/app_start.h"
#include "twain_source/win/safekeeping.h"
#include "twain_source/win/source_reports.h"

namespace {

constexpr ULONGLONG kReplyLimitMs = 5000;  // a whole reply, however it is cut into pieces
constexpr DWORD kBusyWaitMs = 1000;         // asked by the program (not by the state-5 wait)

CNamedPipe g_pipe;
size_t g_nBufferCapacity = 0;
// The protocol of the QOR APP at the other end of the open pipe.
AppProtocol g_protocol = AppProtocol::Lending;

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
    if (g_session.imageData != nullptr && size <= g_nBufferCapacity) return true;
    void* grown = std::realloc(g_session.imageData, size);
    if (grown == nullptr) {
        FreeImageBuffer();
        return false;
    }
    g_session.imageData = static_cast<uint8_t*>(grown);
    g_nBufferCapacity = size;
    return true;
}

// HELLO followed by CHECK_PENDING_IMAGES in one write: QOR APP answers HELLO and then the count;
// an earlier QOR APP ignores HELLO, and its count is the first reply (a count no store can hold
// tells the two apart). Either way the stream is in step afterwards.
bool LearnProtocol() {
    const Deadline deadline;
    const auto& probe = qor::pipe::kHelloProbe;
    uint8_t reply[qor::pipe::kHelloReplyBytes] = {};
    if (!Send(probe.data(), static_cast<DWORD>(probe.size()), deadline) || Receive(reply, sizeof reply, deadline) != sizeof reply) {
        TheLogFile().Write(LOG_WARN, "OpenAppChannel: QOR APP did not answer on its pipe; it is asked again shortly.\n");
        return false;
    }
    if (!qor::pipe::IsHelloReply(reply, sizeof reply)) {
        g_protocol = AppProtocol::Taking;
        TheLogFile().Write(LOG_WARN, "OpenAppChannel: QOR APP speaks the earlier protocol: each image leaves its store when "
                                     "it is fetched and is kept in the Images folder until the imaging program has it. "
                                     "Restart QOR APP (\"Exit QOR\") to finish its update.\n");
        return true;
    }
    g_protocol = AppProtocol::Lending;
    uint8_t count[qor::pipe::kPendingReplyBytes] = {};
    return Receive(count, sizeof count, deadline) == sizeof count;
}

// The owed confirmation, before anything else is asked: the image must not be offered again.
bool SendOwedConfirmation() {
    const auto owed = g_session.delivery.Owed();
    if (!owed) return true;
    if (g_protocol == AppProtocol::Taking) {
        // That QOR APP cannot be told; its image comes back once more (a duplicate, never a loss).
        TheLogFile().WriteFormat(LOG_WARN, "ConfirmImage: image %d cannot be confirmed to a QOR APP of the earlier "
                                           "protocol; it may be offered once more.\n",
                                 static_cast<int>(owed->nImageId));
        g_session.delivery.ConfirmationSent();
        return true;
    }
    const ConfirmResult result = ConfirmImage(*owed);
    if (result == ConfirmResult::Unreachable) return false;
    g_session.delivery.ConfirmationSent();
    return true;
}

void ReadFailed(const char* context) {
    TheLogFile().WriteFormat(LOG_WARN, "%s: CNamedPipe::Read() Failed!\n", context);
    CloseAppChannel();
    ReportPipeFailure();
}

void WriteFailed(const char* context) {
    TheLogFile().WriteFormat(LOG_WARN, "%s: CNamedPipe::Write() Failed!\n", context);
    CloseAppChannel();
    ReportPipeFailure();
}

// The request of CHECK_PENDING_EXCEPT or LEND_IMAGE_EXCEPT naming the session's passed-over images.
std::vector<uint8_t> ExceptRequest(qor::pipe::PipeCommand command) {
    return qor::pipe::EncodeExceptRequest(command, g_session.delivery.PassedOver());
}

// Receives a whole image of `size` bytes into the buffer; false (logged) when it did not come.
bool ReceiveImage(const char* context, int32_t size, const Deadline& deadline, size_t* have) {
    if (!GrowBuffer(static_cast<size_t>(size))) {
        TheLogFile().WriteFormat(LOG_FATAL, "%s: realloc() failed! Close other programs and try again.\n", context);
        CloseAppChannel();
        return false;
    }
    *have = Receive(g_session.imageData, static_cast<size_t>(size), deadline);
    return true;
}

// An earlier QOR APP cannot lend: the oldest selected image is fetched as it always was (it
// leaves that store when sent) and kept in the Images folder until the program has it.
int TakeImage() {
    const Deadline deadline;
    const uint8_t ask = qor::pipe::CHECK_PENDING_IMAGES;
    if (!Send(&ask, 1, deadline)) return WriteFailed("GetImage"), 0;
    uint8_t reply[qor::pipe::kPendingReplyBytes] = {};
    qor::pipe::PendingImages pending;
    const qor::pipe::ReplyCheck replyCheck =
        qor::pipe::DecodePendingImages(reply, Receive(reply, sizeof reply, deadline), &pending);
    if (replyCheck == qor::pipe::ReplyCheck::NoImages) return 0;
    if (replyCheck == qor::pipe::ReplyCheck::Short) return ReadFailed("GetImage"), 0;
    if (replyCheck != qor::pipe::ReplyCheck::Ok) {
        TheLogFile().WriteFormat(LOG_WARN, "GetImage: %s; nothing is fetched.\n", qor::pipe::Describe(replyCheck));
        CloseAppChannel();
        ReportBadReply();
        return 0;
    }
    TheLogFile().Write(LOG_INFO, "GetImage: ReadImageThreadFunc Before GET_IMAGES command\n");
    const uint8_t get = qor::pipe::GET_IMAGES;
    if (!Send(&get, 1, deadline)) return WriteFailed("GetImage"), 0;
    TheLogFile().Write(LOG_INFO, "GetImage: ReadImageThreadFunc After GET_IMAGES command\n");
    size_t have = 0;
    if (!ReceiveImage("GetImage", pending.nImageSize, deadline, &have)) return 0;
    const qor::pipe::ImageCheck check = qor::pipe::CheckImageReply(g_session.imageData, have, pending.nImageSize);
    if (check != qor::pipe::ImageCheck::Ok) {
        // QOR APP let the image go as it began to send it: what came is kept if it is anything.
        TheLogFile().WriteFormat(LOG_FATAL, "GetImage: %s; QOR APP sent %d of %d bytes and no longer holds the image.\n",
                                 qor::pipe::Describe(check), static_cast<int>(have), static_cast<int>(pending.nImageSize));
        if (have > 0) SafekeepTakenImage(g_session.imageData, have, nullptr);
        ForgetTakenImage();
        CloseAppChannel();
        ReportPipeFailure();
        return 0;
    }
    g_session.imageSize = pending.nImageSize;
    SafekeepTakenImage(g_session.imageData, have, nullptr);
    g_session.delivery.Lent(std::nullopt);
    return 1;
}

}  // namespace

ChannelResult OpenAppChannel(DWORD busyWaitMs) {
    if (g_pipe.IsOpen()) return ChannelResult::Open;
    if (!g_pipe.Create(PipeName(), 1, L"")) {
        // Another client holds QOR APP's pipe: QOR APP runs. A transfer waits for it a moment; the
        // state-5 wait asks again at its next tick.
        if (GetLastError() != ERROR_PIPE_BUSY) return ChannelResult::Missing;
        if (busyWaitMs == 0 || !WaitNamedPipeW(PipeName(), busyWaitMs) || !g_pipe.Create(PipeName(), 1, L"")) {
            return GetLastError() == ERROR_FILE_NOT_FOUND ? ChannelResult::Missing : ChannelResult::Busy;
        }
    }
    if (!ServedByQorApp(g_pipe.Handle())) {
        CloseAppChannel();
        return ChannelResult::Impostor;
    }
    if (!LearnProtocol() || !SendOwedConfirmation()) {
        CloseAppChannel();
        return ChannelResult::Broken;
    }
    return ChannelResult::Open;
}

void CloseAppChannel() {
    if (g_pipe.IsOpen()) g_pipe.Close();
}

bool AppChannelOpen() { return g_pipe.IsOpen(); }

AppProtocol AppChannelProtocol() { return g_protocol; }

void FreeImageBuffer() {
    std::free(g_session.imageData);
    g_session.imageData = nullptr;
    g_nBufferCapacity = 0;
    g_session.imageSize = 0;
}

int CheckPendingImages() {
    g_session.announcedImageId = 0;
    if (OpenAppChannel(kBusyWaitMs) != ChannelResult::Open) return 0;
    const Deadline deadline;
    if (g_protocol == AppProtocol::Taking) {
        const uint8_t command = qor::pipe::CHECK_PENDING_IMAGES;
        if (!Send(&command, 1, deadline)) return WriteFailed("CheckPendingImages"), 0;
        uint8_t reply[qor::pipe::kPendingReplyBytes] = {};
        qor::pipe::PendingImages pending;
        switch (qor::pipe::DecodePendingImages(reply, Receive(reply, sizeof reply, deadline), &pending)) {
            case qor::pipe::ReplyCheck::Ok: g_session.nextImageSize = pending.nImageSize; return pending.nPendingCount;
            case qor::pipe::ReplyCheck::NoImages: g_session.nextImageSize = 0; return 0;
            case qor::pipe::ReplyCheck::Short: return ReadFailed("CheckPendingImages"), 0;
            default:
                g_session.nextImageSize = 0;
                TheLogFile().WriteFormat(LOG_WARN, "CheckPendingImages: Pending Images = %d Image Size = %d!\n",
                                         static_cast<int>(pending.nPendingCount), static_cast<int>(pending.nImageSize));
                ReportBadReply();
                return 0;
        }
    }
    const std::vector<uint8_t> request = ExceptRequest(qor::pipe::CHECK_PENDING_EXCEPT);
    if (!Send(request.data(), static_cast<DWORD>(request.size()), deadline)) return WriteFailed("CheckPendingImages"), 0;
    uint8_t reply[qor::pipe::kPendingExceptReplyBytes] = {};
    qor::pipe::PendingExcept pending;
    const size_t have = Receive(reply, sizeof reply, deadline);
    const qor::pipe::PendingExceptCheck check = qor::pipe::DecodePendingExcept(reply, have, &pending);
    switch (check) {
        case qor::pipe::PendingExceptCheck::Ok:
            g_session.nextImageSize = pending.nImageSize;
            g_session.announcedImageId = pending.nImageId;
            TheLogFile().WriteFormat(LOG_INFO, "CheckPendingImages: Pending Images = %d.\n",
                                     static_cast<int>(pending.nPendingCount));
            return pending.nPendingCount;
        case qor::pipe::PendingExceptCheck::NoImages: g_session.nextImageSize = 0; return 0;
        case qor::pipe::PendingExceptCheck::Short:
            if (have == 0) return ReadFailed("CheckPendingImages"), 0;
            [[fallthrough]];
        default:
            g_session.nextImageSize = 0;
            TheLogFile().WriteFormat(LOG_WARN, "CheckPendingImages: %s: Pending Images = %d Image Id = %d Image Size = %d!\n",
                                     qor::pipe::Describe(check), static_cast<int>(pending.nPendingCount),
                                     static_cast<int>(pending.nImageId), static_cast<int>(pending.nImageSize));
            CloseAppChannel();  // the stream may be out of step
            ReportBadReply();
            return 0;
    }
}

int LendImage() {
    g_session.imageSize = 0;  // nothing valid until a whole image is in
    if (OpenAppChannel(kBusyWaitMs) != ChannelResult::Open) return 0;
    if (g_protocol == AppProtocol::Taking) return TakeImage();
    const Deadline deadline;
    const std::vector<uint8_t> request = ExceptRequest(qor::pipe::LEND_IMAGE_EXCEPT);
    if (!Send(request.data(), static_cast<DWORD>(request.size()), deadline)) return WriteFailed("LendImage"), 0;
    uint8_t head[qor::pipe::kLendHeaderBytes] = {};
    qor::pipe::LentImage header;
    const size_t headBytes = Receive(head, sizeof head, deadline);
    const qor::pipe::LendCheck headCheck = qor::pipe::DecodeLendHeader(head, headBytes, &header);
    if (headCheck == qor::pipe::LendCheck::NoImage) return 0;
    if (headCheck == qor::pipe::LendCheck::Short && headBytes == 0) return ReadFailed("LendImage"), 0;
    if (headCheck != qor::pipe::LendCheck::Ok) {
        TheLogFile().WriteFormat(LOG_WARN, "LendImage: %s; the image stays in QOR APP.\n", qor::pipe::Describe(headCheck));
        CloseAppChannel();  // the stream is out of step
        return 0;
    }
    size_t have = 0;
    if (!ReceiveImage("LendImage", header.nImageSize, deadline, &have)) return 0;
    TheLogFile().WriteFormat(LOG_INFO, "LendImage: image %d, %d of %d bytes.\n", static_cast<int>(header.nImageId),
                             static_cast<int>(have), static_cast<int>(header.nImageSize));
    const qor::pipe::ImageCheck check = qor::pipe::CheckLentImage(g_session.imageData, have, header);
    if (check != qor::pipe::ImageCheck::Ok) {
        TheLogFile().WriteFormat(LOG_WARN, "LendImage: %s; the image stays in QOR APP.\n", qor::pipe::Describe(check));
        CloseAppChannel();
        return 0;
    }
    g_session.imageSize = header.nImageSize;
    g_session.delivery.Lent(qor::twain::LentImageKey{header.nImageId, header.nCrc32});
    return 1;
}

ConfirmResult ConfirmImage(const qor::twain::LentImageKey& key) {
    if (!g_pipe.IsOpen() || g_protocol != AppProtocol::Lending) return ConfirmResult::Unreachable;
    const Deadline deadline;
    const auto request = qor::pipe::EncodeConfirmRequest({key.nImageId, key.nCrc32});
    uint8_t reply[qor::pipe::kConfirmReplyBytes] = {};
    if (!Send(request.data(), static_cast<DWORD>(request.size()), deadline) ||
        Receive(reply, sizeof reply, deadline) != sizeof reply) {
        TheLogFile().WriteFormat(LOG_WARN, "ConfirmImage: image %d could not be confirmed to QOR APP; the confirmation "
                                           "is sent again when the pipe opens next.\n",
                                 static_cast<int>(key.nImageId));
        CloseAppChannel();
        return ConfirmResult::Unreachable;
    }
    const qor::pipe::ConfirmCheck check = qor::pipe::DecodeConfirmReply(reply, sizeof reply);
    if (check == qor::pipe::ConfirmCheck::Short || check == qor::pipe::ConfirmCheck::BadValue) {
        TheLogFile().WriteFormat(LOG_WARN, "ConfirmImage: %s; the confirmation is sent again when the pipe opens next.\n",
                                 qor::pipe::Describe(check));
        CloseAppChannel();
        return ConfirmResult::Unreachable;
    }
    TheLogFile().WriteFormat(LOG_INFO, "ConfirmImage: image %d %s.\n", static_cast<int>(key.nImageId),
                             check == qor::pipe::ConfirmCheck::Removed ? "has left QOR APP's store"
                                                                       : "was no longer in QOR APP's store");
    return check == qor::pipe::ConfirmCheck::Removed ? ConfirmResult::Removed : ConfirmResult::NotInStore;
}

ConfirmResult ConfirmLentImage(const qor::twain::LentImageKey& key) {
    if (OpenAppChannel(kBusyWaitMs) != ChannelResult::Open) return ConfirmResult::Unreachable;
    return ConfirmImage(key);
}
