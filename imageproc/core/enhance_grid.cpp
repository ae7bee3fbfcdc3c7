// The local contrast enhancement on a column grid, with its outcome for the adapter. The work is
// cut into chunks of tile columns that the caller and the library's workers share: every pixel
// goes through the same operations in the same order whichever thread computes it.
#include "imageproc/core/enhance_grid.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "imageproc/core/block_accumulation.h"
#include "imageproc/core/enhance_workspace.h"
#include "imageproc/core/grid_transfer.h"
#include "imageproc/core/shared_resources.h"
#include "imageproc/core/tile_extremes.h"
#include "imageproc/core/tone_curve.h"

namespace qor::imageproc {
namespace {

size_t Size(int32_t n) {
    return static_cast<size_t>(n);
}

bool AllColumnsPresent(float* const* grid, int32_t width) {
    for (int32_t u = 0; u < width; ++u) {
        if (grid[u] == nullptr) {
            return false;
        }
    }
    return true;
}

// memmove onto itself starts the lifetime of objects of another type in the same bytes (and
// compiles to nothing): the frame's buffer holds floats while it serves as the detail store and
// integers again before the result is written.
template <typename T, typename From> T* Reuse(From* storage, size_t count) {
    static_assert(sizeof(T) == sizeof(From));
    return std::launder(static_cast<T*>(std::memmove(storage, storage, count * sizeof(T))));
}

struct Run {
    TileGeometry g;
    int32_t radius;
    KernelPath path;
    EnhanceWorkspace* work;
    float* const* columns;
    float* detail = nullptr;
    const int32_t* image = nullptr; // frame to load (frame mode)
    int32_t* out = nullptr;         // frame to store into (frame mode)
    bool splitSmoothing;
    BlockExtremes blocks;
    BlendProfiles profiles;
    ToneCurve curve;
    float scale = 0.0f;
};

void Phases(WorkerPool* pool, int32_t chunks, WorkerPool::Task task, Run& run) {
    if (pool != nullptr) {
        pool->Run(chunks, task, &run);
        return;
    }
    for (int32_t chunk = 0; chunk < chunks; ++chunk) {
        task(&run, chunk, 0);
    }
}

// Frame mode: the chunk's columns of the grid and, for the chunk boundary at its left edge, the
// originals the smoothing of the neighbouring chunks reads.
void LoadChunk(void* context, int32_t chunk, int32_t /*slot*/) {
    Run& r = *static_cast<Run*>(context);
    const int32_t begin = ChunkBegin(r.g, chunk);
    const int32_t end = ChunkEnd(r.g, chunk);
    LoadColumns(r.image, r.g.width, r.g.height, r.work->Values(), r.path, begin, end);
    if (r.splitSmoothing && chunk > 0 && r.radius > 0) {
        float* copy = r.work->BoundaryCopy(chunk);
        for (int32_t j = 0; j < 2 * r.radius; ++j) {
            const int32_t u = begin - r.radius + j;
            float* column = copy + Size(j) * Size(r.g.height);
            for (int32_t v = 0; v < r.g.height; ++v) {
                column[v] = static_cast<float>(r.image[Size(v) * Size(r.g.width) + Size(u)]);
            }
        }
    }
}

// Grid mode: the same boundary originals, copied from the grid.
void CopyBoundaries(Run& r) {
    if (!r.splitSmoothing || r.radius == 0) {
        return;
    }
    for (int32_t chunk = 1; chunk < ChunkCount(r.g); ++chunk) {
        float* copy = r.work->BoundaryCopy(chunk);
        const int32_t begin = ChunkBegin(r.g, chunk);
        for (int32_t j = 0; j < 2 * r.radius; ++j) {
            std::memcpy(copy + Size(j) * Size(r.g.height), r.columns[begin - r.radius + j],
                        Size(r.g.height) * sizeof(float));
        }
    }
}

// Smoothing and tile extremes column by column, while the column is still in cache.
void SmoothChunk(void* context, int32_t chunk, int32_t slot) {
    Run& r = *static_cast<Run*>(context);
    const int32_t chunks = ChunkCount(r.g);
    Smoother::Range range{0, r.g.width, nullptr, nullptr};
    if (r.splitSmoothing) {
        range.begin = ChunkBegin(r.g, chunk);
        range.end = ChunkEnd(r.g, chunk);
        if (r.radius > 0) {
            const size_t side = Size(r.radius) * Size(r.g.height);
            range.before = chunk > 0 ? r.work->BoundaryCopy(chunk) : nullptr;
            range.after = chunk + 1 < chunks ? r.work->BoundaryCopy(chunk + 1) + side : nullptr;
        }
    }
    Smoother smoother(r.columns, r.g.width, r.g.height, r.work->Kernel().data(), r.radius,
                      r.detail, r.work->SlotBuffers(slot), r.path, range);
    for (int32_t u = range.begin; u < range.end; ++u) {
        smoother.Column(u);
        AddColumnExtremes(r.columns[u], u, r.g, r.work->TileMax(), r.work->TileMin(), r.path);
    }
}

void MapChunk(void* context, int32_t chunk, int32_t slot) {
    Run& r = *static_cast<Run*>(context);
    const int32_t begin = ChunkBegin(r.g, chunk);
    const int32_t end = ChunkEnd(r.g, chunk);
    AccumulateAndMap(r.columns, r.detail, r.g, r.profiles, r.blocks, r.curve, r.path, begin, end,
                     r.work->BandCache(slot));
    if (r.out != nullptr) {
        // The largest value does not depend on the order the values are visited in.
        r.work->ChunkMax()[chunk] = LargestValue(r.columns[begin], Size(end - begin) * Size(r.g.height));
    }
}

void StoreChunk(void* context, int32_t chunk, int32_t /*slot*/) {
    Run& r = *static_cast<Run*>(context);
    StoreRescaled(r.work->Values(), r.g.width, r.g.height, r.scale, r.out, r.path,
                  ChunkBegin(r.g, chunk), ChunkEnd(r.g, chunk));
}

EnhanceStatus RunEnhancement(float* const* grid, int32_t* frame, int32_t width, int32_t height,
                             int32_t fullScale, int32_t radius, int32_t tileSize, float strength,
                             KernelPath path, float* detailStore) {
    Run r;
    r.g = MakeTileGeometry(width, height, tileSize);
    r.radius = radius;
    r.path = path;
    r.splitSmoothing = SmoothingSplits(r.g, radius);
    WorkspaceShape shape;
    shape.g = r.g;
    shape.radius = radius;
    shape.frameGrid = frame != nullptr;
    shape.ownDetail = frame == nullptr && detailStore == nullptr;
    try {
        WorkspaceLease lease(shape);
        EnhanceWorkspace& work = lease.Workspace();
        WorkerPool* pool = lease.Pool();
        const size_t count = Size(width) * Size(height);
        const int32_t chunks = ChunkCount(r.g);
        r.work = &work;
        if (frame != nullptr) {
            r.columns = work.Columns();
            r.image = frame;
            Phases(pool, chunks, &LoadChunk, r);
            // While the grid holds the frame, the frame's own buffer stores the detail: one
            // frame-sized block (and its page faults) fewer.
            r.detail = Reuse<float>(frame, count);
        } else {
            r.columns = grid;
            r.detail = detailStore != nullptr ? detailStore : work.Detail();
            CopyBoundaries(r);
        }
        std::fill_n(work.TileMax(), Size(r.g.tilesAcross) * Size(r.g.tilesDown), kMaxStart);
        std::fill_n(work.TileMin(), Size(r.g.tilesAcross) * Size(r.g.tilesDown), kMinStart);
        Phases(pool, r.splitSmoothing ? chunks : 1, &SmoothChunk, r);
        r.blocks = work.Blocks();
        ComputeBlockExtremes(r.g, work.TileMax(), work.TileMin(), r.blocks);
        r.profiles = BlendProfiles{work.Window().data(), work.EdgeU().data(), work.EdgeV().data()};
        r.curve = MakeToneCurve(fullScale, strength);
        if (frame != nullptr) {
            r.out = frame;
        }
        Phases(pool, chunks, &MapChunk, r);
        if (frame != nullptr) {
            float max = kMaxStart;
            for (int32_t chunk = 0; chunk < chunks; ++chunk) {
                max = work.ChunkMax()[chunk] > max ? work.ChunkMax()[chunk] : max;
            }
            r.scale = RescaleFactor(max);
            r.out = Reuse<int32_t>(r.detail, count);
            Phases(pool, chunks, &StoreChunk, r);
        }
        return EnhanceStatus::Enhanced;
    } catch (const std::bad_alloc&) {
        return EnhanceStatus::OutOfMemory;
    } catch (...) {
        // std::vector's length_error is the only other thing that can come out of the
        // workspace, and it means the same: the memory cannot be had.
        return EnhanceStatus::OutOfMemory;
    }
}

} // namespace

EnhanceStatus EnhanceGrid(float* const* grid, int32_t width, int32_t height, int32_t fullScale,
                          int32_t radius, int32_t tileSize, float strength, KernelPath path,
                          float* detailStore) {
    if (grid == nullptr || !IsSupportedSize(width, height, radius, tileSize) ||
        !AllColumnsPresent(grid, width)) {
        return EnhanceStatus::Unsupported;
    }
    return RunEnhancement(grid, nullptr, width, height, fullScale, radius, tileSize, strength,
                          path, detailStore);
}

EnhanceStatus EnhanceFrameGrid(int32_t* frame, int32_t width, int32_t height, int32_t fullScale,
                               int32_t radius, int32_t tileSize, float strength, KernelPath path) {
    if (frame == nullptr || !IsSupportedSize(width, height, radius, tileSize)) {
        return EnhanceStatus::Unsupported;
    }
    return RunEnhancement(nullptr, frame, width, height, fullScale, radius, tileSize, strength,
                          path, nullptr);
}

} // namespace qor::imageproc
