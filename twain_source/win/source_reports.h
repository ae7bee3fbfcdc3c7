// What the source tells the dentist and the program when something fails: condition codes,
// the log, the dialog's status line and boxes (never in a session without a user interface,
// where nobody may be there to close one; and the pipe's boxes once a session each).
#pragma once
#include "twain_source/win/source_session.h"

// Sets the condition code, logs the context and shows the internal-error box; TWRC_FAILURE.
TW_UINT16 ReportFailure(const char* context, TW_UINT16 code);
void ShowInternalError();
void ShowMessage(const wchar_t* text);  // ShowUI TRUE only
// The status line: "transferred/total", or the waiting text when total is 0.
void ShowProgress(int total, int transferred);
void ShowStatusText(UINT textId);

// Once a session each (a new session forgets them): a pipe that failed fails at every tick.
void ForgetSessionReports();
void ReportPipeFailure();  // a pipe read or write failed: the error box
void ReportBadReply();
void ReportImpostor();
void ReportBusyPipe();
