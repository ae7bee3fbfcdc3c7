// Canvas: coverage from a 4 x 4 sample grid, then "over" compositing in straight alpha.
#include "external/qor_icons/gen/canvas.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kSamples = 4;

}  // namespace

Canvas::Canvas(int size) : m_size(size), m_pixels(static_cast<size_t>(size) * size, Rgba{0, 0, 0, 0}) {}

void Canvas::Fill(Rgba color, const std::function<bool(double, double)>& inside) {
    for (int y = 0; y < m_size; ++y) {
        for (int x = 0; x < m_size; ++x) {
            int hits = 0;
            for (int sy = 0; sy < kSamples; ++sy) {
                for (int sx = 0; sx < kSamples; ++sx) {
                    const double u = (x + (sx + 0.5) / kSamples) / m_size;
                    const double v = (y + (sy + 0.5) / kSamples) / m_size;
                    hits += inside(u, v) ? 1 : 0;
                }
            }
            if (hits > 0) {
                Blend(x, y, color, static_cast<double>(hits) / (kSamples * kSamples));
            }
        }
    }
}

void Canvas::Blend(int x, int y, Rgba color, double coverage) {
    Rgba& dst = m_pixels[static_cast<size_t>(y) * m_size + x];
    const double srcA = color.a / 255.0 * coverage;
    const double dstA = dst.a / 255.0;
    const double outA = srcA + dstA * (1.0 - srcA);
    if (outA <= 0.0) {
        return;
    }
    auto mix = [&](uint8_t s, uint8_t d) {
        const double value = (s * srcA + d * dstA * (1.0 - srcA)) / outA;
        return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
    };
    dst = Rgba{mix(color.r, dst.r), mix(color.g, dst.g), mix(color.b, dst.b),
               static_cast<uint8_t>(std::lround(outA * 255.0))};
}

bool InsideRoundRect(double u, double v, double x0, double y0, double x1, double y1, double radius) {
    if (u < x0 || u > x1 || v < y0 || v > y1) {
        return false;
    }
    // Distance from the inner rectangle that the corners are rounded around.
    const double dx = std::max({x0 + radius - u, 0.0, u - (x1 - radius)});
    const double dy = std::max({y0 + radius - v, 0.0, v - (y1 - radius)});
    return dx * dx + dy * dy <= radius * radius;
}

bool InsideLine(double u, double v, double x0, double y0, double x1, double y1, double width) {
    const double lx = x1 - x0;
    const double ly = y1 - y0;
    const double length2 = lx * lx + ly * ly;
    double t = length2 > 0.0 ? ((u - x0) * lx + (v - y0) * ly) / length2 : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    const double px = x0 + t * lx - u;
    const double py = y0 + t * ly - v;
    return px * px + py * py <= width * width / 4.0;
}

void Canvas::FillRoundRect(Rgba color, double x0, double y0, double x1, double y1, double radius) {
    Fill(color, [=](double u, double v) { return InsideRoundRect(u, v, x0, y0, x1, y1, radius); });
}

void Canvas::FillCircle(Rgba color, double cx, double cy, double radius) {
    Fill(color, [=](double u, double v) {
        return (u - cx) * (u - cx) + (v - cy) * (v - cy) <= radius * radius;
    });
}

void Canvas::FillLine(Rgba color, double x0, double y0, double x1, double y1, double width) {
    Fill(color, [=](double u, double v) { return InsideLine(u, v, x0, y0, x1, y1, width); });
}
