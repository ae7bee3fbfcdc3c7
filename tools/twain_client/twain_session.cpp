#include "tools/twain_client/twain_session.h"

#include <cstring>

CTwainSession::~CTwainSession() {
    CloseSource();
    CloseManager();
}

bool CTwainSession::OpenManager(const wchar_t* managerDll, std::string& problem) {
    m_hManager = LoadLibraryW(managerDll);
    if (m_hManager == nullptr) {
        problem = "the TWAIN manager could not be loaded; install it (TWAIN_32.DLL) and try again";
        return false;
    }
    FARPROC proc = GetProcAddress(m_hManager, "DSM_Entry");
    if (proc == nullptr) {
        problem = "the TWAIN manager has no DSM_Entry; reinstall it";
        return false;
    }
    static_assert(sizeof m_pEntry == sizeof proc);
    std::memcpy(&m_pEntry, &proc, sizeof proc);
    m_hWindow = CreateWindowExW(0, L"STATIC", L"QOR TWAIN client", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    m_app = TW_IDENTITY{};
    m_app.Version.MajorNum = 1;
    m_app.Version.Language = TWLG_USA;
    m_app.Version.Country = TWCY_USA;
    std::strcpy(m_app.Version.Info, "1.0");
    m_app.ProtocolMajor = 1;
    m_app.ProtocolMinor = 9;
    m_app.SupportedGroups = DG_CONTROL | DG_IMAGE;
    std::strcpy(m_app.Manufacturer, "Halvex Imaging");
    std::strcpy(m_app.ProductFamily, "Tools");
    std::strcpy(m_app.ProductName, "twain_client");
    HWND parent = m_hWindow;
    if (m_pEntry(&m_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent) != TWRC_SUCCESS) {
        problem = "the TWAIN manager refused MSG_OPENDSM";
        return false;
    }
    m_bManagerOpen = true;
    return true;
}

std::vector<TW_IDENTITY> CTwainSession::Sources() {
    std::vector<TW_IDENTITY> out;
    TW_IDENTITY id{};
    TW_UINT16 rc = m_pEntry(&m_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &id);
    while (rc == TWRC_SUCCESS && out.size() < 64) {
        out.push_back(id);
        rc = m_pEntry(&m_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &id);
    }
    return out;
}

bool CTwainSession::OpenSource(const std::string& productName, std::string& problem) {
    // The manager opens another source when it does not know the name: check first.
    bool known = false;
    for (const TW_IDENTITY& id : Sources()) {
        if (productName == id.ProductName) {
            m_source = id;
            known = true;
        }
    }
    if (!known) {
        problem = "no TWAIN source named \"" + productName + "\" is installed; install it or name another (--list)";
        return false;
    }
    if (m_pEntry(&m_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &m_source) != TWRC_SUCCESS) {
        problem = "the source refused MSG_OPENDS; see its log (QorSrcLog.txt)";
        return false;
    }
    m_bSourceOpen = true;
    return true;
}

void CTwainSession::CloseSource() {
    if (!m_bSourceOpen) return;
    m_pEntry(&m_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &m_source);
    m_bSourceOpen = false;
}

void CTwainSession::CloseManager() {
    if (m_bManagerOpen) {
        HWND parent = m_hWindow;
        m_pEntry(&m_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent);
        m_bManagerOpen = false;
    }
    if (m_hWindow != nullptr) DestroyWindow(m_hWindow);
    m_hWindow = nullptr;
    // The manager stays loaded: Wine's keeps sources mapped that still own windows.
}

void CTwainSession::CloseManagerLeavingSourceOpen() {
    m_bSourceOpen = false;
    CloseManager();
}

TW_UINT16 CTwainSession::Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    return m_pEntry(&m_app, &m_source, dg, dat, msg, data);
}

TW_UINT16 CTwainSession::Condition() {
    TW_STATUS status{};
    Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    return status.ConditionCode;
}

bool CTwainSession::WaitFor(TW_UINT16 wanted, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    m_nLastMessage = MSG_NULL;
    while (GetTickCount64() < deadline) {
        MSG msg;
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            continue;
        }
        TW_EVENT event{};
        event.pEvent = &msg;
        event.TWMessage = MSG_NULL;
        const TW_UINT16 rc = Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
        if (rc != TWRC_DSEVENT) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (event.TWMessage != MSG_NULL) {
            m_nLastMessage = event.TWMessage;
            if (event.TWMessage == wanted || event.TWMessage == MSG_CLOSEDSREQ) return event.TWMessage == wanted;
        }
    }
    return false;
}
