// DAT_USERINTERFACE: the source's dialog, which lives from MSG_ENABLEDS to MSG_DISABLEDS and
// whose timer runs the wait for images in state 5.
#include "twain_source/win/interface_msgs.h"

#include "common/core/log_file.h"
#include "twain_source/win/app_link.h"
#include "twain_source/win/manager_link.h"
#include "twain_source/win/source_reports.h"
#include "twain_source/win/transfer_msgs.h"

namespace {

DWORD g_nDialogThread = 0;  // the thread that created the dialog (and owns it)

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    try {
        switch (message) {
            case WM_INITDIALOG: StartLink(dialog); break;
            case WM_DESTROY: StopLink(); break;
            case WM_TIMER:
            case kNewImageMessage: OnLinkTick(); break;
            case WM_COMMAND:
                if (LOWORD(wParam) == IDCANCEL) NotifyCloseDSReq();
                break;
            default: break;
        }
    } catch (...) {
        TheLogFile().Write(LOG_FATAL, "DialogProc: unexpected failure.\n");
    }
    return FALSE;
}

TW_UINT16 EnableDS(pTW_USERINTERFACE ui) {
    TheLogFile().Write(LOG_INFO, "EnableDS\n");
    if (ui == nullptr) return ReportFailure("General failure in response to MSG_ENABLEDS.  ", TWCC_BADVALUE);
    g_session.parent = static_cast<HWND>(ui->hParent);
    g_session.quiet = ui->ShowUI == FALSE;
    // The dialog's start fetches the first image and may announce it (state 6).
    g_nDialogThread = GetCurrentThreadId();
    g_session.dialog = CreateDialogParamW(g_hInstance, MAKEINTRESOURCEW(kDialogId), g_session.parent, DialogProc, 0);
    if (g_session.dialog == nullptr) {
        g_session.state = qor::twain::kState4;
        return ReportFailure("General failure in response to MSG_ENABLEDS.  ", TWCC_LOWMEMORY);
    }
    if (ui->ShowUI) {
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

// The source has no settings of its own to show: a program asking for them alone is told so.
TW_UINT16 EnableUiOnly() {
    TheLogFile().Write(LOG_INFO, "EnableDSUIOnly: the source has no settings dialog.\n");
    g_session.conditionCode = TWCC_BADPROTOCOL;
    return TWRC_FAILURE;
}

}  // namespace

TW_UINT16 InterfaceMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "InterfaceMsg\n");
    if (t.MSG == MSG_ENABLEDS) return EnableDS(static_cast<pTW_USERINTERFACE>(t.pData));
    if (t.MSG == MSG_DISABLEDS) return DisableDS();
    if (t.MSG == MSG_ENABLEDSUIONLY) return EnableUiOnly();
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

