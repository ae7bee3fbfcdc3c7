// Canvas: a small straight-alpha RGBA picture with anti-aliased shape filling, enough to draw the
// tray and program icons from a few geometric shapes. Shapes are given in unit coordinates
// (0..1 across the picture) so one drawing serves every icon size.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

struct Rgba {
    uint8_t r, g, b, a;
};

class Canvas {
public:
    explicit Canvas(int size);

    int Size() const { return m_size; }
    Rgba At(int x, int y) const { return m_pixels[static_cast<size_t>(y) * m_size + x]; }

    // Paints `color` over the picture where `inside(u, v)` holds, 4 x 4 samples per pixel.
    void Fill(Rgba color, const std::function<bool(double u, double v)>& inside);

    void FillRoundRect(Rgba color, double x0, double y0, double x1, double y1, double radius);
    void FillCircle(Rgba color, double cx, double cy, double radius);
    // A line with round ends, `width` across.
    void FillLine(Rgba color, double x0, double y0, double x1, double y1, double width);

private:
    void Blend(int x, int y, Rgba color, double coverage);

    int m_size;
    std::vector<Rgba> m_pixels;
};

bool InsideRoundRect(double u, double v, double x0, double y0, double x1, double y1, double radius);
bool InsideLine(double u, double v, double x0, double y0, double x1, double y1, double width);
