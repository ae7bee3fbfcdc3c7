// CSystemTray: the notification-area icon of QOR APP (sensor icon and images icon).
#include "app/system_tray.h"

#include "common/core/catch_all.h"
#include "common/core/log_file.h"

#include <cwchar>

namespace {

constexpr wchar_t kWindowClass[] = L"QorTrayIconWindow";
constexpr UINT_PTR kAnimationTimer = 1;

ATOM RegisterTrayClass(WNDPROC procedure) {
    static ATOM atom = 0;
    if (atom == 0) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = procedure;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kWindowClass;
        atom = RegisterClassExW(&wc);
    }
    return atom;
}

// Copies at most `maxChars` characters and always terminates; the destination holds
// `capacity` characters, so the terminator never falls outside it.
template <size_t capacity>
void CopyTruncated(wchar_t (&destination)[capacity], const wchar_t* source, size_t maxChars) {
    if (maxChars >= capacity) {
        maxChars = capacity - 1;
    }
    size_t n = 0;
    if (source != nullptr) {
        while (n < maxChars && source[n] != L'\0') {
            destination[n] = source[n];
            ++n;
        }
    }
    destination[n] = L'\0';
}

}  // namespace

CSystemTray::CSystemTray() = default;

CSystemTray::~CSystemTray() {
    if (m_uTimerID != 0 && m_hWnd != nullptr) {
        KillTimer(m_hWnd, m_uTimerID);
        m_uTimerID = 0;
    }
    RemoveIcon();
    m_bCreated = FALSE;
    DestroyHiddenWindow();
}

BOOL CSystemTray::Create(HWND mainWindow, UINT callbackMessage, UINT leftButtonMessage,
                         UINT rightButtonMessage, const wchar_t* tip, HICON icon, UINT id,
                         const wchar_t* balloonText, const wchar_t* balloonTitle,
                         DWORD balloonFlags, UINT timeout) {
    m_hMainWindow = mainWindow;
    m_uCallbackMessage = callbackMessage;
    m_uLeftButtonMessage = leftButtonMessage;
    m_uRightButtonMessage = rightButtonMessage;

    DestroyHiddenWindow();
    RegisterTrayClass(&CSystemTray::WindowProc);
    m_hWnd = CreateWindowExW(0, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                             GetModuleHandleW(nullptr), this);

    m_nid = NOTIFYICONDATAW{};
    m_nid.cbSize = kRecordSize;
    m_nid.hWnd = m_hWnd;
    m_nid.uID = id;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.uCallbackMessage = callbackMessage;
    m_nid.hIcon = icon;
    CopyTruncated(m_nid.szTip, tip, 63);
    if (balloonTitle != nullptr) {
        CopyTruncated(m_nid.szInfoTitle, balloonTitle, 63);
        m_nid.dwInfoFlags = balloonFlags;
    }
    if (balloonText != nullptr) {
        CopyTruncated(m_nid.szInfo, balloonText, 256);
    }
    m_nid.uTimeout = timeout;

    m_bCreated = TRUE;
    m_bCreated = m_hWnd != nullptr && Shell_NotifyIconW(NIM_ADD, &m_nid);
    if (m_bCreated) {
        TheLogFile().Write(LOG_INFO, "CSystemTray::Create : Tray Icon Created Successfully. \n");
    } else {
        TheLogFile().Write(LOG_WARN, "CSystemTray::Create : Tray Icon Creation Failed. \n");
    }
    return m_bCreated;
}

BOOL CSystemTray::SetIcon(HICON icon) {
    if (!m_bCreated) {
        return FALSE;
    }
    m_nid.uFlags = NIF_ICON;
    m_nid.hIcon = icon;
    return Shell_NotifyIconW(NIM_MODIFY, &m_nid);
}

BOOL CSystemTray::ShowBalloon(const wchar_t* text, const wchar_t* title, DWORD balloonFlags,
                              UINT timeout) {
    if (!m_bCreated) {
        return FALSE;
    }
    m_nid.uFlags = NIF_INFO;
    CopyTruncated(m_nid.szInfo, text, 256);
    CopyTruncated(m_nid.szInfoTitle, title, 64);
    m_nid.dwInfoFlags = balloonFlags;
    m_nid.uTimeout = timeout;
    const BOOL result = Shell_NotifyIconW(NIM_MODIFY, &m_nid);
    // A later modification must not show the same balloon again.
    m_nid.szInfo[0] = L'\0';
    return result;
}

BOOL CSystemTray::Animate(HICON frame1, HICON frame2, UINT periodMs) {
    if (!m_bCreated) {
        TheLogFile().Write(LOG_WARN, "CSystemTray::Animate : Notify Icon not created! \n");
        return FALSE;
    }
    m_hFrame1 = frame1;
    m_hFrame2 = frame2;
    if (m_uTimerID == 0) {
        m_uTimerID = SetTimer(m_hWnd, kAnimationTimer, periodMs, nullptr);
    }
    return TRUE;
}

BOOL CSystemTray::StopAnimation() {
    if (!m_bCreated || m_uTimerID == 0) {
        TheLogFile().Write(LOG_WARN,
                           "CSystemTray::StopAnimation : Tray Icon not created or  m_uTimerID =0 . \n");
        return FALSE;
    }
    const BOOL result = KillTimer(m_hWnd, m_uTimerID);
    m_uTimerID = 0;
    return result;
}

BOOL CSystemTray::RemoveIcon() {
    if (!m_bCreated) {
        return FALSE;
    }
    if (m_uTimerID != 0) {
        KillTimer(m_hWnd, m_uTimerID);
        m_uTimerID = 0;
    }
    m_nid.cbSize = kRecordSize;
    m_nid.uFlags = 0;
    const BOOL result = Shell_NotifyIconW(NIM_DELETE, &m_nid);
    DestroyHiddenWindow();
    if (result) {
        TheLogFile().Write(LOG_INFO, "CSystemTray::RemoveIcon : Tray Icon Removed Successfully. \n");
    } else {
        TheLogFile().Write(LOG_WARN, "CSystemTray::RemoveIcon :  Removal of Tray Icon Failed. \n");
    }
    m_bCreated = FALSE;
    return result;
}

LRESULT CSystemTray::OnTrayNotification(WPARAM id, LPARAM mouseMessage) {
    if (id != m_nid.uID) {
        return 0;
    }
    POINT cursor{};
    GetCursorPos(&cursor);
    UINT post = 0;
    switch (LOWORD(mouseMessage)) {
    case WM_LBUTTONDOWN:
        post = m_uLeftButtonMessage;
        break;
    case WM_RBUTTONDOWN:
        post = m_uRightButtonMessage;
        break;
    default:
        break;
    }
    if (post != 0 && m_hMainWindow != nullptr) {
        PostMessageW(m_hMainWindow, post, static_cast<WPARAM>(cursor.x),
                     static_cast<LPARAM>(cursor.y));
    }
    return 1;
}

void CSystemTray::OnTimer() {
    if (!m_bCreated) {
        return;
    }
    m_nid.uFlags = NIF_ICON;
    if (m_bPhase) {
        m_nid.hIcon = m_hFrame2;
        m_bPhase = FALSE;
    } else {
        m_nid.hIcon = m_hFrame1;
        m_bPhase = TRUE;
    }
    Shell_NotifyIconW(NIM_MODIFY, &m_nid);
}

void CSystemTray::DestroyHiddenWindow() {
    if (m_hWnd != nullptr) {
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
        DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
}

LRESULT CALLBACK CSystemTray::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return CatchAll<LRESULT>(0, [&]() -> LRESULT {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<CSystemTray*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self != nullptr) {
            if (message == self->m_uCallbackMessage && message != 0) {
                return self->OnTrayNotification(wParam, lParam);
            }
            if (message == WM_TIMER && wParam == kAnimationTimer) {
                self->OnTimer();
                return 0;
            }
            if (message == WM_CLOSE) {
                // The icon's window lives as long as the icon; the main window ends the program.
                return 0;
            }
        }
        return DefWindowProcW(window, message, wParam, lParam);
    });
}
