#include "twain_source/win/source_reports.h"

#include <cwchar>

#include "common/core/log_file.h"
#include "twain_source/win/manager_link.h"

namespace {

bool g_bBadReplyReported = false;
bool g_bImpostorReported = false;
bool g_bPipeFailureReported = false;
bool g_bBusyReported = false;

}  // namespace

void ShowInternalError() {
    if (g_session.quiet) return;
    wchar_t text[200], caption[200];
    ReadString(102, text, 200);
    ReadString(132, caption, 200);
    MessageBoxW(g_session.parent, text, caption, MB_OK);
}

TW_UINT16 ReportFailure(const char* context, TW_UINT16 code) {
    g_session.conditionCode = code;
    TheLogFile().WriteFormat(LOG_WARN, "%s%s\n", context, qor::twain::ConditionText(code));
    // A 2.x program reads the condition code; a box would only stop it (an unattended program
    // waits for ever). A 1.x program's dentist sees the box, as always.
    if (!ManagerIsTwain2()) ShowInternalError();
    return TWRC_FAILURE;
}

void ShowMessage(const wchar_t* text) {
    if (g_session.quiet) return;
    wchar_t caption[200];
    ReadString(132, caption, 200);
    MessageBoxW(g_session.parent, text, caption, MB_OK | MB_ICONWARNING);
}

void ShowProgress(int total, int transferred) {
    if (g_session.dialog == nullptr) return;
    wchar_t text[200] = {};
    if (total != 0) {
        wchar_t format[200];
        ReadString(133, format, 200);
        swprintf(text, 200, format, transferred, total > transferred ? total : transferred);
    } else {
        ReadString(134, text, 200);
    }
    SetDlgItemTextW(g_session.dialog, kStatusTextId, text);
}

void ShowStatusText(UINT textId) {
    wchar_t text[200];
    ReadString(textId, text, 200);
    if (g_session.dialog != nullptr) SetDlgItemTextW(g_session.dialog, kStatusTextId, text);
}

void ForgetSessionReports() {
    g_bBadReplyReported = g_bImpostorReported = g_bPipeFailureReported = g_bBusyReported = false;
}

void ReportPipeFailure() {
    if (g_bPipeFailureReported) return;
    g_bPipeFailureReported = true;
    ShowInternalError();
}

void ReportBadReply() {
    // QOR APP would give the same answer at every tick.
    if (g_bBadReplyReported) return;
    g_bBadReplyReported = true;
    ShowInternalError();
}

void ReportBusyPipe() {
    // QOR APP runs and serves another client: the next tick asks again, nothing is started.
    if (g_bBusyReported) return;
    g_bBusyReported = true;
    TheLogFile().Write(LOG_WARN, "OnInitDialog: QOR APP's pipe is busy with another program; waiting for it.\n");
}

void ReportImpostor() {
    ShowStatusText(kImpostorText);
    if (g_bImpostorReported) return;
    g_bImpostorReported = true;
    wchar_t text[200];
    ReadString(kImpostorText, text, 200);
    ShowMessage(text);
}
