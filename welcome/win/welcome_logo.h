// The maker's picture of the welcome screen, drawn by the program itself: a blue band with a
// tooth and the product name on the left, white where the controls sit. Also the window icon.
#pragma once

#include <windows.h>

namespace welcome {

// A bitmap of width x height compatible with `reference`; the caller deletes it.
HBITMAP MakeLogoPicture(HDC reference, int width, int height);
// A 32 x 32 icon with the tooth; the caller destroys it.
HICON MakeLogoIcon();

}  // namespace welcome
