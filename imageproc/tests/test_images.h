// Deterministic test frames and grids for the enhancement tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "imageproc/core/kernel_path.h"
#include "reference_enhancement.h"

namespace qor::imageproc::testdata {

// FNV-1a over a frame's values: pins a whole frame in one number, the same in every build.
inline uint32_t Fingerprint(const std::vector<int32_t>& frame) {
    uint32_t hash = 2166136261u;
    for (const int32_t value : frame) {
        for (int32_t shift = 0; shift < 32; shift += 8) {
            hash = (hash ^ ((static_cast<uint32_t>(value) >> shift) & 0xFFu)) * 16777619u;
        }
    }
    return hash;
}

// A small generator with a fixed sequence on every platform (the standard distributions are not).
class Sequence {
public:
    explicit Sequence(uint64_t seed) : m_nState(seed) {}
    uint32_t Next() {
        m_nState += 0x9E3779B97F4A7C15ull;
        uint64_t z = m_nState;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
    }
    // Uniform in [lo, hi].
    int32_t Between(int32_t lo, int32_t hi) {
        return lo + static_cast<int32_t>(Next() % static_cast<uint32_t>(hi - lo + 1));
    }

private:
    uint64_t m_nState;
};

// Every loop variant: each must give the reference's bits. The Vector path runs once with its
// widest loops and once held to AVX2 (both fall back on processors without them).
struct PathCase {
    KernelPath path;
    VectorLimit limit;
};
constexpr PathCase kAllPaths[] = {{KernelPath::Vector, VectorLimit::Avx512},
                                  {KernelPath::Vector, VectorLimit::Avx2},
                                  {KernelPath::Sse2, VectorLimit::Avx512},
                                  {KernelPath::Scalar, VectorLimit::Avx512}};

// Sets a case's vector limit for one run and lifts it again.
struct UsingPath {
    explicit UsingPath(const PathCase& c) { SetVectorLimit(c.limit); }
    ~UsingPath() { UseFastestVectors(); }
};

enum class Content {
    Noise,    // every pixel independent, far outside 0..4095 on both sides
    Exposure, // a smooth exposure with an edge, noise and a few hot and dead pixels
    HalfFlat, // the left half one constant level (flat local ranges), the right half noise
};

// A row-major frame of width x height integers.
inline std::vector<int32_t> MakeFrame(int32_t width, int32_t height, Content content,
                                      uint64_t seed) {
    Sequence random(seed);
    std::vector<int32_t> frame(static_cast<size_t>(width) * height);
    for (int32_t v = 0; v < height; ++v) {
        for (int32_t u = 0; u < width; ++u) {
            int32_t value = 0;
            switch (content) {
            case Content::Noise:
                value = random.Between(-6000, 70000);
                break;
            case Content::Exposure:
                value = 600 + (u * 2900) / width + (v * 500) / height +
                        (u > width / 3 && v > height / 2 ? 700 : 0) + random.Between(-40, 40);
                if (random.Next() % 997 == 0) {
                    value = random.Next() % 2 == 0 ? 0 : 16383;
                }
                break;
            case Content::HalfFlat:
                value = u < width / 2 ? 2500 : random.Between(-500, 9000);
                break;
            }
            frame[static_cast<size_t>(v) * width + u] = value;
        }
    }
    return frame;
}

// The same frame as the reference's column grid.
inline reference::Grid ToGrid(const std::vector<int32_t>& frame, int32_t width, int32_t height) {
    reference::Grid grid(width, std::vector<float>(height));
    for (int32_t u = 0; u < width; ++u) {
        for (int32_t v = 0; v < height; ++v) {
            grid[u][v] = static_cast<float>(frame[static_cast<size_t>(v) * width + u]);
        }
    }
    return grid;
}

// Column pointers into a reference grid, the form the library takes.
inline std::vector<float*> Columns(reference::Grid& grid) {
    std::vector<float*> columns;
    for (auto& column : grid) {
        columns.push_back(column.data());
    }
    return columns;
}

inline bool SameBits(const reference::Grid& a, const reference::Grid& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t u = 0; u < a.size(); ++u) {
        if (a[u].size() != b[u].size() ||
            std::memcmp(a[u].data(), b[u].data(), a[u].size() * sizeof(float)) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace qor::imageproc::testdata
