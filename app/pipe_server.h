// The server side of the image pipe in QOR APP: the pipe thread answers CHECK_PENDING_IMAGES
// itself and hands GET_IMAGES to the main thread (a sent UM_IMAGE_EVENT, lParam 1), where the
// image is written and only then leaves the store. A transfer that fails or is cut short leaves
// the image where it was: in memory, on disk and in the information file.
//
// HELLO is answered by the pipe thread. CHECK_PENDING_EXCEPT, LEND_IMAGE and LEND_IMAGE_EXCEPT
// are chosen on the main thread, the owner of every change of the store (a sent UM_IMAGE_EVENT,
// lParam kImageEventSelect): it reads the records in order, copies the image to lend and marks it
// lent in one step, so no change of the store (the 65th exposure's move) falls in between. The
// pipe thread writes the reply from that copy: a lent image stays stored. CONFIRM_IMAGE's removal
// also runs on the main thread (lParam kImageEventConfirm), and the pipe thread writes its answer.
//
// The images lent to the connected client and not confirmed stay marked lent in the store until
// they are confirmed (or the confirmation finds no such image) or the client goes (lParam
// kImageEventClientGone). A request whose list length is impossible or whose payload does not
// come in time puts the client's stream out of step: it is let go.
//
// The logic is written against CPipeServerHost so that it runs the same in CQorApp and in the
// tests' small host. CQorApp derives from it and starts the thread with
//     CreateThread(nullptr, 0, &PipeCommThreadFunc, static_cast<CPipeServerHost*>(this), 0, nullptr)
// and answers UM_IMAGE_EVENT with lParam 1 by calling OnSendImage().
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/core/pipe_messages.h"

class CImageQueue;
class CNamedPipe;

// What the main thread chooses for CHECK_PENDING_EXCEPT, LEND_IMAGE and LEND_IMAGE_EXCEPT: the
// selected images whose id is not in `exceptIds`, oldest first.
struct PipeSelection {
    const std::vector<int32_t>* exceptIds = nullptr;  // none for LEND_IMAGE
    bool lend = false;                  // also copy the oldest of them and mark it lent
    qor::pipe::PendingExcept pending;   // their count, the oldest one's id and size
    qor::pipe::LentImage header;        // lend: the image lent (all 0 when none)
    std::vector<uint8_t> image;         // lend: its bytes
};

class CPipeServerHost {
public:
    // The store the images come from; the server end of the pipe.
    virtual CImageQueue& PipeImageQueue() = 0;
    virtual CNamedPipe& PipeChannel() = 0;
    // The main window: UM_IMAGE_EVENT goes there, and its thread runs OnSendImage.
    virtual HWND PipeMainWindow() = 0;
    // m_bTerminatePipeCommThread.
    virtual bool PipeStopRequested() = 0;
    // After an image was sent: refresh the preview when it is open.
    virtual void OnPipeImageSent() = 0;
    // After GET_IMAGES left the store empty: stop the images icon's animation, remove the icon,
    // clear m_bImagesIconShown (nothing when the icon is not shown).
    virtual void OnPipeStoreEmptied() = 0;

    // Main thread, for UM_IMAGE_EVENT with lParam 1: writes the oldest selected image.
    void OnSendImage();
    // Main thread, for UM_IMAGE_EVENT with lParam kImageEventConfirm: removes the oldest stored
    // image with the confirmed id and CRC-32. 1 when it left the store now, else 0.
    // The image is lent no more either way.
    LRESULT OnConfirmImage(const qor::pipe::ImageConfirmation& confirmation);
    // Main thread, for UM_IMAGE_EVENT with lParam kImageEventSelect.
    void OnSelectImages(PipeSelection& selection);
    // Main thread, for UM_IMAGE_EVENT with lParam kImageEventClientGone.
    void OnPipeClientGone();
    // UM_IMAGE_EVENT with a pipe's lParam (kImageEventFromPipe, kImageEventConfirm,
    // kImageEventSelect, kImageEventClientGone): the handler's result, for the window procedure
    // to return.
    LRESULT OnPipeImageEvent(WPARAM wParam, LPARAM lParam);

protected:
    ~CPipeServerHost() = default;

private:
    friend DWORD WINAPI PipeCommThreadFunc(LPVOID host);
    // The size the last CHECK_PENDING_IMAGES reply announced to the client, -1 when none: a
    // GET_IMAGES writes only an image of that size, so the client's stream stays in step.
    // Written by the pipe thread before it sends UM_IMAGE_EVENT, read in the handler.
    std::atomic<int32_t> m_nAnnouncedImageSize{-1};
};

// The pipe thread. `host` is a CPipeServerHost*. 0, or 1 when given none.
DWORD WINAPI PipeCommThreadFunc(LPVOID host);

// For OnExitqor: waits up to `milliseconds` for the pipe thread to end while still handling the
// messages other threads send to this one. A pipe thread inside its sent UM_IMAGE_EVENT would
// otherwise hold the exit up for the whole wait. Answers as WaitForSingleObject does.
DWORD WaitForPipeCommThread(HANDLE thread, DWORD milliseconds);

// Longest time one image write may wait for a client that stopped reading, in ms.
inline constexpr DWORD kPipeWriteTimeLimitMs = 10000;
// Longest wait for the rest of a request with a payload (CONFIRM_IMAGE, CHECK_PENDING_EXCEPT,
// LEND_IMAGE_EXCEPT) once its command byte has come, in ms.
inline constexpr DWORD kConfirmPayloadTimeLimitMs = 2000;
