// DAT_IDENTITY: the source's identity, and the session's open and close (log, language table,
// capabilities).
#include "twain_source/win/identity_msgs.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "common/core/log_file.h"
#include "twain_source/win/app_start.h"
#include "twain_source/win/manager_link.h"
#include "twain_source/win/source_reports.h"
#include "twain_source/win/suite_folder.h"
#include "twain_source/win/transfer_msgs.h"

namespace {

// 1.x programs through a 1.x manager see the protocol they always saw.
constexpr TW_UINT16 kProtocolMinor1x = 9;  // the header's own constants say 1.8
constexpr TW_UINT16 kProtocolMajor2x = 2, kProtocolMinor2x = 4;

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

BOOL SetRegistryInView(WORD languageId, REGSAM view);

// The language QOR APP shows; a 64-bit source also writes it where the 32-bit QOR APP reads it.
BOOL SetRegistry(WORD languageId) {
    BOOL ok = TRUE;
    for (const REGSAM view : SuiteRegistryViews()) {
        if (!SetRegistryInView(languageId, view)) ok = FALSE;
    }
    return ok;
}

BOOL SetRegistryInView(WORD languageId, REGSAM view) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRegistryKey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key,
                              nullptr);
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

void EndSession();

TW_UINT16 OpenDS(TripletRecord& t) {
    // A manager sends MSG_OPENDS only for a source it holds closed: a session still open here is
    // one a manager dropped without MSG_CLOSEDS (as when a program closes the manager with the
    // source open). It ends now, as MSG_CLOSEDS would have ended it.
    const bool dropped = g_session.state != qor::twain::kState3;
    // The entry point the manager gave for this open is kept.
    if (dropped) EndSession();
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
    g_session.appIdentity = *t.pOrigin;
    g_session.dsIdentity = *static_cast<pTW_IDENTITY>(t.pData);
    g_session.state = qor::twain::kState4;
    g_session.quiet = false;
    g_session.capabilities.Build(SessionProtocol());

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

void EndSession() {
    // The dialog of a session that was never disabled goes with it (its pipe and image buffer
    // too): left in place, its timer would go on polling QOR APP and announcing images to an
    // application that has closed the source, and its Cancel button would ask a closed session
    // to close. Programs expect no window of a source they have closed.
    if (g_session.dialog != nullptr) DestroyWindow(g_session.dialog);
    g_session.dialog = nullptr;
    g_session.appIdentity.Id = 0;
    g_session.state = qor::twain::kState3;
    g_session.capabilities.Clear();
    ReleaseTransferDib();
    if (!g_language.ReleaseLanguage()) TheLogFile().Write(LOG_WARN, "CloseDS: CLanguage::ReleaseLanguage failed!\n");
    TheLogFile().Close();
}

TW_UINT16 CloseDS() {
    TheLogFile().Write(LOG_INFO, "CloseDS\n");
    EndSession();
    // The next session may come through another manager.
    ForgetManagerEntry();
    return TWRC_SUCCESS;
}


}  // namespace

void SetUpIdentity() {
    g_session.appIdentity.Id = 0;
    g_session.dsIdentity = TW_IDENTITY{};
    g_session.dsIdentity.Id = 0;
    g_session.dsIdentity.Version.MajorNum = 1;
    g_session.dsIdentity.Version.MinorNum = 0;
    g_session.dsIdentity.Version.Language = TWLG_USA;
    g_session.dsIdentity.Version.Country = TWCY_USA;
    FillIdentityString(3, g_session.dsIdentity.Version.Info);
    g_session.dsIdentity.ProtocolMajor = 1;
    g_session.dsIdentity.ProtocolMinor = kProtocolMinor1x;
    g_session.dsIdentity.SupportedGroups = DG_CONTROL | DG_IMAGE;
    FillIdentityString(0, g_session.dsIdentity.Manufacturer);
    FillIdentityString(1, g_session.dsIdentity.ProductFamily);
    FillIdentityString(2, g_session.dsIdentity.ProductName);
}

// The identity a manager reads (with a null origin when it lists the sources): 2.x with DF_DS2
// when a 2.x manager asks, so that it gives its entry point and its programs use the 2.x
// mechanics; for a 1.x manager as it always was.
TW_IDENTITY OwnIdentity() {
    // The manager's copy from MSG_OPENDS carries the Id it gave, and what was said to it then.
    TW_IDENTITY identity = g_session.dsIdentity;
    identity.ProtocolMajor = 1;
    identity.ProtocolMinor = kProtocolMinor1x;
    identity.SupportedGroups = DG_CONTROL | DG_IMAGE;
    if (ManagerIsTwain2()) {
        identity.SupportedGroups |= DF_DS2;
        identity.ProtocolMajor = kProtocolMajor2x;
        identity.ProtocolMinor = kProtocolMinor2x;
    }
    return identity;
}

TW_UINT16 IdentityMsg(TripletRecord& t) {
    switch (t.MSG) {
        case MSG_GET:
            TheLogFile().Write(LOG_INFO, "IdentityMsg\n");
            if (t.pData == nullptr) return ReportFailure("General failure in response to DAT_IDENTITY.  ", TWCC_BADVALUE);
            *static_cast<pTW_IDENTITY>(t.pData) = OwnIdentity();
            return TWRC_SUCCESS;
        case MSG_OPENDS: return OpenDS(t);
        case MSG_CLOSEDS: return CloseDS();
        default:
            TheLogFile().Write(LOG_INFO, "IdentityMsg\n");
            return ReportFailure("General failure in response to DAT_IDENTITY.  ", TWCC_BADPROTOCOL);
    }
}
