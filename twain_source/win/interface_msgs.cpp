// DAT_USERINTERFACE: the source's dialog, which lives from MSG_ENABLEDS to MSG_DISABLEDS and
// whose timer runs the wait for images in state 5; with MSG_ENABLEDSUIONLY it only says that the
// sensor has nothing to set (a program asks for a source's settings that way).
#include "twain_source/win/interface_msgs.h"

#include "common/core/log_file.h"
#include "twain_source/win/app_link.h"
#include "twain_source/win/manager_link.h"
#include "twain_source/win/source_reports.h"
#include "twain_source/win/transfer_msgs.h"

namespace {

DWORD g_nDialogThread = 0;  // the thread that created the dialog (and owns it)
// MSG_ENABLEDSUIONLY: the dialog shows that there is nothing to set; no image is asked for.
bool g_bSettingsOnly = false;

void ShowSettingsOnly(HWND dialog) {
    g_session.dialog = dialog;
    g_session.state = qor::twain::kState5;
    ShowStatusText(kNoSettingsText);
    wchar_t text[200];
    ReadString(kCloseText, text, 200);
    SetDlgItemTextW(dialog, IDCANCEL, text);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    try {
        switch (message) {
            case WM_INITDIALOG:
                if (g_bSettingsOnly) {
                    ShowSettingsOnly(dialog);
                } else {
                    StartLink(dialog);
                }
                break;
            case WM_DESTROY:
                if (!g_bSettingsOnly) StopLink();
                break;
            case WM_TIMER:
            case kNewImageMessage:
                if (!g_bSettingsOnly) OnLinkTick();
                break;
            case WM_COMMAND:
                if (LOWORD(wParam) == IDCANCEL) g_bSettingsOnly ? NotifyCloseDSOk() : NotifyCloseDSReq();
                break;
            default: break;
        }
    } catch (...) {
        TheLogFile().Write(LOG_FATAL, "DialogProc: unexpected failure.\n");
    }
    return FALSE;
}

TW_UINT16 EnableDS(pTW_USERINTERFACE ui, bool settingsOnly) {
    TheLogFile().Write(LOG_INFO, settingsOnly ? "EnableDSUIOnly\n" : "EnableDS\n");
    if (ui == nullptr) return ReportFailure("General failure in response to MSG_ENABLEDS.  ", TWCC_BADVALUE);
    g_bSettingsOnly = settingsOnly;
    g_session.parent = static_cast<HWND>(ui->hParent);
    g_session.quiet = ui->ShowUI == FALSE;
    // The dialog's start fetches the first image and may announce it (state 6).
    g_nDialogThread = GetCurrentThreadId();
    g_session.dialog = CreateDialogParamW(g_hInstance, MAKEINTRESOURCEW(kDialogId), g_session.parent, DialogProc, 0);
    if (g_session.dialog == nullptr) {
        g_session.state = qor::twain::kState4;
        return ReportFailure("General failure in response to MSG_ENABLEDS.  ", TWCC_LOWMEMORY);
    }
    if (ui->ShowUI || settingsOnly) {
        ShowWindow(g_session.dialog, SW_SHOW);
        wchar_t caption[200];
        ReadString(132, caption, 200);
        SetWindowTextW(g_session.dialog, caption);
    }
    // Without an image the source stays in state 5 and announces the first one that arrives.
    return TWRC_SUCCESS;
}

TW_UINT16 DisableDS() {
    TheLogFile().Write(LOG_INFO, "DisableDS\n");
    if (g_session.dialog != nullptr) DestroyWindow(g_session.dialog);
    g_session.dialog = nullptr;
    ReleaseTransferDib();
    g_session.state = qor::twain::kState4;
    return TWRC_SUCCESS;
}

}  // namespace

TW_UINT16 InterfaceMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "InterfaceMsg\n");
    if (t.MSG == MSG_ENABLEDS) return EnableDS(static_cast<pTW_USERINTERFACE>(t.pData), false);
    if (t.MSG == MSG_ENABLEDSUIONLY) return EnableDS(static_cast<pTW_USERINTERFACE>(t.pData), true);
    if (t.MSG == MSG_DISABLEDS) return DisableDS();
    return ReportFailure("General failure in response to DAT_USERINTERFACE.  ", TWCC_BADPROTOCOL);
}

// FreeLibrary of the source while it is enabled: its dialog and the dialog's timer must not
// outlive the code they call. DllMain runs under the loader lock, so only what is safe there is
// done: destroying a window of this thread (WM_DESTROY runs StopLink: timer, pipe, buffer) sends
// messages only to this thread. Another thread's window cannot be destroyed from here; it loses
// its dialog procedure (the dialog manager's default handling remains, and a timer message
// without a procedure does nothing).
void EndDialogOnUnload() {
    HWND dialog = g_session.dialog;
    g_session.dialog = nullptr;
    if (dialog == nullptr || !IsWindow(dialog)) return;
    if (g_nDialogThread == GetCurrentThreadId()) {
        DestroyWindow(dialog);
    } else {
        SetWindowLongPtrW(dialog, DWLP_DLGPROC, 0);
        AbandonLinkOnUnload();
    }
}

