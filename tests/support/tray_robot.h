// Tray and menu helpers of the UI robot. Without a desktop tray, Wine shows notification icons in
// its own "Wine System Tray" window, one child window per icon in the order they were added;
// clicking such a child makes Wine send the icon's callback message as the shell would.
// Popup menus of another process cannot be read under Wine, but they take keys as for a person.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tray {

// The fallback tray window; nullptr when none is shown within `timeoutMs`.
HWND TrayWindow(int timeoutMs);
// The icon windows of the tray, left to right.
std::vector<HWND> Icons();
// Waits until the tray shows exactly `count` icons.
bool WaitForIconCount(size_t count, int timeoutMs);

void LeftClick(HWND icon);
void RightClick(HWND icon);

// The visible popup menu window (of any process); nullptr after `timeoutMs`.
HWND WaitForPopupMenu(int timeoutMs);
// Moves the highlight down `steps` times from no selection, then presses Enter.
void ChooseByKeys(HWND menu, int steps);
void CloseMenu(HWND menu);

// The mean colour of a window's pixels on screen (red, green, blue in 0..255).
struct Colour {
    double red = 0;
    double green = 0;
    double blue = 0;
};
Colour MeanColour(HWND window);
// The share (0..1) of the window's pixels for which `test(red, green, blue)` holds.
double ShareOfPixels(HWND window, bool (*test)(int red, int green, int blue));
// A sum of the window's pixels, to tell two pictures apart.
uint64_t PictureFingerprint(HWND window);

// Text of the visible balloon tooltips of the tray (empty when none shows).
std::vector<std::wstring> BalloonTexts();

}  // namespace tray
