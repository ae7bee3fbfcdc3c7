// The per-pixel calibration stages of frame correction.
#include "driver/core/flat_field.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "driver/core/exact_math.h"
#include "driver/core/gain_offset_avx2.h"

namespace qor {

namespace {

constexpr int32_t kDarkEnd = kGainOffsetDarkEnd;
constexpr int32_t kBrightEnd = kGainOffsetBrightEnd;
constexpr double kDarkScale = 0.0024449877750611247;   // 1/409
constexpr double kBrightScale = 0.0024390243902439024; // 1/410
constexpr float kLegacyDefectMark = 4095.0f;

// v read as unsigned, written so that it vectorises (SSE2 converts only signed integers).
double Unsigned(int32_t v) {
    return static_cast<double>(v) +
           static_cast<double>(static_cast<uint32_t>(v) >> 31) * 4294967296.0;
}

int32_t GainPixel(int32_t v, float gain) {
    const double q = Unsigned(v) / static_cast<double>(gain);
    // A quotient that does not truncate to an unsigned value up to 4095 gives 4095 (also NaN).
    const bool inRange = (q > -1.0) & (q < 4096.0);
    return static_cast<int32_t>(inRange ? q : 4095.0);
}

// trunc and clamp commute for the integral bounds 0 and 4095.
int32_t LegacyPixel(int32_t v, float entry) {
    return exact::ClampToInt(Unsigned(v) + static_cast<double>(entry), 0.0, 4095.0);
}

struct GainRule {
    static bool Defective(float g) { return g == 0.0f; }
    // A defect's correction is computed and thrown away (branch-free loops); dividing by its
    // gain of 0 would raise a division-by-zero or invalid exception, which a host with unmasked
    // exceptions takes as a crash. It divides by 1 instead.
    static int32_t Correct(int32_t v, float g) { return GainPixel(v, Defective(g) ? 1.0f : g); }
};

struct LegacyRule {
    static bool Defective(float e) { return e == kLegacyDefectMark; }
    static int32_t Correct(int32_t v, float e) { return LegacyPixel(v, e); }
};

// Row 0 in strict scan order: a defect takes the pixel below (not yet corrected) when that one
// is sound, else the corrected pixel to its left, else the uncorrected pixel to its right when
// sound; with none of these it keeps its value.
template <typename Rule>
void CorrectFirstRow(int32_t* frame, const float* map, int32_t width, int32_t height) {
    for (int32_t k = 0; k < width; ++k) {
        if (!Rule::Defective(map[k])) {
            frame[k] = Rule::Correct(frame[k], map[k]);
        } else if (height > 1 && !Rule::Defective(map[width + k])) {
            frame[k] = frame[width + k];
        } else if (k > 0) {
            frame[k] = frame[k - 1];
        } else if (width > 1 && !Rule::Defective(map[1])) {
            frame[k] = frame[1];
        }
    }
}

// Later rows: a defect takes the corrected pixel above. Written without branches so that it
// vectorises; the correction of a defective pixel is computed and discarded.
template <typename Rule>
void CorrectLaterRows(int32_t* frame, const float* map, int32_t width, int32_t height) {
    for (int32_t y = 1; y < height; ++y) {
        int32_t* row = frame + static_cast<std::ptrdiff_t>(y) * width;
        const int32_t* above = row - width;
        const float* m = map + static_cast<std::ptrdiff_t>(y) * width;
        for (int32_t k = 0; k < width; ++k) {
            const int32_t corrected = Rule::Correct(row[k], m[k]);
            const int32_t filled = above[k];
            row[k] = Rule::Defective(m[k]) ? filled : corrected;
        }
    }
}

template <typename Rule>
void CorrectWithDefectFill(int32_t* frame, const float* map, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) {
        return;
    }
    CorrectFirstRow<Rule>(frame, map, width, height);
    CorrectLaterRows<Rule>(frame, map, width, height);
}

// The full correction of m pixels, vectorised (clamping before the conversion equals truncating
// first, since the bounds are integers); non-zero when one of them lies at an end of the range.
// The sum of the raw values comes with it.
int32_t FullCorrection(const int32_t* r, const float* g, const float* o, int32_t m,
                       int32_t* corrected, int64_t& sum) {
    int32_t ends = 0;
    int64_t partial = 0;
    for (int32_t k = 0; k < m; ++k) {
        const double x = static_cast<double>(r[k]);
        corrected[k] = exact::ClampToInt(
            x * static_cast<double>(g[k]) + static_cast<double>(o[k]) + 0.5, 0.0, 4095.0);
        ends |= (r[k] < kDarkEnd) | (r[k] > kBrightEnd);
        partial += r[k];
    }
    sum += partial;
    return ends;
}

// Rows are done in chunks: first the full correction of every pixel; then the few pixels at the
// two ends of the range get the blended formula. Returns the sum of the raw values.
int64_t GainOffsetRowBaseline(int32_t* row, const float* gain, const float* offset, int32_t n) {
    constexpr int32_t kChunk = 256;
    int32_t corrected[kChunk];
    int64_t sum = 0;
    for (int32_t start = 0; start < n; start += kChunk) {
        const int32_t m = std::min(kChunk, n - start);
        int32_t* r = row + start;
        const float* g = gain + start;
        const float* o = offset + start;
        const int32_t ends = FullCorrection(r, g, o, m, corrected, sum);
        if (ends == 0) {
            std::memcpy(r, corrected, sizeof(int32_t) * static_cast<size_t>(m));
            continue;
        }
        for (int32_t k = 0; k < m; ++k) {
            const int32_t raw = r[k];
            r[k] = (raw < kDarkEnd || raw > kBrightEnd) ? GainOffsetPixel(raw, g[k], o[k])
                                                        : corrected[k];
        }
    }
    return sum;
}

using GainOffsetRowFunction = int64_t (*)(int32_t*, const float*, const float*, int32_t);

// Asked once; the processor and the system must both support AVX2. Both give the same bits:
// the same IEEE operations, multiply-adds never fused (-ffp-contract=off).
GainOffsetRowFunction ChooseGainOffsetRow() {
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        return &GainOffsetRowAvx2;
    }
#endif
    return &GainOffsetRowBaseline;
}

} // namespace

int32_t GainOffsetPixel(int32_t x, float gain, float offset) {
    const double xd = static_cast<double>(x);
    double f = exact::Trunc(xd * static_cast<double>(gain) + static_cast<double>(offset) + 0.5);
    if (x < kDarkEnd) {
        const double t = (xd + 0.1) * kDarkScale;
        f = exact::Trunc(xd * (1.0 - t) + f * t);
    } else if (x > kBrightEnd) {
        const double t = (4095.0 - xd + 0.1) * kBrightScale;
        f = exact::Trunc(xd * (1.0 - t) + f * t);
    }
    return exact::ClampToInt(f, 0.0, 4095.0);
}

void ApplyGainCorrection(int32_t* frame, const CalibrationSet& set) {
    CorrectWithDefectFill<GainRule>(frame, set.correctionMap.get(), set.width, set.height);
}

void ApplyLegacyOffsetCorrection(int32_t* frame, const CalibrationSet& set) {
    CorrectWithDefectFill<LegacyRule>(frame, set.correctionMap.get(), set.width, set.height);
}

int64_t ApplyGainOffsetRows(int32_t* frame, const CalibrationSet& set, int32_t firstRow,
                            int32_t endRow) {
    static const GainOffsetRowFunction gainOffsetRow = ChooseGainOffsetRow();
    if (set.width <= 0) {
        return 0;
    }
    int64_t sum = 0;
    for (int32_t y = std::max(firstRow, 0); y < std::min(endRow, set.height); ++y) {
        const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(y) * set.width;
        sum += gainOffsetRow(frame + start, set.gainMap.get() + start, set.offsetMap.get() + start,
                             set.width);
    }
    return sum;
}

int64_t ApplyGainOffsetCorrection(int32_t* frame, const CalibrationSet& set) {
    return ApplyGainOffsetRows(frame, set, 0, set.height);
}

} // namespace qor
