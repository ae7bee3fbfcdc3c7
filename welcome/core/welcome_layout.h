// The welcome screen's window and controls as designed in twips (1440 per inch), and their
// size in pixels at 96 dots per inch (15 twips a pixel).
#pragma once

#include <cstdint>

namespace welcome {

enum class ControlId : int32_t { PDF = 1001, installQor = 1002, exit = 1003, Label2 = 1004, Label1 = 1005 };
enum class ControlKind { PushButton, Label };

struct ControlLayout {
    ControlId id;
    ControlKind kind;
    const char16_t* text;
    int32_t left, top, width, height;  // twips
};

constexpr int32_t kTwipsPerPixel = 15;
constexpr int32_t kClientWidthTwips = 11220;
constexpr int32_t kClientHeightTwips = 2790;
constexpr int32_t kFontPoints = 8;
constexpr const char16_t* kCaption = u"Welcome Screen";
constexpr const char16_t* kFontName = u"MS Sans Serif";
constexpr const char16_t* kSupportLine =
    u"Please call Technical Support if you need assistance 1-800-555-0142.";

// In creation order, which is the tab order of the buttons.
constexpr ControlLayout kControls[] = {
    {ControlId::PDF, ControlKind::PushButton, u"Installation Instructions", 5880, 1200, 1455, 495},
    {ControlId::installQor, ControlKind::PushButton, u"Install QOR Drivers", 7560, 1200, 1455, 495},
    {ControlId::exit, ControlKind::PushButton, u"Exit", 9240, 1200, 1455, 495},
    {ControlId::Label2, ControlKind::Label, u"For use on: Windows 11, 10, 8.1, 7, Vista", 6000, 600,
     4815, 255},
    {ControlId::Label1, ControlKind::Label, kSupportLine, 5880, 2160, 5055, 255},
};

constexpr int32_t TwipsToPixels(int32_t twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

}  // namespace welcome
