// The welcome screen's window.
#include "welcome/win/qor_welcome.h"

#include "welcome/core/result_lines.h"
#include "welcome/core/welcome_layout.h"
#include "welcome/win/welcome_logo.h"

#include <vector>

namespace {

using welcome::ControlId;

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

int Px(int32_t twips) { return welcome::TwipsToPixels(twips); }

// The folder the program was started in: the medium's scripts are looked for there.
std::wstring CurrentFolder() {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
    std::wstring result(folder, length < MAX_PATH ? length : 0);
    if (!result.empty() && result.back() != L'\\') {
        result += L'\\';
    }
    return result;
}

std::wstring FromAnsi(const std::string& bytes) {
    if (bytes.empty()) {
        return {};
    }
    const int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                                           nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                        length);
    return text;
}

}  // namespace

bool QOR_Welcome::Create(HINSTANCE instance, int show) {
    m_hInstance = instance;
    m_hIcon = welcome::MakeLogoIcon();
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = m_hIcon;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = kClassName;
    if (RegisterClassW(&windowClass) == 0) {
        return false;
    }
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame{0, 0, Px(welcome::kClientWidthTwips), Px(welcome::kClientHeightTwips)};
    AdjustWindowRect(&frame, style, FALSE);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    m_hWnd = CreateWindowW(kClassName, Wide(welcome::kCaption), style, x > 0 ? x : 0,
                           y > 0 ? y : 0, width, height, nullptr, nullptr, instance, this);
    if (m_hWnd == nullptr) {
        return false;
    }
    ShowWindow(m_hWnd, show);
    UpdateWindow(m_hWnd);
    return true;
}

int QOR_Welcome::Run() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(m_hWnd, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return 0;
}

LRESULT CALLBACK QOR_Welcome::WindowProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<QOR_Welcome*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->m_hWnd = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<QOR_Welcome*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    try {
        return self->Handle(message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

LRESULT QOR_Welcome::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        CreateControls();
        return 0;
    case WM_PAINT:
        Paint();
        return 0;
    case WM_ERASEBKGND:
        return 1;  // the picture covers the whole client area
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetBkColor(dc, RGB(255, 255, 255));
        SetTextColor(dc, RGB(0, 0, 0));
        return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    }
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) {
            switch (static_cast<ControlId>(LOWORD(wParam))) {
            case ControlId::PDF:
                OnPDF();
                break;
            case ControlId::installQor:
                OnInstallQor();
                break;
            case ControlId::exit:
                OnExit();
                break;
            default:
                break;
            }
        }
        return 0;
    case WM_DESTROY:
        m_bQuitting = true;
        if (m_hPicture != nullptr) {
            DeleteObject(m_hPicture);
        }
        if (m_hFont != nullptr) {
            DeleteObject(m_hFont);
        }
        for (HFONT font : m_hFittedFonts) {
            DeleteObject(font);
        }
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(m_hWnd, message, wParam, lParam);
    }
}

void QOR_Welcome::CreateControls() {
    HDC screen = GetDC(m_hWnd);
    const int pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
    m_hPicture = welcome::MakeLogoPicture(screen, Px(welcome::kClientWidthTwips),
                                          Px(welcome::kClientHeightTwips));
    ReleaseDC(m_hWnd, screen);
    // The platform substitutes its own face when "MS Sans Serif" is missing.
    m_nFontHeight = MulDiv(welcome::kFontPoints, pixelsPerInch, 72);
    m_hFont = MakeFont(m_nFontHeight);
    HFONT buttonFont = ButtonFont();
    for (const welcome::ControlLayout& layout : welcome::kControls) {
        const bool button = layout.kind == welcome::ControlKind::PushButton;
        const DWORD style = WS_CHILD | WS_VISIBLE |
                            (button ? static_cast<DWORD>(BS_PUSHBUTTON | BS_MULTILINE | WS_TABSTOP)
                                    : static_cast<DWORD>(SS_LEFT | SS_NOPREFIX));
        HWND control = CreateWindowW(
            button ? L"BUTTON" : L"STATIC", Wide(layout.text), style, Px(layout.left), Px(layout.top),
            Px(layout.width), Px(layout.height), m_hWnd,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.id)), m_hInstance, nullptr);
        HFONT font = button ? buttonFont : FontFitting(layout);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
}

HFONT QOR_Welcome::MakeFont(int pixels) const {
    return CreateFontW(-pixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       VARIABLE_PITCH | FF_SWISS, Wide(welcome::kFontName));
}

// The three buttons share one size: the largest at which every caption fits, wrapped onto two
// lines where needed (the buttons are multi-line). Fitting each one alone made the two long
// captions much smaller than "Exit".
HFONT QOR_Welcome::ButtonFont() {
    constexpr int kMinimumPixels = 8;
    constexpr int kBorderPixels = 8;  // the button's frame and the focus rectangle's margin
    HDC dc = GetDC(m_hWnd);
    HFONT font = m_hFont;
    for (int pixels = m_nFontHeight; pixels >= kMinimumPixels; --pixels) {
        HFONT candidate = pixels == m_nFontHeight ? m_hFont : MakeFont(pixels);
        HGDIOBJ old = SelectObject(dc, candidate);
        bool fits = true;
        for (const welcome::ControlLayout& layout : welcome::kControls) {
            if (layout.kind != welcome::ControlKind::PushButton) {
                continue;
            }
            const int width = Px(layout.width) - kBorderPixels;
            RECT needed{0, 0, width, 0};
            DrawTextW(dc, Wide(layout.text), -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
            fits = fits && needed.right <= width && needed.bottom <= Px(layout.height) - kBorderPixels;
        }
        SelectObject(dc, old);
        if (font != m_hFont) {
            DeleteObject(font);
        }
        font = candidate;
        if (fits) {
            break;
        }
    }
    ReleaseDC(m_hWnd, dc);
    if (font != m_hFont) {
        m_hFittedFonts.push_back(font);
    }
    return font;
}

// The platform's substitute for "MS Sans Serif" may be wider than the original face: a label
// whose text would be cut off gets a smaller size of the same face.
HFONT QOR_Welcome::FontFitting(const welcome::ControlLayout& layout) {
    const int width = Px(layout.width);
    const int height = Px(layout.height);
    const UINT format = DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX;
    HDC dc = GetDC(m_hWnd);
    HFONT font = m_hFont;
    for (int pixels = m_nFontHeight; pixels >= 7; --pixels) {
        HFONT candidate = pixels == m_nFontHeight ? m_hFont : MakeFont(pixels);
        HGDIOBJ old = SelectObject(dc, candidate);
        RECT needed{0, 0, width, 0};
        DrawTextW(dc, Wide(layout.text), -1, &needed, format);
        SelectObject(dc, old);
        if (font != m_hFont) {
            DeleteObject(font);
        }
        font = candidate;
        if (needed.right <= width && needed.bottom <= height) {
            break;
        }
    }
    ReleaseDC(m_hWnd, dc);
    if (font != m_hFont) {
        m_hFittedFonts.push_back(font);
    }
    return font;
}

void QOR_Welcome::Paint() {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    RECT client;
    GetClientRect(m_hWnd, &client);
    HDC memory = m_hPicture != nullptr ? CreateCompatibleDC(dc) : nullptr;
    if (memory != nullptr) {
        HGDIOBJ old = SelectObject(memory, m_hPicture);
        BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
        SelectObject(memory, old);
        DeleteDC(memory);
    } else {
        FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    }
    EndPaint(m_hWnd, &paint);
}

bool QOR_Welcome::StartScript(const wchar_t* script, int show, HANDLE* running) {
    // Batch files run through the command interpreter; the path is quoted because the medium
    // may sit in a folder with blanks in its name.
    wchar_t interpreter[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"ComSpec", interpreter, MAX_PATH) == 0 ||
        interpreter[0] == L'\0') {
        lstrcpyW(interpreter, L"cmd.exe");
    }
    const std::wstring path = CurrentFolder() + script;
    std::wstring commandLine =
        L"\"" + std::wstring(interpreter) + L"\" /c \"\"" + path + L"\"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(show);
    PROCESS_INFORMATION process{};
    const bool started = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES &&
                         CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &process);
    if (!started) {
        const std::wstring text = L"Unable to start " + path +
                                  L". Start QorWelcomeScreen.exe from the folder of the "
                                  L"installation medium, or run the script from there yourself.";
        MessageBoxW(m_hWnd, text.c_str(), L"Installation Problem", MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    CloseHandle(process.hThread);
    if (running != nullptr) {
        *running = process.hProcess;
    } else {
        CloseHandle(process.hProcess);
    }
    return true;
}

void QOR_Welcome::OnPDF() { StartScript(L"openPDF.bat", SW_SHOWNORMAL); }

void QOR_Welcome::OnInstallQor() {
    // One installation at a time: the button is inert while the result is awaited.
    if (m_bInstalling) {
        return;
    }
    HANDLE script = nullptr;
    if (!StartScript(L"DriverInstallation.cmd", SW_HIDE, &script)) {
        return;  // nothing runs, so no result can come: waiting would only suggest success
    }
    m_bInstalling = true;
    EnableWindow(GetDlgItem(m_hWnd, static_cast<int>(ControlId::installQor)), FALSE);
    // The result is complete only when the script has ended (ending a running QOR APP alone may
    // take half a minute): an empty result file then, and only then, means success.
    const bool ended = WaitFor(script);
    CloseHandle(script);
    if (!ended) {
        return;  // the window has been closed
    }
    // Only lines this installation wrote make a failure; the box then shows them after those of
    // earlier runs, as the text has always grown.
    const size_t before = m_szResultText.size();
    const bool showResult = ReadResultFile() && m_szResultText.size() > before;
    m_bInstalling = false;
    EnableWindow(GetDlgItem(m_hWnd, static_cast<int>(ControlId::installQor)), TRUE);
    if (showResult) {
        MessageBoxW(m_hWnd, m_szResultText.c_str(), L"Installation Error",
                    MB_OK | MB_ICONEXCLAMATION);
    }
}

void QOR_Welcome::OnExit() { DestroyWindow(m_hWnd); }

bool QOR_Welcome::WaitFor(HANDLE process) {
    for (;;) {
        const DWORD wait = MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_FAILED) {
            return !m_bQuitting;
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam));  // for the main loop
                return false;
            }
            if (!IsDialogMessageW(m_hWnd, &message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        if (m_bQuitting) {
            return false;
        }
    }
}

bool QOR_Welcome::ReadResultFile() {
    const DWORD attributes = GetFileAttributesW(kResultFile);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;  // no result yet
    }
    std::string content;
    bool read = (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (read) {
        m_hResultFile = CreateFileW(kResultFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        read = m_hResultFile != INVALID_HANDLE_VALUE;
    }
    if (read) {
        char buffer[4096];
        DWORD got = 0;
        while ((read = ReadFile(m_hResultFile, buffer, sizeof buffer, &got, nullptr) != 0) &&
               got > 0) {
            content.append(buffer, got);
        }
        CloseHandle(m_hResultFile);
        m_hResultFile = INVALID_HANDLE_VALUE;
    }
    if (!read) {
        // Lines of a read that failed half-way are not shown as a result.
        MessageBoxW(m_hWnd, L"Unable to open the file C:\\qor\\result.txt", L"Installation Problem",
                    MB_OK);
        return false;
    }
    for (const std::string& line : welcome::SplitResultLines(content)) {
        m_szLastLine = FromAnsi(line);
        m_szResultText += m_szLastLine + L"\r\n";
    }
    return true;
}
