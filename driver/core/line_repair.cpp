// Bad row and column repair for the three calibration generations.
#include "driver/core/line_repair.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "driver/core/exact_math.h"

namespace qor {

namespace {

// A frame seen along rows or along columns, so each repair is written once.
struct LineView {
    int32_t* frame;
    int32_t width;
    int32_t height;
    bool columns; // lines are columns

    int32_t LineCount() const { return columns ? width : height; }
    int32_t LineLength() const { return columns ? height : width; }
    int32_t& At(int32_t line, int32_t pos) const {
        const int64_t index = columns ? static_cast<int64_t>(pos) * width + line
                                      : static_cast<int64_t>(line) * width + pos;
        return frame[index];
    }
    void Copy(int32_t from, int32_t to) const {
        if (!columns) {
            std::memcpy(&At(to, 0), &At(from, 0), sizeof(int32_t) * static_cast<size_t>(width));
            return;
        }
        for (int32_t pos = 0; pos < height; ++pos) {
            At(to, pos) = At(from, pos);
        }
    }
};

bool Inside(int64_t line, int32_t lineCount) {
    return line >= 0 && line < lineCount;
}

int32_t ClampCount(int32_t count, int32_t limit) {
    return std::clamp(count, 0, limit);
}

int32_t Scaled(double factor, int32_t value) {
    return exact::TruncToInt32(factor * static_cast<double>(value));
}

int32_t SaturatedSum(int32_t a, int32_t b) {
    const int64_t sum = static_cast<int64_t>(a) + b;
    return static_cast<int32_t>(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
}

// Three adjacent lines r..r+2 rebuilt from the lines just outside them.
void RebuildTriple(const LineView& view, int32_t r) {
    for (int32_t pos = 0; pos < view.LineLength(); ++pos) {
        const int32_t a =
            SaturatedSum(Scaled(0.8, view.At(r, pos)), Scaled(0.2, view.At(r - 1, pos)));
        const int32_t b =
            SaturatedSum(Scaled(0.8, view.At(r + 2, pos)), Scaled(0.2, view.At(r + 3, pos)));
        view.At(r, pos) = a;
        view.At(r + 2, pos) = b;
        view.At(r + 1, pos) = SaturatedSum(Scaled(0.5, a), Scaled(0.5, b));
    }
}

// Copies the line before (line 0: the line after, unless `lineZeroStays`).
void CopyNeighbour(const LineView& view, int32_t line, bool lineZeroStays) {
    const int32_t count = view.LineCount();
    if (line > 0 && line < count) {
        view.Copy(line - 1, line);
    } else if (line == 0 && !lineZeroStays && count >= 2) {
        view.Copy(1, 0);
    }
}

void Format2Lines(const LineView& view, const int32_t* entries, int32_t count) {
    const int32_t lineCount = view.LineCount();
    int32_t i = 0;
    while (i < count) {
        const int64_t r = entries[i];
        const bool triple = count - i >= 3 && entries[i + 1] == r + 1 && entries[i + 2] == r + 2 &&
                            r >= 2 && r <= static_cast<int64_t>(lineCount) - 4;
        if (triple) {
            RebuildTriple(view, static_cast<int32_t>(r));
            i += 3;
            continue;
        }
        if (Inside(r, lineCount)) {
            // Column 0 is never rebuilt by this repair; row 0 takes row 1.
            CopyNeighbour(view, static_cast<int32_t>(r), view.columns);
        }
        i += 1;
    }
}

int32_t InterpolateLines(const LineView& view, int64_t a, int64_t b) {
    if (view.width <= 0 || view.height <= 0) {
        return 0;
    }
    if (a > b) {
        std::swap(a, b);
    }
    const int32_t lineCount = view.LineCount();
    const bool aInside = Inside(a, lineCount);
    const bool bInside = Inside(b, lineCount);
    if (!aInside && !bInside) {
        return 0;
    }
    const int32_t first = static_cast<int32_t>(std::max<int64_t>(a + 1, 0));
    const int32_t last = static_cast<int32_t>(std::min<int64_t>(b - 1, lineCount - 1));
    if (!aInside || !bInside) {
        const int32_t source = static_cast<int32_t>(aInside ? a : b);
        for (int32_t line = first; line <= last; ++line) {
            view.Copy(source, line);
        }
        return 1;
    }
    const int32_t lineA = static_cast<int32_t>(a);
    const int32_t lineB = static_cast<int32_t>(b);
    for (int32_t line = first; line <= last; ++line) {
        const float t =
            static_cast<float>(static_cast<double>(line - a) / static_cast<double>(b - a));
        const double wB = static_cast<double>(t);
        const double wA = 1.0 - static_cast<double>(t);
        for (int32_t pos = 0; pos < view.LineLength(); ++pos) {
            const double v = static_cast<double>(view.At(lineB, pos)) * wB +
                             static_cast<double>(view.At(lineA, pos)) * wA + 0.5;
            view.At(line, pos) = exact::TruncToInt32(v);
        }
    }
    return 1;
}

void Format3Lines(const LineView& view, const int32_t* entries, int32_t count) {
    int32_t i = 0;
    while (i < count) {
        int32_t j = i;
        while (j < count - 1 && static_cast<int64_t>(entries[j]) + 1 == entries[j + 1]) {
            ++j;
        }
        InterpolateLines(view, static_cast<int64_t>(entries[i]) - 1,
                         static_cast<int64_t>(entries[j]) + 1);
        i = j + 1;
    }
}

bool HasFrame(const int32_t* frame, const CalibrationSet& set) {
    return frame != nullptr && set.width > 0 && set.height > 0;
}

} // namespace

void RepairFormat2Lines(int32_t* frame, const CalibrationSet& set) {
    if (!HasFrame(frame, set)) {
        return;
    }
    Format2Lines({frame, set.width, set.height, false}, set.badRows,
                 ClampCount(set.badRowCount, kMaxBadLines));
    Format2Lines({frame, set.width, set.height, true}, set.badColumns,
                 ClampCount(set.badColumnCount, kMaxBadLines));
}

void RepairFormat3Lines(int32_t* frame, const CalibrationSet& set) {
    if (!HasFrame(frame, set)) {
        return;
    }
    Format3Lines({frame, set.width, set.height, false}, set.badRows,
                 ClampCount(set.badRowCount, kMaxBadLines));
    Format3Lines({frame, set.width, set.height, true}, set.badColumns,
                 ClampCount(set.badColumnCount, kMaxBadLines));
}

void RepairLegacyLines(int32_t* frame, const CalibrationSet& set) {
    if (!HasFrame(frame, set)) {
        return;
    }
    const LineView rows{frame, set.width, set.height, false};
    const int32_t rowCount = ClampCount(set.badRowCount, kMaxBadLines);
    for (int32_t i = 0; i < rowCount; ++i) {
        CopyNeighbour(rows, set.badRows[i], false);
    }
    // Entries 0..4 are columns, entry k+5 the signed correction of entry k (wrapping add).
    const int32_t columnCount = ClampCount(set.badColumnCount, kMaxLegacyBadColumns);
    for (int32_t i = 0; i < columnCount; ++i) {
        const int32_t column = set.badColumns[i];
        if (column <= 0 || column >= set.width) {
            continue;
        }
        const uint32_t correction = static_cast<uint32_t>(set.badColumns[i + kMaxLegacyBadColumns]);
        for (int32_t y = 0; y < set.height; ++y) {
            int32_t& v = frame[static_cast<int64_t>(y) * set.width + column];
            v = static_cast<int32_t>(static_cast<uint32_t>(v) + correction);
        }
    }
}

int32_t InterpolateRows(int32_t* frame, int32_t width, int32_t height, int64_t a, int64_t b) {
    return InterpolateLines({frame, width, height, false}, a, b);
}

int32_t InterpolateColumns(int32_t* frame, int32_t width, int32_t height, int64_t a, int64_t b) {
    return InterpolateLines({frame, width, height, true}, a, b);
}

} // namespace qor
