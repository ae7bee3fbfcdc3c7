// Icon drawings. Colours carry the meaning (green ready, grey and crossed not connected, red
// error) and a second sign repeats it (tick, cross, exclamation mark) for colour-blind users.
#include "external/qor_icons/gen/icon_art.h"

namespace {

constexpr Rgba kWhite{255, 255, 255, 255};
constexpr Rgba kCable{64, 64, 64, 255};

struct SensorColours {
    Rgba outline, body, window;
};

// An intraoral sensor seen from the front: a rounded plate with its cable leaving at the top.
void DrawSensor(Canvas& c, const SensorColours& colours) {
    c.FillLine(kCable, 0.5, 0.0, 0.5, 0.24, 0.13);
    c.FillRoundRect(colours.outline, 0.10, 0.18, 0.90, 0.96, 0.19);
    c.FillRoundRect(colours.body, 0.15, 0.23, 0.85, 0.91, 0.15);
    c.FillRoundRect(colours.window, 0.25, 0.34, 0.75, 0.81, 0.08);
}

// A molar: a rounded crown and two roots, inside the box (x0, y0)-(x1, y1).
void DrawTooth(Canvas& c, Rgba colour, double x0, double y0, double x1, double y1) {
    const double w = x1 - x0;
    const double h = y1 - y0;
    c.FillRoundRect(colour, x0, y0, x1, y0 + h * 0.55, w * 0.3);
    c.FillLine(colour, x0 + w * 0.28, y0 + h * 0.4, x0 + w * 0.2, y1 - w * 0.11, w * 0.26);
    c.FillLine(colour, x0 + w * 0.72, y0 + h * 0.4, x0 + w * 0.8, y1 - w * 0.11, w * 0.26);
}

// Two X-ray films, the front one showing a tooth; the second frame adds a bright badge, so the
// icon blinks while images wait for transfer.
void DrawImages(Canvas& c, bool badge) {
    constexpr Rgba kFrame{70, 80, 100, 255};
    constexpr Rgba kBackFilm{190, 200, 215, 255};
    constexpr Rgba kFilm{35, 45, 70, 255};
    constexpr Rgba kToothShade{235, 240, 250, 255};
    c.FillRoundRect(kFrame, 0.30, 0.06, 0.96, 0.66, 0.07);
    c.FillRoundRect(kBackFilm, 0.35, 0.11, 0.91, 0.61, 0.04);
    c.FillRoundRect(kFrame, 0.04, 0.28, 0.74, 0.94, 0.07);
    c.FillRoundRect(kWhite, 0.08, 0.32, 0.70, 0.90, 0.05);
    c.FillRoundRect(kFilm, 0.13, 0.37, 0.65, 0.85, 0.03);
    DrawTooth(c, kToothShade, 0.26, 0.43, 0.52, 0.81);
    if (badge) {
        c.FillCircle(kWhite, 0.78, 0.24, 0.22);
        c.FillCircle(Rgba{245, 140, 20, 255}, 0.78, 0.24, 0.17);
        c.FillCircle(kWhite, 0.78, 0.24, 0.06);
    }
}

}  // namespace

Canvas DrawIcon(IconArt art, int size) {
    Canvas c(size);
    switch (art) {
    case IconArt::App:
        c.FillRoundRect(Rgba{20, 70, 150, 255}, 0.02, 0.02, 0.98, 0.98, 0.22);
        c.FillRoundRect(Rgba{40, 110, 200, 255}, 0.07, 0.07, 0.93, 0.93, 0.18);
        DrawTooth(c, kWhite, 0.22, 0.16, 0.78, 0.86);
        break;
    case IconArt::SensorReady:
        DrawSensor(c, {{20, 95, 40, 255}, {50, 170, 70, 255}, {25, 125, 50, 255}});
        c.FillLine(kWhite, 0.34, 0.58, 0.46, 0.70, 0.10);
        c.FillLine(kWhite, 0.46, 0.70, 0.67, 0.45, 0.10);
        break;
    case IconArt::SensorNotConnected:
        DrawSensor(c, {{95, 95, 95, 255}, {160, 160, 160, 255}, {205, 205, 205, 255}});
        c.FillLine(kWhite, 0.18, 0.30, 0.82, 0.94, 0.21);
        c.FillLine(kWhite, 0.82, 0.30, 0.18, 0.94, 0.21);
        c.FillLine(Rgba{215, 25, 25, 255}, 0.18, 0.30, 0.82, 0.94, 0.13);
        c.FillLine(Rgba{215, 25, 25, 255}, 0.82, 0.30, 0.18, 0.94, 0.13);
        break;
    case IconArt::SensorError:
        DrawSensor(c, {{120, 15, 15, 255}, {215, 40, 40, 255}, {170, 20, 20, 255}});
        c.FillLine(kWhite, 0.5, 0.42, 0.5, 0.60, 0.11);
        c.FillCircle(kWhite, 0.5, 0.72, 0.06);
        break;
    case IconArt::Images1:
        DrawImages(c, false);
        break;
    case IconArt::Images2:
        DrawImages(c, true);
        break;
    }
    return c;
}
