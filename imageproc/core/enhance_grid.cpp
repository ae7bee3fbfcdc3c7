// The local contrast enhancement on a column grid, with its outcome for the adapter.
#include "imageproc/core/enhance_grid.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "imageproc/core/block_accumulation.h"
#include "imageproc/core/smoothing.h"
#include "imageproc/core/tile_extremes.h"
#include "imageproc/core/tile_geometry.h"
#include "imageproc/core/tone_curve.h"
#include "imageproc/core/window_function.h"
#include "imageproc/core/work_memory.h"

namespace qor::imageproc {
namespace {

// All working memory of one call, taken before the grid is touched so that running out of
// memory leaves the caller's image as it was.
struct Workspace {
    const TileGeometry& g;
    std::unique_ptr<float[]> ownDetail;
    float* detail;
    std::unique_ptr<float[]> paddedColumn;
    std::unique_ptr<float[]> savedColumns;
    std::unique_ptr<const float*[]> sourceColumns;
    std::unique_ptr<float[]> tileMax;
    std::unique_ptr<float[]> tileMin;
    std::unique_ptr<float[]> blockTables;
    std::vector<float> kernel;
    std::vector<float> window;
    std::vector<float> edgeU;
    std::vector<float> edgeV;

    Workspace(const TileGeometry& geometry, int32_t radius, float* detailStore)
        : g(geometry),
          ownDetail(detailStore != nullptr ? nullptr
                                           : AllocateWork<float>(Size(g.width) * Size(g.height))),
          detail(detailStore != nullptr ? detailStore : ownDetail.get()),
          paddedColumn(AllocateWork<float>(Size(g.height) + 2 * Size(radius))),
          savedColumns(AllocateWork<float>(Size(radius) * Size(g.height))),
          sourceColumns(AllocateWork<const float*>(2 * Size(radius) + 1)),
          tileMax(AllocateWork<float>(TileCount())), tileMin(AllocateWork<float>(TileCount())),
          blockTables(AllocateWork<float>(BlockTableSize())), kernel(MakeWindow(2 * radius + 1)),
          window(MakeWindow(g.blockSize)), edgeU(MakeEdgeProfile(window, g.tileSize, g.lastWidth)),
          edgeV(MakeEdgeProfile(window, g.tileSize, g.lastHeight)) {
        std::fill_n(tileMax.get(), TileCount(), kMaxStart);
        std::fill_n(tileMin.get(), TileCount(), kMinStart);
    }

    static size_t Size(int32_t n) { return static_cast<size_t>(n); }

    size_t TileCount() const { return Size(g.tilesAcross) * Size(g.tilesDown); }

    // Inner max and min, then last-row max and min, then last-column max and min.
    size_t BlockTableSize() const {
        const size_t across = Size(g.tilesAcross - 3);
        const size_t down = Size(g.tilesDown - 3);
        return 2 * across * down + 2 * across + 2 * down;
    }

    BlockExtremes Blocks() const {
        const size_t across = Size(g.tilesAcross - 3);
        const size_t down = Size(g.tilesDown - 3);
        BlockExtremes b;
        b.innerMax = blockTables.get();
        b.innerMin = b.innerMax + across * down;
        b.lastRowsMax = b.innerMin + across * down;
        b.lastRowsMin = b.lastRowsMax + across;
        b.lastColsMax = b.lastRowsMin + across;
        b.lastColsMin = b.lastColsMax + down;
        return b;
    }
};

bool AllColumnsPresent(float* const* grid, int32_t width) {
    for (int32_t u = 0; u < width; ++u) {
        if (grid[u] == nullptr) {
            return false;
        }
    }
    return true;
}

} // namespace

EnhanceStatus EnhanceGrid(float* const* grid, int32_t width, int32_t height, int32_t fullScale,
                          int32_t radius, int32_t tileSize, float strength, KernelPath path,
                          float* detailStore) {
    if (grid == nullptr || !IsSupportedSize(width, height, radius, tileSize) ||
        !AllColumnsPresent(grid, width)) {
        return EnhanceStatus::Unsupported;
    }
    const TileGeometry g = MakeTileGeometry(width, height, tileSize);
    try {
        Workspace work(g, radius, detailStore);
        // Smoothing and tile extremes column by column, while the column is still in cache.
        Smoother smoother(grid, width, height, work.kernel.data(), radius, work.detail,
                          Smoother::Buffers{work.sourceColumns.get(), work.paddedColumn.get(),
                                            work.savedColumns.get()},
                          path);
        for (int32_t u = 0; u < width; ++u) {
            smoother.Column(u);
            AddColumnExtremes(grid[u], u, g, work.tileMax.get(), work.tileMin.get(), path);
        }
        BlockExtremes blocks = work.Blocks();
        ComputeBlockExtremes(g, work.tileMax.get(), work.tileMin.get(), blocks);
        const BlendProfiles profiles{work.window.data(), work.edgeU.data(), work.edgeV.data()};
        AccumulateAndMap(grid, work.detail, g, profiles, blocks, MakeToneCurve(fullScale, strength),
                         path);
        return EnhanceStatus::Enhanced;
    } catch (const std::bad_alloc&) {
        return EnhanceStatus::OutOfMemory;
    } catch (...) {
        // std::vector's length_error is the only other thing that can come out of the
        // workspace, and it means the same: the memory cannot be had.
        return EnhanceStatus::OutOfMemory;
    }
}

} // namespace qor::imageproc
