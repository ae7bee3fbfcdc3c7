// The pipe thread and the main thread's half of GET_IMAGES.
#include "common/core/catch_all.h"
#include "app/pipe_server.h"

#include "app/app_messages.h"
#include "app/fault_point.h"
#include "app/image_queue.h"
#include "common/core/log_file.h"
#include "common/core/pipe_messages.h"
#include "common/named_pipe.h"

#include <algorithm>
#include <vector>

namespace {

constexpr DWORD kIdleWaitMs = 100;
// Within an exchange the next request follows the reply at once: for this long after a
// connection or a request the thread looks every millisecond instead.
constexpr DWORD kBusyWaitMs = 1;
constexpr DWORD kBusySpanMs = 500;
// When re-creating the server end failed (another program took the name), try again every 5 s.
constexpr int kIdlePassesBetweenCreates = 50;

const wchar_t* PipeName() { return reinterpret_cast<const wchar_t*>(qor::pipe::kPipeName); }

// The 8-byte reply; the count and the size are read under the store's one lock, so the main
// thread's changes never show half done. Returns the size announced to the client, or -1.
int32_t AnswerPendingImages(CImageQueue& store, CNamedPipe& pipe) {
    qor::pipe::PendingImages reply;
    int32_t firstSize = 0;
    reply.nPendingCount = store.PendingImages(&firstSize);
    reply.nImageSize = reply.nPendingCount > 0 ? firstSize : 0;
    const auto bytes = qor::pipe::EncodePendingImages(reply);
    DWORD written = 0;
    const BOOL ok = pipe.Write(bytes.data(), static_cast<DWORD>(bytes.size()), &written);
    if (!ok || written != bytes.size()) {
        TheLogFile().WriteFormat(LOG_WARN,
                                 "PipeCommThreadFunc: CNamedPipe::Write () Failed with error code %d\n",
                                 static_cast<int>(GetLastError()));
        TheLogFile().WriteFormat(
            LOG_WARN, "PipeCommThreadFunc: CNamedPipe::Write () Failed : dwBytesWritten: %d:  bReturn: %d\n",
            static_cast<int>(written), static_cast<int>(ok));
        return -1;
    }
    return reply.nPendingCount > 0 ? reply.nImageSize : -1;
}

void LogFailedWrite(const char* what, DWORD written, size_t wanted) {
    TheLogFile().WriteFormat(LOG_WARN,
                             "PipeCommThreadFunc: the %s reply was not sent (%lu of %lu bytes, "
                             "error %lu); the client must ask again.\n",
                             what, static_cast<unsigned long>(written),
                             static_cast<unsigned long>(wanted),
                             static_cast<unsigned long>(GetLastError()));
}

// LEND_IMAGE: the 12-byte header and the image, from a copy; the image stays stored whatever
// happens to the write.
void AnswerLendImage(CImageQueue& store, CNamedPipe& pipe) {
    qor::pipe::LentImage header;
    std::vector<uint8_t> reply;
    store.LendFirstSelected(header, reply);
    const auto head = qor::pipe::EncodeLendHeader(header);
    reply.insert(reply.begin(), head.begin(), head.end());
    // In two halves, so that a test can stop the program between them.
    const DWORD first = static_cast<DWORD>(reply.size() / 2);
    DWORD written = 0;
    if (!pipe.Write(reply.data(), first, &written) || written != first) {
        LogFailedWrite("LEND_IMAGE", written, reply.size());
        return;
    }
    fault::Reach(fault::kPipeWrite);
    const DWORD second = static_cast<DWORD>(reply.size()) - first;
    if (!pipe.Write(reply.data() + first, second, &written) || written != second) {
        LogFailedWrite("LEND_IMAGE", first + written, reply.size());
    }
}

// CONFIRM_IMAGE: the removal on the main thread, then the 4-byte answer.
void AnswerConfirmImage(CPipeServerHost& host, CNamedPipe& pipe,
                        const qor::pipe::ImageConfirmation& confirmation) {
    qor::pipe::ImageConfirmation request = confirmation;
    const LRESULT removed = SendMessageW(host.PipeMainWindow(), UM_IMAGE_EVENT,
                                         reinterpret_cast<WPARAM>(&request), kImageEventConfirm);
    const auto reply = qor::pipe::EncodeConfirmReply(removed == 1);
    DWORD written = 0;
    if (!pipe.Write(reply.data(), static_cast<DWORD>(reply.size()), &written) ||
        written != reply.size()) {
        LogFailedWrite("CONFIRM_IMAGE", written, reply.size());
    }
}

// Reads the rest of a CONFIRM_IMAGE that arrived in parts, within its own time limit. False
// when it did not come (the request is dropped; a timed-out client is let go by the channel).
bool CompleteRequest(CNamedPipe& pipe, qor::pipe::RequestReader& reader) {
    pipe.SetTimeLimit(kConfirmPayloadTimeLimitMs);
    bool complete = true;
    while (reader.Missing() > 0) {
        uint8_t bytes[qor::pipe::kConfirmRequestBytes];
        DWORD read = 0;
        if (!pipe.Read(bytes, static_cast<DWORD>(reader.Missing()), &read) || read == 0) {
            TheLogFile().WriteFormat(LOG_WARN,
                                     "PipeCommThreadFunc: CONFIRM_IMAGE came without its 8 bytes "
                                     "of image id and CRC (error %lu); it is ignored and nothing "
                                     "is removed.\n",
                                     static_cast<unsigned long>(GetLastError()));
            reader.Abandon();
            complete = false;
            break;
        }
        reader.Feed(bytes, read);
    }
    pipe.SetTimeLimit(kPipeWriteTimeLimitMs);
    return complete;
}

// Index of the oldest selected record, -1 when none (main thread: records stay valid).
int FirstSelectedIndex(CImageQueue& store) {
    const int count = store.GetCount();
    for (int index = 0; index < count; ++index) {
        const ImageDataStruct* record = store.GetAt(index);
        if (record == nullptr) {
            TheLogFile().Write(LOG_WARN, "OnSendImage: Invalid image data pointer!\n");
        } else if (record->bSelected != 0) {
            return index;
        }
    }
    return -1;
}

}  // namespace

DWORD WINAPI PipeCommThreadFunc(LPVOID param) {
    return CatchAll<DWORD>(1, [&]() -> DWORD {
        auto* host = static_cast<CPipeServerHost*>(param);
        if (host == nullptr) {
            return 1;
        }
        // Nothing signals it: a wait that no message can cut short.
        HANDLE pause = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        CNamedPipe& pipe = host->PipeChannel();
        pipe.SetTimeLimit(kPipeWriteTimeLimitMs);
        DWORD lastActivity = GetTickCount() - kBusySpanMs;
        bool wasConnected = false;
        int closedPasses = 0;
        qor::pipe::RequestReader requests;
        while (!host->PipeStopRequested()) {
            // The thread never sits in a read of its own: it looks for a request and waits briefly
            // when there is none, so the stop flag is seen within 100 ms even under a silent client.
            const DWORD wait = GetTickCount() - lastActivity < kBusySpanMs ? kBusyWaitMs : kIdleWaitMs;
            pause != nullptr ? static_cast<void>(WaitForSingleObject(pause, wait)) : Sleep(wait);
            if (!pipe.IsOpen()) {
                if (++closedPasses % kIdlePassesBetweenCreates == 0) {
                    pipe.Create(PipeName(), 0, L"");
                }
                continue;
            }
            const bool connected = pipe.IsConnected();
            if (connected != wasConnected) {
                wasConnected = connected;
                lastActivity = GetTickCount();
                host->m_nAnnouncedImageSize = -1;  // each client starts afresh
                requests.Abandon();
            }
            if (!connected) {
                continue;
            }
            // Bytes waiting, or a failed look (the client has gone): the read takes them, or
            // reports the failure and makes the server end wait for the next client.
            DWORD available = 0;
            if (pipe.Peek(&available) && available == 0) {
                continue;
            }
            uint8_t bytes[16];
            const DWORD wanted = available == 0 ? 1 : std::min<DWORD>(available, sizeof bytes);
            DWORD read = 0;
            if (!pipe.Read(bytes, wanted, &read) || read == 0) {
                requests.Abandon();
                continue;
            }
            lastActivity = GetTickCount();
            requests.Feed(bytes, read);
            if (requests.Missing() > 0 && !CompleteRequest(pipe, requests)) {
                continue;
            }
            qor::pipe::RequestReader::Parsed request;
            while (requests.Next(request)) {
                switch (request.request) {
                case qor::pipe::Request::CheckPendingImages:
                    host->m_nAnnouncedImageSize = AnswerPendingImages(host->PipeImageQueue(), pipe);
                    break;
                case qor::pipe::Request::GetImages:
                    // Sent, not posted: the image leaves on the main thread, which owns every
                    // change of the store, and this thread reads the next request only afterwards.
                    SendMessageW(host->PipeMainWindow(), UM_IMAGE_EVENT, 0, kImageEventFromPipe);
                    break;
                case qor::pipe::Request::LendImage:
                    AnswerLendImage(host->PipeImageQueue(), pipe);
                    break;
                case qor::pipe::Request::ConfirmImage:
                    AnswerConfirmImage(*host, pipe, request.confirmation);
                    break;
                case qor::pipe::Request::Ignored:
                    break;
                }
            }
        }
        if (pause != nullptr) {
            CloseHandle(pause);
        }
        return 0;
    });
}

DWORD WaitForPipeCommThread(HANDLE thread, DWORD milliseconds) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD spent = GetTickCount() - start;
        const DWORD wait = MsgWaitForMultipleObjects(
            1, &thread, FALSE, spent >= milliseconds ? 0 : milliseconds - spent, QS_SENDMESSAGE);
        if (wait != WAIT_OBJECT_0 + 1) {
            return wait;
        }
        MSG message;  // handles the sent messages only; posted ones wait for the message loop
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void CPipeServerHost::OnSendImage() {
    CImageQueue& store = PipeImageQueue();
    CNamedPipe& pipe = PipeChannel();
    const int32_t announced = m_nAnnouncedImageSize.exchange(-1);
    const int index = store.GetSelectedCount() >= 1 ? FirstSelectedIndex(store) : -1;
    const ImageDataStruct* record = index >= 0 ? store.GetAt(index) : nullptr;
    if (record != nullptr && (record->pImageData == nullptr || record->nImageSize <= 0)) {
        TheLogFile().Write(LOG_WARN, "OnSendImage: the selected image holds no bitmap; it is not sent.\n");
        record = nullptr;
    }
    if (announced > 0 && (record == nullptr || record->nImageSize != announced)) {
        // The selection changed since the client was told the size: it would wait for ever for
        // bytes that never come, or read a stream out of step. It is let go and asks again.
        TheLogFile().WriteFormat(LOG_WARN,
                                 "OnSendImage: the client was told of an image of %d bytes that is "
                                 "no longer the first selected one; it is disconnected and "
                                 "must ask again.\n",
                                 static_cast<int>(announced));
        pipe.DropClient();
    } else if (record != nullptr) {
        // The image leaves the store only once the client has all of it: a failed or short
        // write keeps it in memory, on disk and in the information file, in its place.
        DWORD written = 0;
        const BOOL ok = pipe.Write(record->pImageData, static_cast<DWORD>(record->nImageSize),
                                   &written);
        if (ok && written == static_cast<DWORD>(record->nImageSize)) {
            if (!store.RemoveAt(index, TRUE)) {
                TheLogFile().Write(LOG_WARN,
                                   "OnSendImage: the sent image's file could not be deleted; "
                                   "it is no longer listed, delete it from the Images folder by "
                                   "hand.\n");
            }
            OnPipeImageSent();
        } else {
            TheLogFile().WriteFormat(LOG_WARN,
                                     "OnSendImage: the image was not sent (%lu of %d bytes, error "
                                     "%lu); it stays stored for the next transfer.\n",
                                     static_cast<unsigned long>(written),
                                     static_cast<int>(record->nImageSize),
                                     static_cast<unsigned long>(GetLastError()));
        }
    }
    if (store.GetCount() == 0) {
        OnPipeStoreEmptied();
    }
}

LRESULT CPipeServerHost::OnConfirmImage(const qor::pipe::ImageConfirmation& confirmation) {
    CImageQueue& store = PipeImageQueue();
    const bool removed = store.RemoveMatching(confirmation.nImageId, confirmation.nCrc32);
    if (removed) {
        OnPipeImageSent();
        if (store.GetCount() == 0) {
            OnPipeStoreEmptied();
        }
    } else {
        TheLogFile().WriteFormat(LOG_INFO,
                                 "OnConfirmImage: no stored image %09d with CRC-32 %08lX (already "
                                 "confirmed or deleted); nothing is removed.\n",
                                 static_cast<int>(confirmation.nImageId),
                                 static_cast<unsigned long>(confirmation.nCrc32));
    }
    return removed ? 1 : 0;
}

LRESULT CPipeServerHost::OnPipeImageEvent(WPARAM wParam, LPARAM lParam) {
    if (lParam == kImageEventFromPipe) {
        OnSendImage();
        return 0;
    }
    if (lParam == kImageEventConfirm && wParam != 0) {
        return OnConfirmImage(*reinterpret_cast<const qor::pipe::ImageConfirmation*>(wParam));
    }
    return 0;
}
