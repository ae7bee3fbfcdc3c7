// The few message boxes the driver library shows a user; none when the environment says
// QOR_MESSAGE_BOXES=0 (a program that runs unattended).
#pragma once

#include "driver/core/calibration_record.h"

// A modal box without owner, OK button only.
void ShowMessageBox(const qor::UserNotice& notice);
// The same, but it closes itself after `timeoutMs` if nobody has closed it (the under-exposure
// warning). MessageBoxTimeout would do, but Wine ignores its time-out, so a thread timer ends the
// box's message loop instead.
void ShowSelfClosingMessageBox(const qor::UserNotice& notice, unsigned timeoutMs);
