// QOR_Welcome: the installation medium's first window. It starts the medium's two scripts and
// shows what the driver installation wrote into its result file.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace welcome {
struct ControlLayout;
}

class QOR_Welcome {
public:
    static constexpr const wchar_t* kClassName = L"QOR_Welcome";
    static constexpr const wchar_t* kResultFile = L"C:\\qor\\result.txt";

    // Creates and shows the window; false when it cannot be made.
    bool Create(HINSTANCE instance, int show);
    // Runs the window until it is closed; the program's exit code.
    int Run();

    // Lets the window handle its messages until `process` has ended, so it stays responsive.
    // False when the program is ending (the window was closed meanwhile).
    bool WaitFor(HANDLE process);
    // Adds the lines of the result file, each with CR LF, to the result text.
    // False when the file exists but cannot be read (after telling the user).
    bool ReadResultFile();

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    HFONT MakeFont(int pixels) const;
    HFONT FontFitting(const welcome::ControlLayout& layout);
    HFONT ButtonFont();
    void OnPDF();
    void OnInstallQor();
    void OnExit();
    // Starts a script of the medium's folder; `running` (when given) receives its process.
    bool StartScript(const wchar_t* script, int show, HANDLE* running = nullptr);
    void Paint();

    HWND m_hWnd = nullptr;
    HINSTANCE m_hInstance = nullptr;
    HFONT m_hFont = nullptr;
    int m_nFontHeight = 11;
    std::vector<HFONT> m_hFittedFonts;
    HBITMAP m_hPicture = nullptr;
    HICON m_hIcon = nullptr;
    // The result file while it is read (the "file number").
    HANDLE m_hResultFile = INVALID_HANDLE_VALUE;
    std::wstring m_szResultText;  // never emptied: a second installation adds to it
    std::wstring m_szLastLine;
    bool m_bInstalling = false;
    bool m_bQuitting = false;
};
