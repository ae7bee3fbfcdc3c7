// The X-ray phantom of the generated frames: three teeth (crowns with enamel caps, pulp and
// roots) in soft tissue and textured bone, drawn with exact double arithmetic only.
#include <algorithm>
#include <cmath>
#include <system_error>
#include <thread>

#include "external/sensor_sim/core/test_data.h"
#include "external/sensor_sim/core/test_data_detail.h"

namespace qor::testdata {

namespace {

using namespace detail;

// Delivered grey levels (teeth bright, open field dark). Kept inside the range where the
// format-3 correction applies in full, so the corrected frame shows the picture itself.
constexpr double kTissue = 1250.0;
constexpr double kBone = 1900.0;
constexpr double kDentin = 2550.0;
constexpr double kEnamel = 3250.0;
constexpr double kPulp = 1650.0;
constexpr double kEdge = 1.5; // half-width of a soft edge, pixels

struct Root {
    double u;        // centre at the top, fraction of the width
    double halfTop;  // half-width at the top, fraction of the width
    double halfApex; // half-width at the apex
    double apex;     // apex row, fraction of the height
};

struct Tooth {
    double u; // crown centre
    double v;
    double halfWidth; // crown semi-axes, fractions of width and height
    double halfHeight;
    Root roots[2];
    int rootCount;
};

struct Scene {
    double width;
    double height;
    Tooth teeth[3];
    uint32_t textureSeed;
};

Scene MakeScene(int32_t width, int32_t height, uint32_t seed) {
    Random random(seed ^ 0x5EED7EE7u);
    Scene scene{static_cast<double>(width), static_cast<double>(height), {}, random.Next()};
    const double centres[3] = {0.2, 0.5, 0.8};
    for (int t = 0; t < 3; ++t) {
        Tooth& tooth = scene.teeth[t];
        tooth.u = centres[t] + (static_cast<int32_t>(random.Below(31)) - 15) / 1000.0;
        tooth.v = 0.30 + (static_cast<int32_t>(random.Below(21)) - 10) / 1000.0;
        tooth.halfWidth = t == 1 ? 0.10 : 0.13;
        tooth.halfHeight = 0.15;
        const double apex = 0.86 + random.Below(40) / 1000.0;
        if (t == 1) {
            tooth.rootCount = 1;
            tooth.roots[0] = {tooth.u, 0.075, 0.018, apex};
        } else {
            tooth.rootCount = 2;
            tooth.roots[0] = {tooth.u - 0.06, 0.06, 0.016, apex};
            tooth.roots[1] = {tooth.u + 0.06, 0.06, 0.016, apex - 0.04};
        }
    }
    return scene;
}

// Signed distances in pixels, positive inside.
double EllipseDistance(const Scene& s, double px, double py, double cu, double cv, double au,
                       double av) {
    const double dx = (px - cu * s.width) / (au * s.width);
    const double dy = (py - cv * s.height) / (av * s.height);
    const double q = std::sqrt(dx * dx + dy * dy);
    return (1.0 - q) * std::min(au * s.width, av * s.height);
}

double RootDistance(const Scene& s, const Root& root, double top, double px, double py,
                    double shrink) {
    const double v = py / s.height;
    if (v < top || v > root.apex) {
        return -1e9;
    }
    const double along = (v - top) / (root.apex - top);
    const double half = (root.halfTop + (root.halfApex - root.halfTop) * along) * shrink;
    const double across = half * s.width - std::fabs(px - root.u * s.width);
    return std::min(across, (root.apex - v) * s.height);
}

// Hash of a texture cell corner: -1..1.
double CornerValue(uint32_t seed, int32_t cx, int32_t cy) {
    uint32_t h =
        static_cast<uint32_t>(cx) * 73856093u ^ static_cast<uint32_t>(cy) * 19349663u ^ seed;
    h ^= h >> 13;
    h *= 0x5BD1E995u;
    h ^= h >> 15;
    return ((h >> 24) & 0xFF) / 127.5 - 1.0;
}

// Smooth bone texture: corner values of 12-pixel cells blended bilinearly, -1..1.
double Texture(const Scene& s, int32_t x, int32_t y) {
    constexpr int32_t kCell = 12;
    const int32_t cx = x / kCell;
    const int32_t cy = y / kCell;
    const double fx = (x % kCell + 0.5) / kCell;
    const double fy = (y % kCell + 0.5) / kCell;
    const double top =
        Mix(CornerValue(s.textureSeed, cx, cy), CornerValue(s.textureSeed, cx + 1, cy), fx);
    const double bottom =
        Mix(CornerValue(s.textureSeed, cx, cy + 1), CornerValue(s.textureSeed, cx + 1, cy + 1), fx);
    return Mix(top, bottom, fy);
}

double PictureAt(const Scene& s, int32_t x, int32_t y) {
    const double px = x + 0.5;
    const double py = y + 0.5;
    const double v = py / s.height;
    double value = kTissue + 100.0 * v;
    const double bone = Smooth(-25.0, 25.0, (v - 0.5) * s.height);
    value = Mix(value, kBone + 100.0 * Texture(s, x, y), bone);
    for (const Tooth& tooth : s.teeth) {
        const double crown =
            EllipseDistance(s, px, py, tooth.u, tooth.v, tooth.halfWidth, tooth.halfHeight);
        double body = crown;
        double canal = -1e9;
        const double rootTop = tooth.v;
        for (int r = 0; r < tooth.rootCount; ++r) {
            body = std::max(body, RootDistance(s, tooth.roots[r], rootTop, px, py, 1.0));
            canal = std::max(canal, RootDistance(s, tooth.roots[r], rootTop + 0.04, px, py, 0.18));
        }
        const double toothMask = Smooth(-kEdge, kEdge, body);
        if (toothMask <= 0.0) {
            continue;
        }
        value = Mix(value, kDentin, toothMask);
        // Enamel: a band under the crown's upper surface.
        const double thickness = 0.1 * tooth.halfHeight * s.height;
        const double band = Smooth(-kEdge, kEdge, crown) *
                            (1.0 - Smooth(thickness - kEdge, thickness + kEdge, crown)) *
                            Smooth(-8.0, 8.0, (tooth.v + 0.06) * s.height - py);
        value = Mix(value, kEnamel, band);
        const double chamber = EllipseDistance(s, px, py, tooth.u, tooth.v + 0.04,
                                               0.45 * tooth.halfWidth, 0.3 * tooth.halfHeight);
        value = Mix(value, kPulp, Smooth(-kEdge, kEdge, std::max(chamber, canal)));
    }
    return Clamp(value, 0.0, 4095.0);
}

} // namespace

std::vector<int32_t> MakePhantomPicture(int32_t width, int32_t height, uint32_t seed) {
    if (width <= 0 || height <= 0 || static_cast<int64_t>(width) * height > int64_t{1} << 24) {
        return {};
    }
    const Scene scene = MakeScene(width, height, seed);
    std::vector<int32_t> picture(static_cast<size_t>(width) * static_cast<size_t>(height));
    const auto drawRows = [&](int32_t from, int32_t to) {
        for (int32_t y = from; y < to; ++y) {
            for (int32_t x = 0; x < width; ++x) {
                picture[static_cast<size_t>(y) * width + x] = RoundToInt(PictureAt(scene, x, y));
            }
        }
    };
    // Every pixel is its own function of the scene, so the halves are drawn at once: the
    // simulated sensor draws a frame per exposure, and that time counts from the X-ray button
    // to the image in the imaging program.
    const int32_t half = height / 2;
    std::thread lower;
    try {
        lower = std::thread(drawRows, half, height);
    } catch (const std::system_error&) {
        drawRows(half, height);  // no thread to be had: the same rows on this one
    }
    drawRows(0, half);
    if (lower.joinable()) {
        lower.join();
    }
    return picture;
}

} // namespace qor::testdata
