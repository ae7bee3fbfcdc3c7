// ConfirmBox: the text is measured in the system's message font, the box is laid out in pixels
// around it and the template is written in dialog units of the system font's base units.
#include "common/core/catch_all.h"
#include "app/confirm_box.h"

#include <algorithm>
#include <cwchar>
#include <vector>

namespace {

constexpr int kTextLeft = 16;
constexpr int kTextTop = 16;
constexpr int kButtonWidth = 90;
constexpr int kButtonHeight = 26;
constexpr int kButtonPitch = 96;
constexpr int kMinTextAreaHeight = 70;
constexpr size_t kMaxButtonText = 65535;
constexpr WORD kButtonClass = 0x0080;
constexpr WORD kStaticClass = 0x0082;

struct BoxState {
    HFONT font;
    int defaultId;
};

// A DLGTEMPLATE with its items, written word by word with the alignment the format requires.
class TemplateWriter {
public:
    void Words(std::initializer_list<WORD> words) { m_words.insert(m_words.end(), words); }
    void Dword(DWORD value) { Words({LOWORD(value), HIWORD(value)}); }
    void Text(const wchar_t* text) {
        for (; *text != L'\0'; ++text) {
            m_words.push_back(static_cast<WORD>(*text));
        }
        m_words.push_back(0);
    }
    void AlignDword() {
        if (m_words.size() % 2 != 0) {
            m_words.push_back(0);
        }
    }
    void Item(DWORD style, RECT dlu, WORD id, WORD windowClass, const wchar_t* text) {
        AlignDword();
        Dword(style | WS_CHILD | WS_VISIBLE);
        Dword(0);  // extended style
        Words({static_cast<WORD>(dlu.left), static_cast<WORD>(dlu.top),
               static_cast<WORD>(dlu.right), static_cast<WORD>(dlu.bottom), id});
        Words({0xFFFF, windowClass});
        Text(text);
        Words({0});  // no creation data
    }
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words.data()); }
    void SetItemCount(WORD count) { m_words[4] = count; }

private:
    std::vector<WORD> m_words;
};

// Pixels to dialog units. The text's size rounds up, so that measured text is never clipped.
struct Units {
    int baseX, baseY;
    int X(int x) const { return x * 4 / baseX; }
    int Y(int y) const { return y * 8 / baseY; }
    RECT Rect(int x, int y, int cx, int cy) const { return {X(x), Y(y), X(cx), Y(cy)}; }
    RECT TextRect(int x, int y, int cx, int cy) const {
        return {X(x), Y(y), (cx * 4 + baseX - 1) / baseX, (cy * 8 + baseY - 1) / baseY};
    }
};

INT_PTR CALLBACK ConfirmBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    return CatchAll<INT_PTR>(FALSE, [&]() -> INT_PTR {
        switch (message) {
        case WM_INITDIALOG: {
            const auto* state = reinterpret_cast<const BoxState*>(lParam);
            for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
                 child = GetWindow(child, GW_HWNDNEXT)) {
                SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(state->font), FALSE);
            }
            EnableMenuItem(GetSystemMenu(dialog, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
            // System-modal: above every other window (not every system does this for DS_SYSMODAL).
            SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            SendMessageW(dialog, DM_SETDEFID, static_cast<WPARAM>(state->defaultId), 0);
            SetFocus(GetDlgItem(dialog, state->defaultId));
            return FALSE;  // focus set here
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == kConfirmFirstButtonId || LOWORD(wParam) == kConfirmSecondButtonId) {
                EndDialog(dialog, LOWORD(wParam) == kConfirmFirstButtonId ? 1 : 2);
            }
            return TRUE;  // Escape (IDCANCEL) and Enter without a default (IDOK) do nothing
        case WM_SYSCOMMAND:
            // Alt+F4 still sends SC_CLOSE although the menu item is grey.
            return (wParam & 0xFFF0) == SC_CLOSE ? TRUE : FALSE;
        case WM_CLOSE:
            return TRUE;
        default:
            return FALSE;
        }
    });
}

bool ValidArguments(const wchar_t* text, const wchar_t* caption, int buttonCount,
                    int defaultButton, const wchar_t* firstButton, const wchar_t* secondButton) {
    if (text == nullptr || caption == nullptr || firstButton == nullptr) {
        return false;
    }
    if (buttonCount == 1) {
        return defaultButton == 1 && wcslen(firstButton) <= kMaxButtonText;
    }
    return buttonCount == 2 && (defaultButton == 1 || defaultButton == 2) &&
           secondButton != nullptr && wcslen(firstButton) <= kMaxButtonText &&
           wcslen(secondButton) <= kMaxButtonText;
}

}  // namespace

int ConfirmBox(const wchar_t* text, const wchar_t* caption, int buttonCount, int defaultButton,
               const wchar_t* firstButton, const wchar_t* secondButton) {
    if (!ValidArguments(text, caption, buttonCount, defaultButton, firstButton, secondButton)) {
        return 0;
    }
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        return 0;
    }
    HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
    if (font == nullptr) {
        return 0;
    }

    // The text, word-wrapped in a square that leaves room for the box's frame on the screen.
    const int side = GetSystemMetrics(SM_CXSCREEN) / 2 - GetSystemMetrics(SM_CXICON) + 84;
    RECT textRect{0, 0, side, side};
    HDC dc = GetDC(nullptr);
    HGDIOBJ previous = SelectObject(dc, font);
    DrawTextW(dc, text, -1, &textRect, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, previous);
    ReleaseDC(nullptr, dc);
    const int textWidth = textRect.right - textRect.left;
    const int textHeight = textRect.bottom - textRect.top;

    const int rowWidth = kButtonWidth + (buttonCount - 1) * kButtonPitch;
    const int boxWidth = std::max(textWidth + 28, rowWidth + 32);
    const int rowTop = std::max(textHeight + 21, kMinTextAreaHeight) + 10;
    const int boxHeight = rowTop + kButtonHeight + 12;

    const LONG base = GetDialogBaseUnits();
    const Units units{std::max<int>(LOWORD(base), 1), std::max<int>(HIWORD(base), 1)};
    TemplateWriter writer;
    const RECT box = units.Rect(0, 0, boxWidth, boxHeight);
    writer.Dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SYSMODAL);
    writer.Dword(0);
    writer.Words({0, 0, 0, static_cast<WORD>(box.right), static_cast<WORD>(box.bottom)});
    writer.Words({0, 0});  // no menu, the standard dialog class
    writer.Text(caption);
    writer.Item(SS_LEFT | SS_NOPREFIX, units.TextRect(kTextLeft, kTextTop, textWidth, textHeight),
                0xFFFF, kStaticClass, text);
    // The row is centred in dialog units, so rounding cannot push it off centre.
    const int rowLeft = (box.right - (units.X(kButtonWidth) + (buttonCount - 1) * units.X(kButtonPitch))) / 2;
    const wchar_t* labels[2] = {firstButton, secondButton};
    for (int i = 0; i < buttonCount; ++i) {
        const DWORD style =
            WS_TABSTOP | (i + 1 == defaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
        const RECT button{rowLeft + i * units.X(kButtonPitch), units.Y(rowTop), units.X(kButtonWidth),
                          units.Y(kButtonHeight)};
        writer.Item(style, button, static_cast<WORD>(kConfirmFirstButtonId + i), kButtonClass,
                    labels[i]);
    }
    writer.SetItemCount(static_cast<WORD>(1 + buttonCount));

    BoxState state{font, kConfirmFirstButtonId + defaultButton - 1};
    const INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), writer.Get(),
                                                   GetActiveWindow(), ConfirmBoxProc,
                                                   reinterpret_cast<LPARAM>(&state));
    DeleteObject(font);
    return result == 1 || result == 2 ? static_cast<int>(result) : 0;
}
