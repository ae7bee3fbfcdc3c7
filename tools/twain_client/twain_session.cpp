#include "tools/twain_client/twain_session.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

// The session whose source may call back; one at a time per process, as with any program.
std::atomic<CTwainSession*> s_listener{nullptr};

const char* CallbackName(ManagerChoice::Callback callback) {
    switch (callback) {
        case ManagerChoice::Callback::Callback: return "callback";
        case ManagerChoice::Callback::Callback2: return "callback2";
        default: return "none";
    }
}

}  // namespace

CTwainSession::~CTwainSession() {
    CloseSource();
    CloseManager();
}

bool CTwainSession::OpenManager(const ManagerChoice& choice, std::string& problem) {
    m_choice = choice;
    const wchar_t* dll = choice.twain2 ? L"TWAINDSM.DLL" : L"TWAIN_32.DLL";
    // By name: from the program's own folder or the system's, as programs find their manager.
    m_hManager = LoadLibraryW(dll);
    if (m_hManager == nullptr) {
        problem = choice.twain2 ? "the TWAIN manager could not be loaded; install it (TWAINDSM.DLL) and try again"
                                : "the TWAIN manager could not be loaded; install it (TWAIN_32.DLL) and try again";
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
    m_app.ProtocolMajor = choice.twain2 ? 2 : 1;
    m_app.ProtocolMinor = choice.twain2 ? 4 : 9;
    m_app.SupportedGroups = DG_CONTROL | DG_IMAGE | (choice.twain2 ? DF_APP2 : 0);
    std::strcpy(m_app.Manufacturer, "Halvex Imaging");
    std::strcpy(m_app.ProductFamily, "Tools");
    std::strcpy(m_app.ProductName, "twain_client");
    HWND parent = m_hWindow;
    if (m_pEntry(&m_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent) != TWRC_SUCCESS) {
        problem = "the TWAIN manager refused MSG_OPENDSM";
        return false;
    }
    m_bManagerOpen = true;
    // A 2.x manager says so in our identity and then gives its entry point and memory functions.
    m_entryPoint = TW_ENTRYPOINT{};
    if (choice.twain2 && (m_app.SupportedGroups & DF_DSM2) != 0) {
        m_entryPoint.Size = sizeof m_entryPoint;
        if (m_pEntry(&m_app, nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &m_entryPoint) != TWRC_SUCCESS ||
            m_entryPoint.DSM_MemAllocate == nullptr || m_entryPoint.DSM_MemFree == nullptr ||
            m_entryPoint.DSM_MemLock == nullptr || m_entryPoint.DSM_MemUnlock == nullptr) {
            m_entryPoint = TW_ENTRYPOINT{};
        }
    }
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
    {
        std::lock_guard<std::mutex> hold(m_callbackLock);
        m_callbackMessages.clear();
    }
    return m_choice.callback == ManagerChoice::Callback::None || RegisterCallback(problem);
}

bool CTwainSession::RegisterCallback(std::string& problem) {
    s_listener = this;
    // The manager keeps the procedure as a pointer; our procedure has the entry's signature.
    DSMENTRYPROC procedure = OnSourceMessage;
    void* pointer = nullptr;
    static_assert(sizeof pointer == sizeof procedure);
    std::memcpy(&pointer, &procedure, sizeof pointer);
    if (m_choice.callback == ManagerChoice::Callback::Callback) {
        TW_CALLBACK callback{pointer, 0, 0};
        m_nCallbackRc = Call(DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, &callback);
    } else {
        TW_CALLBACK2 callback{pointer, 0, 0};
        m_nCallbackRc = Call(DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, &callback);
    }
    if (m_nCallbackRc != TWRC_SUCCESS) problem = "the manager refused to register the callback";
    return m_nCallbackRc == TWRC_SUCCESS;
}

TW_UINT16 PASCAL CTwainSession::OnSourceMessage(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32 dg, TW_UINT16 dat,
                                                TW_UINT16 msg, TW_MEMREF) {
    CTwainSession* self = s_listener;
    if (self == nullptr || dg != DG_CONTROL || dat != DAT_NULL) return TWRC_FAILURE;
    // Never call the source from here: the message is taken up by the program's loop.
    {
        std::lock_guard<std::mutex> hold(self->m_callbackLock);
        self->m_callbackMessages.push_back(msg);
        if (GetWindowThreadProcessId(self->m_hWindow, nullptr) != GetCurrentThreadId()) ++self->m_nCallbacksOnOtherThreads;
    }
    PostMessageW(self->m_hWindow, WM_NULL, 0, 0);
    return TWRC_SUCCESS;
}

bool CTwainSession::TakeCallbackMessage(TW_UINT16& message) {
    std::lock_guard<std::mutex> hold(m_callbackLock);
    if (m_callbackMessages.empty()) return false;
    message = m_callbackMessages.front();
    m_callbackMessages.pop_front();
    return true;
}

void CTwainSession::CloseSource() {
    if (!m_bSourceOpen) return;
    m_pEntry(&m_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &m_source);
    m_bSourceOpen = false;
    CTwainSession* self = this;
    s_listener.compare_exchange_strong(self, nullptr);
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

TW_HANDLE CTwainSession::Allocate(TW_UINT32 size) {
    return m_entryPoint.Size != 0 ? m_entryPoint.DSM_MemAllocate(size) : GlobalAlloc(GMEM_MOVEABLE, size);
}

void* CTwainSession::Lock(TW_HANDLE handle) {
    return m_entryPoint.Size != 0 ? m_entryPoint.DSM_MemLock(handle) : GlobalLock(handle);
}

void CTwainSession::Unlock(TW_HANDLE handle) {
    if (m_entryPoint.Size != 0) {
        m_entryPoint.DSM_MemUnlock(handle);
    } else {
        GlobalUnlock(handle);
    }
}

void CTwainSession::Free(TW_HANDLE handle) {
    if (m_entryPoint.Size != 0) {
        m_entryPoint.DSM_MemFree(handle);
    } else {
        GlobalFree(handle);
    }
}

void CTwainSession::Heard(TW_UINT16 message, bool byCallback) {
    m_nLastMessage = message;
    ++(byCallback ? m_nByCallback : m_nByEvent);
}

bool CTwainSession::WaitFor(TW_UINT16 wanted, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    m_nLastMessage = MSG_NULL;
    const auto done = [&](TW_UINT16 message) { return message == wanted || message == MSG_CLOSEDSREQ; };
    while (GetTickCount64() < deadline) {
        TW_UINT16 message = MSG_NULL;
        if (TakeCallbackMessage(message)) {
            Heard(message, true);
            if (done(message)) return message == wanted;
            continue;
        }
        MSG msg;
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            continue;
        }
        // Also with a callback: on Windows the source's window needs the program's events.
        TW_EVENT event{};
        event.pEvent = &msg;
        event.TWMessage = MSG_NULL;
        const TW_UINT16 rc = Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
        if (rc != TWRC_DSEVENT) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (event.TWMessage != MSG_NULL) {
            Heard(event.TWMessage, false);
            if (done(event.TWMessage)) return event.TWMessage == wanted;
        }
    }
    return false;
}

nlohmann::json CTwainSession::ManagerSummary() const {
    char groups[16];
    std::snprintf(groups, sizeof groups, "0x%08lx", static_cast<unsigned long>(m_app.SupportedGroups));
    return nlohmann::json{{"dll", m_choice.twain2 ? "TWAINDSM.DLL" : "TWAIN_32.DLL"},
                          {"pid", GetCurrentProcessId()},  // for the manager's log
                          {"appProtocol", std::to_string(m_app.ProtocolMajor) + "." + std::to_string(m_app.ProtocolMinor)},
                          {"appId", m_app.Id},
                          {"appGroups", groups},
                          {"dsm2", (m_app.SupportedGroups & DF_DSM2) != 0},
                          {"managerMemory", m_entryPoint.Size != 0},
                          {"callback", CallbackName(m_choice.callback)},
                          {"callbackRc", m_choice.callback == ManagerChoice::Callback::None ? -1 : m_nCallbackRc},
                          {"messagesByCallback", m_nByCallback},
                          {"messagesByEvent", m_nByEvent},
                          {"callbacksOnOtherThreads", m_nCallbacksOnOtherThreads},
                          // A 64-bit Windows has no 64-bit TWAIN_32.DLL: nothing may load one.
                          {"twain32Loaded", GetModuleHandleW(L"TWAIN_32.DLL") != nullptr}};
}
