// DS_Entry: module start, the triplet tables, the TWAIN states 3 to 7, identity, user interface,
// status, failure reporting and the two notifications to the manager.
#include "common/core/catch_all.h"
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "common/core/log_file.h"
#include "common/core/stage_trace.h"
#include "twain_source/core/state_rules.h"
#include "twain_source/win/qorsrc.h"

int32_t m_nState = qor::twain::kState3;
TW_UINT16 m_nConditionCode = TWCC_SUCCESS;
TW_IDENTITY m_appIdentity{};
TW_IDENTITY m_dsIdentity{};
HINSTANCE g_hInstance = nullptr;
HWND g_hDialog = nullptr;
HWND g_hParent = nullptr;
bool g_bQuiet = false;
CLanguage g_language;
qor::twain::CCapabilityTable g_capabilities;

namespace {

HANDLE g_hMutex = nullptr;
DWORD g_nDialogThread = 0;  // the thread that created the dialog (and owns it)
// A notification the manager did not take goes out with the next MSG_PROCESSEVENT.
TW_UINT16 g_nUndeliveredMessage = MSG_NULL;

constexpr const wchar_t kRegistryKey[] = L"SOFTWARE\\Halvex Imaging\\QOR";

void FillIdentityString(UINT id, char* out) {
    wchar_t text[64] = {};
    LoadStringW(g_hInstance, id, text, 64);
    // TW_STR32: 34 bytes, always terminated.
    char ansi[64] = {};
    WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, sizeof ansi, nullptr, nullptr);
    std::memset(out, 0, 34);
    std::memcpy(out, ansi, strnlen(ansi, 33));
}

void SetUpIdentity() {
    m_appIdentity.Id = 0;
    m_dsIdentity = TW_IDENTITY{};
    m_dsIdentity.Id = 0;
    m_dsIdentity.Version.MajorNum = 1;
    m_dsIdentity.Version.MinorNum = 0;
    m_dsIdentity.Version.Language = TWLG_USA;
    m_dsIdentity.Version.Country = TWCY_USA;
    FillIdentityString(3, m_dsIdentity.Version.Info);
    m_dsIdentity.ProtocolMajor = 1;
    m_dsIdentity.ProtocolMinor = kProtocolMinor;
    m_dsIdentity.SupportedGroups = DG_CONTROL | DG_IMAGE;
    FillIdentityString(0, m_dsIdentity.Manufacturer);
    FillIdentityString(1, m_dsIdentity.ProductFamily);
    FillIdentityString(2, m_dsIdentity.ProductName);
}

// The module's folder with its trailing backslash, from the handle DllMain received (the
// manager may have loaded us under another file name).
void ModuleDirectory(wchar_t* out, DWORD size) {
    out[0] = 0;
    const DWORD n = GetModuleFileNameW(g_hInstance, out, size);
    if (n == 0 || n >= size) {
        out[0] = 0;
        return;
    }
    wchar_t* slash = wcsrchr(out, L'\\');
    if (slash != nullptr) slash[1] = 0;
}

DWORD ReadLogLevel() {
    HKEY key = nullptr;
    if (RegCreateKeyW(HKEY_LOCAL_MACHINE, kRegistryKey, &key) != ERROR_SUCCESS) return 0;
    DWORD level = 0, type = 0, size = sizeof level;
    if (RegQueryValueExW(key, L"LogLevel", nullptr, &type, reinterpret_cast<BYTE*>(&level), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        level = 0;
        RegSetValueExW(key, L"LogLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level), sizeof level);
    }
    RegCloseKey(key);
    return level;
}

BOOL SetRegistry(WORD languageId) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyW(HKEY_LOCAL_MACHINE, kRegistryKey, &key);
    if (rc != ERROR_SUCCESS) {
        TheLogFile().WriteFormat(LOG_WARN, "SetRegistry :RegCreateKey Failed with error code = %d!\n", static_cast<int>(rc));
        return FALSE;
    }
    BOOL ok = TRUE;
    const DWORD value = languageId;
    rc = RegSetValueExW(key, L"LanguageID", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (rc != ERROR_SUCCESS) {
        TheLogFile().WriteFormat(LOG_WARN, "SetRegistry :RegSetValueEx Failed with error code = %d!\n", static_cast<int>(rc));
        ok = FALSE;
    }
    rc = RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        TheLogFile().WriteFormat(LOG_WARN, "SetRegistry :RegCloseKey Failed with error code = %d!\n", static_cast<int>(rc));
        ok = FALSE;
    }
    return ok;
}

// The language table, read once per process through the Orbel library, which is loaded by full
// path from the suite's folder only for the read.
void ReadLanguageTable(const std::wstring& suite) {
    if (g_language.TableHeld()) return;
    HMODULE orbel = LoadSuiteLibrary(suite, L"Orbel.dll");
    OrbelLanguageCalls calls{};
    if (orbel != nullptr) {
        // The library's decorated names (C++ linkage, cdecl in both builds).
        FARPROC get = GetProcAddress(orbel, "_Z16GetSupportedLangPKcPiPP18LanguageInfoStruct");
        FARPROC release = GetProcAddress(orbel, "_Z7FreeMemP18LanguageInfoStruct");
        static_assert(sizeof calls.getSupportedLang == sizeof get && sizeof calls.freeMem == sizeof release);
        if (get != nullptr && release != nullptr) {
            std::memcpy(&calls.getSupportedLang, &get, sizeof get);
            std::memcpy(&calls.freeMem, &release, sizeof release);
        } else {
            TheLogFile().Write(LOG_WARN, "OpenDS: Orbel.dll lacks GetSupportedLang or FreeMem: reinstall the QOR driver suite.\n");
        }
    }
    if (calls.getSupportedLang == nullptr ||
        !g_language.Init("Language.ini", L"english", g_hInstance, suite.c_str(), calls)) {
        TheLogFile().Write(LOG_FATAL, "OpenDS: CLanguage::Init failed!\n");
    }
    if (orbel != nullptr) FreeLibrary(orbel);
}

TW_UINT16 CloseDS();

TW_UINT16 OpenDS(TripletRecord& t) {
    // A manager sends MSG_OPENDS only for a source it holds closed: a session still open here is
    // one a manager dropped without MSG_CLOSEDS (as when a program closes the manager with the
    // source open). It ends now, as MSG_CLOSEDS would have ended it.
    const bool dropped = m_nState != qor::twain::kState3;
    if (dropped) CloseDS();
    wchar_t directory[MAX_PATH];
    ModuleDirectory(directory, MAX_PATH);
    wchar_t logPath[MAX_PATH + 16];
    swprintf(logPath, MAX_PATH + 16, L"%lsQorSrcLog.txt", directory);
    char ansiPath[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_ACP, 0, logPath, -1, ansiPath, sizeof ansiPath, nullptr, nullptr);
    const DWORD level = ReadLogLevel();
    TheLogFile().Close();
    if (level <= LOG_FATAL) TheLogFile().Open(ansiPath, level);
    TheLogFile().Write(LOG_INFO, "IdentityMsg\n");
    if (dropped) TheLogFile().Write(LOG_WARN, "OpenDS: the previous session was never closed; it was closed first.\n");

    if (t.pData == nullptr) return ReportFailure("General failure in response to MSG_OPENDS.  ", TWCC_BADVALUE);
    m_appIdentity = *t.pOrigin;
    m_dsIdentity = *static_cast<pTW_IDENTITY>(t.pData);
    m_nState = qor::twain::kState4;
    g_bQuiet = false;
    g_capabilities.Build();

    ReadLanguageTable(SuiteFolder());
    const WORD languageId = qor::twain::LanguageIdForTwlg(static_cast<uint16_t>(t.pOrigin->Version.Language));
    TheLogFile().WriteFormat(LOG_INFO, "OpenDS: Twain App Lang ID = 0x%x.\n", static_cast<unsigned>(languageId));
    if (!SetRegistry(languageId)) TheLogFile().Write(LOG_FATAL, "OpenDS: SetRegistry failed!\n");
    if (!g_language.LoadLanguage(languageId)) {
        TheLogFile().Write(LOG_WARN, "OpenDS: Application's language not supported or CLanguage::LoadLanguage failed!\n");
        if (!g_language.LoadLanguage(GetUserDefaultLangID())) {
            TheLogFile().Write(LOG_WARN, "OpenDS: User's local language not supported or CLanguage::LoadLanguage failed!\n");
            g_language.LoadLanguage(L"english");
            TheLogFile().Write(LOG_WARN, "OpenDS: Defaulting language to English!\n");
        }
    }
    return TWRC_SUCCESS;
}

TW_UINT16 CloseDS() {
    TheLogFile().Write(LOG_INFO, "CloseDS\n");
    // The dialog of a session that was never disabled goes with it (its pipe and image buffer
    // too): left in place, its timer would go on polling QOR APP and announcing images to an
    // application that has closed the source, and its Cancel button would ask a closed session
    // to close. Programs expect no window of a source they have closed.
    if (g_hDialog != nullptr) DestroyWindow(g_hDialog);
    g_hDialog = nullptr;
    m_appIdentity.Id = 0;
    m_nState = qor::twain::kState3;
    g_capabilities.Clear();
    ReleaseTransferDib();
    if (!g_language.ReleaseLanguage()) TheLogFile().Write(LOG_WARN, "CloseDS: CLanguage::ReleaseLanguage failed!\n");
    TheLogFile().Close();
    return TWRC_SUCCESS;
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    try {
        switch (message) {
            case WM_INITDIALOG: OnInitDialog(dialog); break;
            case WM_DESTROY: OnClose(); break;
            case WM_TIMER: OnLinkTimer(dialog); break;
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
    g_hParent = static_cast<HWND>(ui->hParent);
    g_bQuiet = ui->ShowUI == FALSE;
    // The dialog's start fetches the first image and may announce it (state 6).
    g_nDialogThread = GetCurrentThreadId();
    g_hDialog = CreateDialogParamW(g_hInstance, MAKEINTRESOURCEW(kDialogId), g_hParent, DialogProc, 0);
    if (g_hDialog == nullptr) {
        m_nState = qor::twain::kState4;
        return ReportFailure("General failure in response to MSG_ENABLEDS.  ", TWCC_LOWMEMORY);
    }
    if (ui->ShowUI) {
        ShowWindow(g_hDialog, SW_SHOW);
        wchar_t caption[200];
        ReadString(132, caption, 200);
        SetWindowTextW(g_hDialog, caption);
    }
    // Without an image the source stays in state 5 and announces the first one that arrives.
    return TWRC_SUCCESS;
}

TW_UINT16 DisableDS() {
    TheLogFile().Write(LOG_INFO, "DisableDS\n");
    if (g_hDialog != nullptr) DestroyWindow(g_hDialog);
    g_hDialog = nullptr;
    ReleaseTransferDib();
    m_nState = qor::twain::kState4;
    return TWRC_SUCCESS;
}

TW_UINT16 IdentityMsg(TripletRecord& t) {
    switch (t.MSG) {
        case MSG_GET:
            TheLogFile().Write(LOG_INFO, "IdentityMsg\n");
            if (t.pData == nullptr) return ReportFailure("General failure in response to DAT_IDENTITY.  ", TWCC_BADVALUE);
            *static_cast<pTW_IDENTITY>(t.pData) = m_dsIdentity;
            return TWRC_SUCCESS;
        case MSG_OPENDS: return OpenDS(t);
        case MSG_CLOSEDS: return CloseDS();
        default:
            TheLogFile().Write(LOG_INFO, "IdentityMsg\n");
            return ReportFailure("General failure in response to DAT_IDENTITY.  ", TWCC_BADPROTOCOL);
    }
}

TW_UINT16 InterfaceMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "InterfaceMsg\n");
    if (t.MSG == MSG_ENABLEDS) return EnableDS(static_cast<pTW_USERINTERFACE>(t.pData));
    if (t.MSG == MSG_DISABLEDS) return DisableDS();
    return ReportFailure("General failure in response to DAT_USERINTERFACE.  ", TWCC_BADPROTOCOL);
}

TW_UINT16 StatusMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "StatusMsg\n");
    if (t.MSG != MSG_GET || t.pData == nullptr) {
        return ReportFailure("General failure in response to DAT_STATUS.  ", TWCC_BADPROTOCOL);
    }
    auto* status = static_cast<pTW_STATUS>(t.pData);
    status->ConditionCode = m_nConditionCode;
    status->Reserved = 0;
    m_nConditionCode = TWCC_SUCCESS;
    return TWRC_SUCCESS;
}

struct TripletTableEntry {
    TW_UINT16 dat;
    TripletHandler handler;
};

constexpr TripletTableEntry kControlTable[] = {
    {DAT_IDENTITY, IdentityMsg},         {DAT_USERINTERFACE, InterfaceMsg},
    {DAT_CAPABILITY, CapabilityMsg},     {DAT_STATUS, StatusMsg},
    {DAT_PENDINGXFERS, PendingXferMsg},  {DAT_SETUPMEMXFER, SetupMemXferMsg},
    {DAT_SETUPFILEXFER, SetupFileXferMsg}, {DAT_XFERGROUP, XferGroupMsg},
    {0, nullptr},
};
constexpr TripletTableEntry kImageTable[] = {
    {DAT_IMAGEINFO, ImageInfoMsg},           {DAT_IMAGELAYOUT, ImageLayoutMsg},
    {DAT_IMAGEMEMXFER, ImageMemXferMsg},     {DAT_IMAGENATIVEXFER, ImageNativeXferMsg},
    {DAT_IMAGEFILEXFER, ImageFileXferMsg},   {DAT_PALETTE8, Palette8Msg},
    {DAT_GRAYRESPONSE, GrayResponseMsg},     {DAT_RGBRESPONSE, RgbResponseMsg},
    {DAT_CIECOLOR, CieColorMsg},             {DAT_JPEGCOMPRESSION, JpegCompressionMsg},
    {0, nullptr},
};

TW_UINT16 ProcessEvent(TW_MEMREF pData) {
    auto* event = static_cast<pTW_EVENT>(pData);
    if (event == nullptr) return TWRC_NOTDSEVENT;
    if (g_nUndeliveredMessage != MSG_NULL) {
        event->TWMessage = g_nUndeliveredMessage;
        g_nUndeliveredMessage = MSG_NULL;
        return TWRC_DSEVENT;
    }
    if (g_hDialog != nullptr && event->pEvent != nullptr &&
        IsDialogMessageW(g_hDialog, static_cast<MSG*>(event->pEvent))) {
        // The dialog's timer may just have announced an image: hand it over at once.
        event->TWMessage = g_nUndeliveredMessage;
        g_nUndeliveredMessage = MSG_NULL;
        return TWRC_DSEVENT;
    }
    return TWRC_NOTDSEVENT;
}

TW_UINT16 Dispatch(TripletRecord& t) {
    if (t.pOrigin == nullptr) return TWRC_FAILURE;
    // Triplets of another application are not ours to answer; MSG_OPENDS is, because the
    // manager sends it only when no session of ours is open in its eyes (the Id of a session
    // it dropped means nothing any more).
    const bool opens = t.DG == DG_CONTROL && t.DAT == DAT_IDENTITY && t.MSG == MSG_OPENDS;
    if (m_appIdentity.Id != 0 && t.pOrigin->Id != m_appIdentity.Id && !opens) return TWRC_FAILURE;
    // Only DAT_EVENT carries an event; MSG_PROCESSEVENT with another DAT is an unknown message
    // of that DAT (its pData is no TW_EVENT).
    if (t.DG == DG_CONTROL && t.DAT == DAT_EVENT && t.MSG == MSG_PROCESSEVENT) return ProcessEvent(t.pData);
    if (t.DG != DG_CONTROL && t.DAT != DAT_STATUS) m_nConditionCode = TWCC_SUCCESS;

    const TripletTableEntry* table = t.DG == DG_CONTROL ? kControlTable : t.DG == DG_IMAGE ? kImageTable : nullptr;
    const TripletTableEntry* entry = nullptr;
    for (const TripletTableEntry* e = table; e != nullptr && e->handler != nullptr; ++e) {
        if (e->dat == t.DAT) {
            entry = e;
            break;
        }
    }
    if (entry == nullptr) {
        m_nConditionCode = TWCC_BADPROTOCOL;
        return TWRC_FAILURE;
    }
    if (const qor::twain::StateRule* rule = qor::twain::FindStateRule(t.DG, t.DAT, t.MSG);
        rule != nullptr && !qor::twain::StateAllowed(*rule, m_nState)) {
        return ReportFailure(rule->context, TWCC_SEQERROR);
    }
    return entry->handler(t);
}

void Notify(TW_UINT16 message) {
    // The manager that loaded us is already in the process; a 64-bit imaging program may use
    // the newer one.
    HMODULE manager = nullptr;
    if constexpr (sizeof(void*) == 8) {
        if (GetModuleHandleW(L"TWAINDSM.DLL") != nullptr) manager = LoadLibraryW(L"TWAINDSM.DLL");
    }
    if (manager == nullptr && GetModuleHandleW(L"TWAIN_32.DLL") != nullptr) manager = LoadLibraryW(L"TWAIN_32.DLL");
    if constexpr (sizeof(void*) == 8) {
        if (manager == nullptr) manager = LoadLibraryW(L"TWAINDSM.DLL");
    }
    if (manager == nullptr) manager = LoadLibraryW(L"TWAIN_32.DLL");
    TW_UINT16 rc = TWRC_FAILURE;
    if (manager != nullptr) {
        if (FARPROC proc = GetProcAddress(manager, "DSM_Entry")) {
            DSMENTRYPROC entry;
            static_assert(sizeof entry == sizeof proc);
            std::memcpy(&entry, &proc, sizeof entry);
            rc = entry(&m_dsIdentity, &m_appIdentity, DG_CONTROL, DAT_NULL, message, nullptr);
        }
        FreeLibrary(manager);
    }
    if (rc != TWRC_SUCCESS) g_nUndeliveredMessage = message;
}

}  // namespace

void ReadString(UINT id, wchar_t* buffer, int size) {
    buffer[0] = 0;
    if (!g_language.ReadStringFromDLL(id, buffer, size)) LoadStringW(g_hInstance, id, buffer, size);
}

void ShowInternalError() {
    // A session without a user interface has nobody to close a box: the return codes say it.
    if (g_bQuiet) return;
    wchar_t text[200], caption[200];
    ReadString(102, text, 200);
    ReadString(132, caption, 200);
    MessageBoxW(g_hParent, text, caption, MB_OK);
}

TW_UINT16 ReportFailure(const char* context, TW_UINT16 code) {
    m_nConditionCode = code;
    TheLogFile().WriteFormat(LOG_WARN, "%s%s\n", context, qor::twain::ConditionText(code));
    ShowInternalError();
    return TWRC_FAILURE;
}

void NotifyXferReady() {
    TheLogFile().Write(LOG_INFO, "NotifyXferReady\n");
    qor::MarkStage("xferready");
    m_nState = qor::twain::kState6;
    Notify(MSG_XFERREADY);
}

void NotifyCloseDSReq() {
    TheLogFile().Write(LOG_INFO, "NotifyCloseDSReq\n");
    Notify(MSG_CLOSEDSREQ);
}

extern "C" TW_UINT16 PASCAL DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                                     TW_MEMREF pData) {
    try {
        TripletRecord t{pOrigin, dg, dat, msg, pData};
        return Dispatch(t);
    } catch (const std::exception&) {
        m_nConditionCode = TWCC_LOWMEMORY;
    } catch (...) {
        m_nConditionCode = TWCC_BUMMER;
    }
    return TWRC_FAILURE;
}

namespace {

// FreeLibrary of the source while it is enabled: its dialog and the dialog's timer must not
// outlive the code they call. DllMain runs under the loader lock, so only what is safe there is
// done: destroying a window of this thread (WM_DESTROY runs OnClose: timer, pipe, buffer) sends
// messages only to this thread. Another thread's window cannot be destroyed from here; it loses
// its dialog procedure (the dialog manager's default handling remains, and a timer message
// without a procedure does nothing).
void EndDialogOnUnload() {
    HWND dialog = g_hDialog;
    g_hDialog = nullptr;
    if (dialog == nullptr || !IsWindow(dialog)) return;
    if (g_nDialogThread == GetCurrentThreadId()) {
        DestroyWindow(dialog);
    } else {
        SetWindowLongPtrW(dialog, DWLP_DLGPROC, 0);
    }
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    return CatchAll<BOOL>(FALSE, [&]() -> BOOL {
        if (reason == DLL_PROCESS_ATTACH) {
            if (instance == nullptr) return FALSE;
            // One process at a time holds the source.
            g_hMutex = CreateMutexW(nullptr, TRUE, L"QOR SRC");
            if (g_hMutex == nullptr) return FALSE;
            if (GetLastError() == ERROR_ALREADY_EXISTS) {
                CloseHandle(g_hMutex);
                g_hMutex = nullptr;
                return FALSE;
            }
            g_hInstance = instance;
            SetUpIdentity();
        } else if (reason == DLL_PROCESS_DETACH) {
            // At process exit (reserved set) the windows go with the process.
            if (reserved == nullptr) EndDialogOnUnload();
            // A taken image the program did not get is already kept in the Images folder.
            ForgetTakenImage();
            if (g_hMutex != nullptr) CloseHandle(g_hMutex);
            g_hMutex = nullptr;
        }
        return TRUE;
    });
}
