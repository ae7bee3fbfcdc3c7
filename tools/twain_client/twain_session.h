// An imaging program's side of TWAIN 1.x: everything goes through the manager's DSM_Entry.
#pragma once
#include <windows.h>
// after windows.h
#include "twain.h"

#include <cstdint>
#include <string>
#include <vector>

class CTwainSession {
public:
    CTwainSession() = default;
    ~CTwainSession();
    CTwainSession(const CTwainSession&) = delete;
    CTwainSession& operator=(const CTwainSession&) = delete;

    // Loads the manager and opens it with a hidden window of our own as the parent.
    bool OpenManager(const wchar_t* managerDll, std::string& problem);
    std::vector<TW_IDENTITY> Sources();
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

    // Pumps messages through MSG_PROCESSEVENT until the source sends `wanted` or the time is up.
    bool WaitFor(TW_UINT16 wanted, DWORD timeoutMs);
    TW_UINT16 LastSourceMessage() const { return m_nLastMessage; }

private:
    HMODULE m_hManager = nullptr;
    DSMENTRYPROC m_pEntry = nullptr;
    HWND m_hWindow = nullptr;
    TW_IDENTITY m_app{};
    TW_IDENTITY m_source{};
    bool m_bManagerOpen = false;
    bool m_bSourceOpen = false;
    TW_UINT16 m_nLastMessage = MSG_NULL;
};
