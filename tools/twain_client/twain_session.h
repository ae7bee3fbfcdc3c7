// An imaging program's side of TWAIN: everything goes through the manager's DSM_Entry. As a 1.9
// program through TWAIN_32.DLL, or as a 2.x program through TWAINDSM.DLL, which then hands out
// its memory functions and may carry the source's messages to a callback.
#pragma once
#include <windows.h>
// after windows.h
#include "twain.h"
#include "external/twaindsm/twain2.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct ManagerChoice {
    enum class Callback { None, Callback, Callback2 };
    bool twain2 = false;  // TWAINDSM.DLL as a 2.x program; else TWAIN_32.DLL as a 1.9 one
    Callback callback = Callback::None;
};

class CTwainSession {
public:
    CTwainSession() = default;
    ~CTwainSession();
    CTwainSession(const CTwainSession&) = delete;
    CTwainSession& operator=(const CTwainSession&) = delete;

    // Loads the manager and opens it with a hidden window of our own as the parent.
    bool OpenManager(const ManagerChoice& choice, std::string& problem);
    std::vector<TW_IDENTITY> Sources();
    // Opens the source and, when chosen, registers the callback for its messages.
    bool OpenSource(const std::string& productName, std::string& problem);
    void CloseSource();
    void CloseManager();
    // MSG_CLOSEDSM with the source still open, as programs that quit their TWAIN part in a hurry
    // do; the manager answers for the source from then on.
    void CloseManagerLeavingSourceOpen();

    TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    TW_UINT16 Condition();  // DAT_STATUS of the source
    const TW_IDENTITY& Source() const { return m_source; }
    HWND Window() const { return m_hWindow; }

    // Memory the program hands to the source or frees for it: the manager's functions when a
    // 2.x manager gave them, global memory otherwise.
    TW_HANDLE Allocate(TW_UINT32 size);
    void* Lock(TW_HANDLE handle);
    void Unlock(TW_HANDLE handle);
    void Free(TW_HANDLE handle);

    // Pumps messages through MSG_PROCESSEVENT until the source sends `wanted` (by an event or the
    // callback) or the time is up.
    bool WaitFor(TW_UINT16 wanted, DWORD timeoutMs);
    TW_UINT16 LastSourceMessage() const { return m_nLastMessage; }

    // The manager as this program met it, and how the source's messages reached it.
    nlohmann::json ManagerSummary() const;

private:
    static TW_UINT16 PASCAL OnSourceMessage(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                                            TW_UINT16 msg, TW_MEMREF refCon);
    bool RegisterCallback(std::string& problem);
    bool TakeCallbackMessage(TW_UINT16& message);
    void Heard(TW_UINT16 message, bool byCallback);

    ManagerChoice m_choice;
    HMODULE m_hManager = nullptr;
    DSMENTRYPROC m_pEntry = nullptr;
    TW_ENTRYPOINT m_entryPoint{};  // Size 0 until DAT_ENTRYPOINT answered
    HWND m_hWindow = nullptr;
    TW_IDENTITY m_app{};
    TW_IDENTITY m_source{};
    bool m_bManagerOpen = false;
    bool m_bSourceOpen = false;
    TW_UINT16 m_nLastMessage = MSG_NULL;
    TW_UINT16 m_nCallbackRc = TWRC_FAILURE;
    int m_nByCallback = 0, m_nByEvent = 0, m_nCallbacksOnOtherThreads = 0;
    // The callback may come on any thread; the program acts on it in its own loop.
    std::mutex m_callbackLock;
    std::deque<TW_UINT16> m_callbackMessages;
};
