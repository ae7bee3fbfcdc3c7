// The session's link to QOR APP while the source is enabled: the state-5 wait, the image a
// transfer needs, its confirmation once the program has it.
#pragma once
#include "twain_source/win/source_session.h"

// Posted to the dialog when QOR APP signals a stored image: the state-5 wait asks at once.
inline constexpr UINT kNewImageMessage = WM_APP + 1;

// The dialog's start (MSG_ENABLEDS): the first image may be announced at once (state 6).
bool StartLink(HWND dialog);
void OnLinkTick();  // the dialog's timer: the state-5 wait
bool StopLink();    // the dialog's end; false when no pipe was open
// The source is unloaded while another thread owns its dialog: nothing may call into it any more.
void AbandonLinkOnUnload();
void AnnounceImage(int pending, bool notify);
// The announced image into imageData (lent from QOR APP, or taken from the disk queue).
int TakeAnnouncedImage();
// The imaging program is about to have the image: QOR APP is told first (or the confirmation is
// owed). False when QOR APP no longer holds it (the dentist deleted it): it must not reach the
// program, and the transfer fails.
bool ImageDelivered();
void ImageTransferFailed();
// MSG_ENDXFER: the images still to come in this session.
int EndImageTransfer();
int PendingTransfers();
void ForgetLentImage();  // MSG_RESET: the image stays in QOR APP
int GetDiskImage();
int PendingOnDisk();
void ClearDiskQueue();
