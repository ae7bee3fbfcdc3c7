// The UI robot of the Windows tests: finds real windows (of this or another process), reads their
// texts and geometry, presses their buttons and keeps PNG screenshots of them as test artefacts.
// Every call polls with a time-out, so a window that never comes cannot hang an automated run.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace ui {

// The first visible top-level window whose title starts with `titlePrefix` (and whose class is
// `className` when given); nullptr after `timeoutMs`.
HWND WaitForWindow(const std::wstring& titlePrefix, int timeoutMs,
                   const wchar_t* className = nullptr);

// Top-level windows, visible or not; those of one process when `processId` is not 0.
std::vector<HWND> TopLevelWindows(DWORD processId = 0);

// The window's text through WM_GETTEXT, which also reads controls of other processes.
std::wstring Text(HWND window);
std::wstring ClassName(HWND window);

HWND Child(HWND parent, int controlId);
// Direct children in Z order (a dialog's tab order).
std::vector<HWND> Children(HWND parent);
// The message of a message box: its longest static text.
std::wstring MessageText(HWND box);
// The first direct child with exactly this text; nullptr when there is none.
HWND ChildWithText(HWND parent, const std::wstring& text);

// Posts a click to the button `controlId` of `dialog`, so a modal loop it starts cannot block
// the robot.
void Press(HWND dialog, int controlId);
void PressButton(HWND button);

// True once the window is destroyed (or hidden) within `timeoutMs`.
bool WaitGone(HWND window, int timeoutMs);
// Polls `condition` every 20 ms until it holds or `timeoutMs` has passed.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

RECT ScreenRect(HWND window);
RECT ClientRect(HWND window);
// A child's rectangle in its parent's client coordinates.
RECT RectInParent(HWND child);

// Screenshot of the window with its frame (nullptr: the whole screen) as a 24-bit PNG.
bool SavePng(HWND windowOrNullForScreen, const std::string& path);
// $QOR_TEST_ARTEFACTS or ./artefacts, created when missing; ends with a separator.
std::string ArtefactDir();

}  // namespace ui
