// The pipe thread and the main thread's half of GET_IMAGES.
#include "common/core/catch_all.h"
#include "app/pipe_server.h"

#include "app/app_messages.h"
#include "app/core/image_file_name.h"
#include "app/fault_point.h"
#include "app/image_queue.h"
#include "common/core/crc32.h"
#include "common/core/log_file.h"
#include "common/core/pipe_messages.h"
#include "common/named_pipe.h"

#include <algorithm>
#include <set>
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

// Lets go a client whose stream is out of step, unless the channel already did: it lets a
// departed or timed-out client go itself.
void DropOutOfStepClient(CNamedPipe& pipe, DWORD error) {
    if (!qor::pipe::PeerHasGone(error) && error != ERROR_TIMEOUT) {
        pipe.DropClient();
    }
}

// A reply not written whole leaves the client's stream out of step: false, and it is let go.
bool WriteReply(CNamedPipe& pipe, const char* what, const uint8_t* bytes, size_t count,
                size_t before = 0, size_t whole = 0) {
    DWORD written = 0;
    if (!pipe.Write(bytes, static_cast<DWORD>(count), &written) || written != count) {
        const DWORD error = GetLastError();
        LogFailedWrite(what, static_cast<DWORD>(before + written), whole == 0 ? count : whole);
        DropOutOfStepClient(pipe, error);
        return false;
    }
    return true;
}

// HELLO: this server speaks the protocol with exception lists.
bool AnswerHello(CNamedPipe& pipe) {
    const auto reply = qor::pipe::EncodeHelloReply();
    return WriteReply(pipe, "HELLO", reply.data(), reply.size());
}

// The main thread's choice; nothing is chosen when its window is gone.
PipeSelection Select(CPipeServerHost& host, const std::vector<int32_t>& exceptIds, bool lend) {
    PipeSelection selection;
    selection.exceptIds = &exceptIds;
    selection.lend = lend;
    SendMessageW(host.PipeMainWindow(), UM_IMAGE_EVENT, reinterpret_cast<WPARAM>(&selection),
                 kImageEventSelect);
    return selection;
}

// CHECK_PENDING_EXCEPT: the 12-byte reply.
bool AnswerPendingExcept(CPipeServerHost& host, CNamedPipe& pipe,
                         const std::vector<int32_t>& exceptIds) {
    const auto reply = qor::pipe::EncodePendingExcept(Select(host, exceptIds, false).pending);
    return WriteReply(pipe, "CHECK_PENDING_EXCEPT", reply.data(), reply.size());
}

// LEND_IMAGE and LEND_IMAGE_EXCEPT: the 12-byte header and the image, from a copy; the image
// stays stored whatever happens to the write. `lentId` is the id lent, -1 when none.
bool AnswerLendImage(CPipeServerHost& host, CNamedPipe& pipe, const char* what,
                     const std::vector<int32_t>& exceptIds, int32_t& lentId) {
    PipeSelection selection = Select(host, exceptIds, true);
    lentId = selection.header.nImageSize > 0 ? selection.header.nImageId : -1;
    std::vector<uint8_t>& reply = selection.image;
    const auto head = qor::pipe::EncodeLendHeader(selection.header);
    reply.insert(reply.begin(), head.begin(), head.end());
    // In two halves, so that a test can stop the program between them.
    const size_t first = reply.size() / 2;
    if (!WriteReply(pipe, what, reply.data(), first, 0, reply.size())) {
        return false;
    }
    fault::Reach(fault::kPipeWrite);
    return WriteReply(pipe, what, reply.data() + first, reply.size() - first, first, reply.size());
}

// CONFIRM_IMAGE: the removal on the main thread, then the 4-byte answer.
bool AnswerConfirmImage(CPipeServerHost& host, CNamedPipe& pipe,
                        const qor::pipe::ImageConfirmation& confirmation) {
    qor::pipe::ImageConfirmation request = confirmation;
    const LRESULT removed = SendMessageW(host.PipeMainWindow(), UM_IMAGE_EVENT,
                                         reinterpret_cast<WPARAM>(&request), kImageEventConfirm);
    const auto reply = qor::pipe::EncodeConfirmReply(removed == 1);
    return WriteReply(pipe, "CONFIRM_IMAGE", reply.data(), reply.size());
}

// Reads the rest of a request that arrived in parts, all of it within
// kConfirmPayloadTimeLimitMs. False when it did not come: the request is dropped and the client
// let go, since nothing after it could be told apart from commands.
bool CompleteRequest(CNamedPipe& pipe, qor::pipe::RequestReader& reader) {
    const uint8_t command = reader.FrontByte();
    const DWORD start = GetTickCount();
    DWORD error = ERROR_TIMEOUT;
    while (reader.Missing() > 0) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= kConfirmPayloadTimeLimitMs) {
            break;
        }
        pipe.SetTimeLimit(kConfirmPayloadTimeLimitMs - spent);
        uint8_t bytes[qor::pipe::kMaxRequestBytes];
        DWORD read = 0;
        if (!pipe.Read(bytes, static_cast<DWORD>(std::min(reader.Missing(), reader.Room())), &read)) {
            error = GetLastError();
            break;
        }
        reader.Feed(bytes, read);
    }
    pipe.SetTimeLimit(kPipeWriteTimeLimitMs);
    const size_t missing = reader.Missing();
    if (missing == 0) {
        return true;
    }
    TheLogFile().WriteFormat(LOG_WARN,
                             "PipeCommThreadFunc: %s came without the rest of its request within "
                             "%lu ms (%lu bytes missing, error %lu); it is dropped, nothing is "
                             "changed, and the client is disconnected because its requests are out "
                             "of step: it must connect again.\n",
                             qor::pipe::Describe(qor::pipe::ClassifyRequest(command)),
                             static_cast<unsigned long>(kConfirmPayloadTimeLimitMs),
                             static_cast<unsigned long>(missing), static_cast<unsigned long>(error));
    reader.Abandon();
    DropOutOfStepClient(pipe, error);
    return false;
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
        // Images lent to the connected client and not yet confirmed.
        std::set<int32_t> lent;
        // Each client starts afresh; what was lent to one that has gone is offered again.
        const auto clientGone = [&] {
            host->m_nAnnouncedImageSize = -1;
            requests.Abandon();
            if (!lent.empty()) {
                TheLogFile().WriteFormat(LOG_INFO,
                                         "PipeCommThreadFunc: the client left %d lent image(s) "
                                         "unconfirmed; they stay stored and are offered again.\n",
                                         static_cast<int>(lent.size()));
                lent.clear();
                SendMessageW(host->PipeMainWindow(), UM_IMAGE_EVENT, 0, kImageEventClientGone);
            }
        };
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
                clientGone();
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
                clientGone();
                continue;
            }
            lastActivity = GetTickCount();
            requests.Feed(bytes, read);
            // Whole requests in order; one whose payload is still on its way gets the rest within
            // its time limit before anything after it is answered.
            qor::pipe::RequestReader::Parsed request;
            bool inStep = true;
            while (inStep) {
                if (!requests.Next(request)) {
                    if (requests.Missing() == 0) {
                        break;
                    }
                    inStep = CompleteRequest(pipe, requests);
                    continue;
                }
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
                case qor::pipe::Request::LendImageExcept: {
                    int32_t lentId = -1;
                    inStep = AnswerLendImage(*host, pipe, qor::pipe::Describe(request.request),
                                             request.exceptIds, lentId);
                    if (lentId >= 0) {
                        lent.insert(lentId);
                    }
                    break;
                }
                case qor::pipe::Request::ConfirmImage:
                    lent.erase(request.confirmation.nImageId);
                    inStep = AnswerConfirmImage(*host, pipe, request.confirmation);
                    break;
                case qor::pipe::Request::Hello:
                    inStep = AnswerHello(pipe);
                    break;
                case qor::pipe::Request::CheckPendingExcept:
                    inStep = AnswerPendingExcept(*host, pipe, request.exceptIds);
                    break;
                case qor::pipe::Request::Malformed:
                    TheLogFile().WriteFormat(
                        LOG_WARN,
                        "PipeCommThreadFunc: %s named %ld image ids (0 to %d are allowed); the "
                        "request is dropped, nothing is changed, and the client is disconnected "
                        "because its requests are out of step: it must connect again.\n",
                        qor::pipe::Describe(qor::pipe::ClassifyRequest(request.byte)),
                        static_cast<long>(request.nExceptCount),
                        static_cast<int>(qor::pipe::kMaxExceptIds));
                    pipe.DropClient();
                    inStep = false;
                    break;
                case qor::pipe::Request::Ignored:
                    break;
                }
            }
            if (!inStep) {
                clientGone();
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
    store.SetLent(confirmation.nImageId, false);
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

void CPipeServerHost::OnSelectImages(PipeSelection& selection) {
    CImageQueue& store = PipeImageQueue();
    selection.pending = {};
    selection.header = {};
    selection.image.clear();
    const ImageDataStruct* oldest = nullptr;
    const int count = store.GetCount();
    for (int index = 0; index < count; ++index) {
        const ImageDataStruct* record = store.GetAt(index);
        if (record == nullptr || record->bSelected == 0) {
            continue;
        }
        const int32_t id = ImageFileNumber(record->stTime);
        if (selection.exceptIds != nullptr &&
            std::find(selection.exceptIds->begin(), selection.exceptIds->end(), id) !=
                selection.exceptIds->end()) {
            continue;
        }
        if (selection.pending.nPendingCount++ == 0) {
            oldest = record;
            selection.pending.nImageId = id;
            selection.pending.nImageSize = record->nImageSize;
        }
    }
    if (!selection.lend || oldest == nullptr) {
        return;
    }
    if (oldest->pImageData == nullptr || oldest->nImageSize <= 0) {
        TheLogFile().Write(LOG_WARN, "OnSelectImages: the selected image holds no bitmap; it is not lent.\n");
        return;
    }
    selection.image.assign(oldest->pImageData, oldest->pImageData + oldest->nImageSize);
    selection.header.nImageId = selection.pending.nImageId;
    selection.header.nImageSize = oldest->nImageSize;
    selection.header.nCrc32 = qor::Crc32(selection.image.data(), selection.image.size());
    store.SetLent(selection.header.nImageId, true);
}

void CPipeServerHost::OnPipeClientGone() { PipeImageQueue().ClearLent(); }

LRESULT CPipeServerHost::OnPipeImageEvent(WPARAM wParam, LPARAM lParam) {
    switch (lParam) {
    case kImageEventFromPipe:
        OnSendImage();
        return 0;
    case kImageEventConfirm:
        return wParam != 0
                   ? OnConfirmImage(*reinterpret_cast<const qor::pipe::ImageConfirmation*>(wParam))
                   : 0;
    case kImageEventSelect:
        if (wParam != 0) {
            OnSelectImages(*reinterpret_cast<PipeSelection*>(wParam));
        }
        return 0;
    case kImageEventClientGone:
        OnPipeClientGone();
        return 0;
    default:
        return 0;
    }
}
