// Tests of the bad row and column repairs.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "driver/core/line_repair.h"
#include "reference_correction.h"
#include "test_support.h"

namespace qor {
namespace {

using test::LineSet;
using test::PositionFrame;

int32_t At(const std::vector<int32_t>& f, int32_t width, int32_t y, int32_t x) {
    return f[static_cast<size_t>(y) * width + x];
}

std::vector<int32_t> Row(const std::vector<int32_t>& f, int32_t width, int32_t y) {
    return {f.begin() + static_cast<ptrdiff_t>(y) * width,
            f.begin() + static_cast<ptrdiff_t>(y + 1) * width};
}

TEST(Format2Repair, TripleIsBlendedFromTheRowsOutside) {
    const CalibrationSet set = LineSet(3, 861, {5, 6, 7}, {});
    std::vector<int32_t> f = PositionFrame(3, 861);
    RepairFormat2Lines(f.data(), set);
    // Column 1: rows 4, 5, 7, 8 held 4001, 5001, 7001, 8001.
    EXPECT_EQ(At(f, 3, 5, 1), 4000 + 800);  // trunc(0.8 x 5001) + trunc(0.2 x 4001)
    EXPECT_EQ(At(f, 3, 7, 1), 5600 + 1600); // trunc(0.8 x 7001) + trunc(0.2 x 8001)
    EXPECT_EQ(At(f, 3, 6, 1), 2400 + 3600); // each half truncated first
    EXPECT_EQ(At(f, 3, 4, 1), 4001);
    EXPECT_EQ(At(f, 3, 8, 1), 8001);
}

TEST(Format2Repair, TripleTooCloseToTheEdgeIsCopiedRowByRow) {
    const CalibrationSet set = LineSet(4, 20, {1, 2, 3}, {});
    std::vector<int32_t> f = PositionFrame(4, 20);
    RepairFormat2Lines(f.data(), set);
    for (int32_t y = 1; y <= 3; ++y) {
        EXPECT_EQ(Row(f, 4, y), Row(PositionFrame(4, 20), 4, 0)) << y;
    }
    // The last triple that may blend starts at height - 4.
    const CalibrationSet last = LineSet(4, 20, {16, 17, 18}, {});
    std::vector<int32_t> g = PositionFrame(4, 20);
    RepairFormat2Lines(g.data(), last);
    EXPECT_EQ(At(g, 4, 16, 0), 12800 + 3000);
    const CalibrationSet beyond = LineSet(4, 20, {17, 18, 19}, {});
    std::vector<int32_t> h = PositionFrame(4, 20);
    RepairFormat2Lines(h.data(), beyond);
    EXPECT_EQ(Row(h, 4, 19), Row(PositionFrame(4, 20), 4, 16));
}

TEST(Format2Repair, RowZeroTakesRowOneAndColumnZeroStays) {
    const CalibrationSet set = LineSet(5, 6, {0}, {0, 3});
    std::vector<int32_t> f = PositionFrame(5, 6);
    RepairFormat2Lines(f.data(), set);
    EXPECT_EQ(At(f, 5, 0, 2), 1002);
    EXPECT_EQ(At(f, 5, 3, 0), 3000); // column 0 unchanged
    EXPECT_EQ(At(f, 5, 3, 3), 3002); // column 3 copied from column 2
    EXPECT_EQ(At(f, 5, 0, 3), 1002); // rows first, then columns
}

TEST(Format2Repair, PairAndRunOfFour) {
    const CalibrationSet pair = LineSet(3, 30, {10, 11}, {});
    std::vector<int32_t> f = PositionFrame(3, 30);
    RepairFormat2Lines(f.data(), pair);
    EXPECT_EQ(Row(f, 3, 10), Row(PositionFrame(3, 30), 3, 9));
    EXPECT_EQ(Row(f, 3, 11), Row(PositionFrame(3, 30), 3, 9));

    const CalibrationSet four = LineSet(3, 30, {10, 11, 12, 13}, {});
    std::vector<int32_t> g = PositionFrame(3, 30);
    RepairFormat2Lines(g.data(), four);
    EXPECT_EQ(Row(g, 3, 13), Row(g, 3, 12)); // the single after the triple
}

TEST(Format3Repair, RunInterpolatedBetweenItsNeighbours) {
    const CalibrationSet set = LineSet(2, 20, {10, 11}, {});
    std::vector<int32_t> f(40, 0);
    for (int32_t x = 0; x < 2; ++x) {
        f[9 * 2 + x] = 0;
        f[12 * 2 + x] = 4095;
    }
    f[9 * 2 + 1] = 900;
    f[12 * 2 + 1] = 1200;
    RepairFormat3Lines(f.data(), set);
    EXPECT_EQ(At(f, 2, 10, 0), 1365); // t = 1/3 as a float
    EXPECT_EQ(At(f, 2, 11, 0), 2730); // t = 2/3
    EXPECT_EQ(At(f, 2, 10, 1), 1000);
    EXPECT_EQ(At(f, 2, 11, 1), 1100);
}

TEST(Format3Repair, RunsTouchingTheEdgesCopyTheInsideLine) {
    const CalibrationSet first = LineSet(3, 10, {0, 1}, {});
    std::vector<int32_t> f = PositionFrame(3, 10);
    RepairFormat3Lines(f.data(), first);
    EXPECT_EQ(Row(f, 3, 0), Row(PositionFrame(3, 10), 3, 2));
    EXPECT_EQ(Row(f, 3, 1), Row(PositionFrame(3, 10), 3, 2));

    const CalibrationSet last = LineSet(3, 10, {9}, {});
    std::vector<int32_t> g = PositionFrame(3, 10);
    RepairFormat3Lines(g.data(), last);
    EXPECT_EQ(Row(g, 3, 9), Row(PositionFrame(3, 10), 3, 8));
}

TEST(Format3Repair, SeparateColumnsAreTwoRunsAtOneHalf) {
    const CalibrationSet set = LineSet(8, 3, {}, {3, 5});
    std::vector<int32_t> f = PositionFrame(8, 3);
    f[1 * 8 + 2] = 11;
    f[1 * 8 + 4] = 20;
    RepairFormat3Lines(f.data(), set);
    EXPECT_EQ(At(f, 8, 1, 3), 16);  // trunc(20 x 0.5 + 11 x 0.5 + 0.5)
    EXPECT_EQ(At(f, 8, 1, 5), 513); // between the new 20 and 1006
    EXPECT_EQ(At(f, 8, 0, 3), 3);
}

TEST(InterpolateLines, ResultTellsWhetherItRan) {
    std::vector<int32_t> f = PositionFrame(4, 4);
    EXPECT_EQ(InterpolateRows(f.data(), 0, 4, 0, 3), 0);
    EXPECT_EQ(InterpolateRows(f.data(), 4, -1, 0, 3), 0);
    EXPECT_EQ(InterpolateRows(f.data(), 4, 4, -5, -2), 0);
    EXPECT_EQ(InterpolateColumns(f.data(), 4, 4, 4, 9), 0);
    EXPECT_EQ(f, PositionFrame(4, 4));
    EXPECT_EQ(InterpolateRows(f.data(), 4, 4, 3, 0), 1); // swapped ends
    EXPECT_EQ(At(f, 4, 1, 0), 1000);
    EXPECT_EQ(At(f, 4, 2, 0), 2000);
}

TEST(LegacyRepair, RowsCopiedAndColumnsCorrectedWithoutClamping) {
    CalibrationSet set = LineSet(9, 4, {0, 2}, {7, 0, 3});
    set.badColumns[5] = -12;
    set.badColumns[6] = 99; // column 0 is skipped
    set.badColumns[7] = 5000;
    std::vector<int32_t> f = PositionFrame(9, 4);
    f[1 * 9 + 7] = 5;
    RepairLegacyLines(f.data(), set);
    EXPECT_EQ(Row(f, 9, 0)[1], 1001);
    EXPECT_EQ(Row(f, 9, 2)[1], 1001);
    EXPECT_EQ(At(f, 9, 1, 7), -7); // may leave 0..4095
    EXPECT_EQ(At(f, 9, 3, 7), 3007 - 12);
    EXPECT_EQ(At(f, 9, 3, 0), 3000);
    EXPECT_EQ(At(f, 9, 3, 3), 3003 + 5000);
}

TEST(LineRepairs, MatchTheLiteralReadingOnRandomLists) {
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        const int32_t width = 5 + static_cast<int32_t>(rng() % 40);
        const int32_t height = 5 + static_cast<int32_t>(rng() % 40);
        std::vector<int32_t> rows, columns;
        int32_t r = static_cast<int32_t>(rng() % 3);
        while (rows.size() < rng() % 11 && r < height) {
            rows.push_back(r);
            r += 1 + static_cast<int32_t>(rng() % 3 == 0 ? rng() % 5 : 0);
        }
        int32_t c = static_cast<int32_t>(rng() % 3);
        while (columns.size() < rng() % 11 && c < width) {
            columns.push_back(c);
            c += 1 + static_cast<int32_t>(rng() % 3 == 0 ? rng() % 5 : 0);
        }
        CalibrationSet set = LineSet(width, height, rows, columns);
        std::vector<int32_t> frame(static_cast<size_t>(width) * height);
        for (int32_t& v : frame) {
            v = static_cast<int32_t>(rng() % 4096);
        }
        for (int kind = 0; kind < 3; ++kind) {
            std::vector<int32_t> fast = frame;
            std::vector<int32_t> slow = frame;
            if (kind == 0) {
                RepairFormat2Lines(fast.data(), set);
                reference::Format2Repair(slow, set);
            } else if (kind == 1) {
                RepairFormat3Lines(fast.data(), set);
                reference::Format3Repair(slow, set);
            } else {
                set.badColumnCount = std::min(set.badColumnCount, 5);
                for (int k = 5; k < 10; ++k) {
                    set.badColumns[k] = static_cast<int32_t>(rng() % 201) - 100;
                }
                RepairLegacyLines(fast.data(), set);
                reference::LegacyRepair(slow, set);
            }
            ASSERT_EQ(fast, slow) << "round " << round << " kind " << kind;
        }
    }
}

// Unsafe lists: nothing outside the frame is read or written.

struct GuardedFrame {
    static constexpr int32_t kGuard = 64;
    static constexpr int32_t kCanary = 0x5A5A5A5A;
    GuardedFrame(int32_t w, int32_t h)
        : width(w), height(h), storage(static_cast<size_t>(w) * h + 2 * kGuard, kCanary) {
        const std::vector<int32_t> f = PositionFrame(w, h);
        std::copy(f.begin(), f.end(), storage.begin() + kGuard);
    }
    int32_t* frame() { return storage.data() + kGuard; }
    bool GuardsIntact() const {
        for (int32_t i = 0; i < kGuard; ++i) {
            if (storage[i] != kCanary || storage[storage.size() - 1 - i] != kCanary) {
                return false;
            }
        }
        return true;
    }
    std::vector<int32_t> Frame() const {
        return {storage.begin() + kGuard, storage.end() - kGuard};
    }
    int32_t width;
    int32_t height;
    std::vector<int32_t> storage;
};

TEST(LineRepairUnsafeInput, IndicesOutsideTheFrameAreSkipped) {
    const std::vector<int32_t> outside = {INT_MIN, -7, -1, 6, 7, 1000, INT_MAX};
    for (int kind = 0; kind < 3; ++kind) {
        for (int32_t entry : outside) {
            GuardedFrame g(5, 6);
            CalibrationSet set = LineSet(5, 6, {entry}, {entry});
            set.badColumns[5] = 100;
            if (kind == 0) {
                RepairFormat2Lines(g.frame(), set);
            } else if (kind == 1) {
                RepairFormat3Lines(g.frame(), set);
            } else {
                RepairLegacyLines(g.frame(), set);
            }
            EXPECT_TRUE(g.GuardsIntact()) << kind << " " << entry;
            EXPECT_EQ(g.Frame(), PositionFrame(5, 6)) << kind << " " << entry;
        }
    }
}

TEST(LineRepairUnsafeInput, RunsReachingPastTheEdgeStayInside) {
    GuardedFrame g(5, 6);
    const CalibrationSet set = LineSet(5, 6, {4, 5, 6, 7}, {-2, -1, 0});
    RepairFormat3Lines(g.frame(), set);
    EXPECT_TRUE(g.GuardsIntact());
    const std::vector<int32_t> f = g.Frame();
    EXPECT_EQ(At(f, 5, 5, 1), 3001); // rows 4, 5 copied from row 3 (then column 0 from 1)
    EXPECT_EQ(At(f, 5, 4, 1), 3001);
    EXPECT_EQ(At(f, 5, 4, 0), 3001);

    GuardedFrame wrap(5, 6);
    const CalibrationSet nearMax = LineSet(5, 6, {INT_MAX - 1, INT_MAX}, {INT_MIN, INT_MIN + 1});
    RepairFormat3Lines(wrap.frame(), nearMax);
    EXPECT_TRUE(wrap.GuardsIntact());
    EXPECT_EQ(wrap.Frame(), PositionFrame(5, 6));
}

TEST(LineRepairUnsafeInput, CountsOutsideTheSlotsAreLimited) {
    for (int32_t count : {-5, 11, 1000, INT_MAX}) {
        GuardedFrame g(30, 30);
        CalibrationSet set = LineSet(30, 30, {1, 3, 5, 7, 9, 11, 13, 15, 17, 19}, {});
        set.badRowCount = count;
        set.badColumnCount = count;
        RepairFormat2Lines(g.frame(), set);
        RepairFormat3Lines(g.frame(), set);
        RepairLegacyLines(g.frame(), set);
        EXPECT_TRUE(g.GuardsIntact()) << count;
    }
}

TEST(LineRepairUnsafeInput, SingleRowFrameHasNoRowOneToCopy) {
    GuardedFrame g(4, 1);
    const CalibrationSet set = LineSet(4, 1, {0}, {});
    RepairFormat2Lines(g.frame(), set);
    RepairLegacyLines(g.frame(), set);
    RepairFormat3Lines(g.frame(), set);
    EXPECT_TRUE(g.GuardsIntact());
    EXPECT_EQ(g.Frame(), PositionFrame(4, 1));
}

} // namespace
} // namespace qor
