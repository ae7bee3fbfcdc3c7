// All working memory of one enhancement, kept between calls of the same shape.
#include "imageproc/core/enhance_workspace.h"

#include <algorithm>
#include <cstring>

#include "imageproc/core/block_accumulation.h"
#include "imageproc/core/window_function.h"
#include "imageproc/core/work_memory.h"

namespace qor::imageproc {
namespace {

size_t Size(int32_t n) {
    return static_cast<size_t>(n);
}

size_t BlockTableSize(const TileGeometry& g) {
    const size_t across = Size(g.tilesAcross - 3);
    const size_t down = Size(g.tilesDown - 3);
    return 2 * across * down + 2 * across + 2 * down;
}

size_t PaddedSize(const WorkspaceShape& s) {
    return Size(s.g.height) + 2 * Size(s.radius);
}

size_t SavedSize(const WorkspaceShape& s) {
    return Size(s.radius) * Size(s.g.height);
}

size_t BoundarySize(const WorkspaceShape& s) {
    return 2 * Size(s.radius) * Size(s.g.height);
}

size_t BoundaryCount(const WorkspaceShape& s) {
    return SmoothingSplits(s.g, s.radius) ? Size(ChunkCount(s.g) - 1) : 0;
}

template <typename T> void Zero(T* values, size_t count) {
    if (count > 0) {
        std::memset(static_cast<void*>(values), 0, count * sizeof(T));
    }
}

} // namespace

bool WorkspaceShape::operator==(const WorkspaceShape& o) const {
    return g.width == o.g.width && g.height == o.g.height && g.tileSize == o.g.tileSize &&
           radius == o.radius && slots == o.slots && frameGrid == o.frameGrid &&
           ownDetail == o.ownDetail;
}

int32_t ChunkCount(const TileGeometry& g) {
    return g.tilesAcross;
}

int32_t ChunkBegin(const TileGeometry& g, int32_t chunk) {
    return chunk * g.tileSize;
}

int32_t ChunkEnd(const TileGeometry& g, int32_t chunk) {
    return chunk == g.tilesAcross - 1 ? g.width : (chunk + 1) * g.tileSize;
}

bool SmoothingSplits(const TileGeometry& g, int32_t radius) {
    return radius <= g.tileSize;
}

EnhanceWorkspace::EnhanceWorkspace(const WorkspaceShape& shape)
    : m_shape(shape), m_nPixels(Size(shape.g.width) * Size(shape.g.height)),
      m_values(shape.frameGrid ? AllocateWork<float>(m_nPixels) : nullptr),
      m_columns(shape.frameGrid ? AllocateWork<float*>(Size(shape.g.width)) : nullptr),
      m_detail(shape.ownDetail ? AllocateWork<float>(m_nPixels) : nullptr),
      m_tileMax(AllocateWork<float>(Size(shape.g.tilesAcross) * Size(shape.g.tilesDown))),
      m_tileMin(AllocateWork<float>(Size(shape.g.tilesAcross) * Size(shape.g.tilesDown))),
      m_blockTables(AllocateWork<float>(BlockTableSize(shape.g))),
      m_kernel(MakeWindow(2 * shape.radius + 1)), m_window(MakeWindow(shape.g.blockSize)),
      m_edgeU(MakeEdgeProfile(m_window, shape.g.tileSize, shape.g.lastWidth)),
      m_edgeV(MakeEdgeProfile(m_window, shape.g.tileSize, shape.g.lastHeight)),
      m_sources(AllocateWork<const float*>(Size(shape.slots) * (2 * Size(shape.radius) + 1))),
      m_padded(AllocateWork<float>(Size(shape.slots) * PaddedSize(shape))),
      m_saved(AllocateWork<float>(Size(shape.slots) * SavedSize(shape))),
      m_boundaries(AllocateWork<float>(BoundaryCount(shape) * BoundarySize(shape))),
      m_chunkMax(AllocateWork<float>(Size(ChunkCount(shape.g)))),
      m_bands(AllocateWork<Band>(Size(shape.slots) * Size(BandsDown(shape.g)))) {
    if (m_columns) {
        for (int32_t u = 0; u < shape.g.width; ++u) {
            m_columns[Size(u)] = m_values.get() + Size(u) * Size(shape.g.height);
        }
    }
}

BlockExtremes EnhanceWorkspace::Blocks() {
    const size_t across = Size(m_shape.g.tilesAcross - 3);
    const size_t down = Size(m_shape.g.tilesDown - 3);
    BlockExtremes b;
    b.innerMax = m_blockTables.get();
    b.innerMin = b.innerMax + across * down;
    b.lastRowsMax = b.innerMin + across * down;
    b.lastRowsMin = b.lastRowsMax + across;
    b.lastColsMax = b.lastRowsMin + across;
    b.lastColsMin = b.lastColsMax + down;
    return b;
}

Smoother::Buffers EnhanceWorkspace::SlotBuffers(int32_t slot) {
    const size_t s = Size(slot);
    return Smoother::Buffers{m_sources.get() + s * (2 * Size(m_shape.radius) + 1),
                             m_padded.get() + s * PaddedSize(m_shape),
                             m_saved.get() + s * SavedSize(m_shape)};
}

Band* EnhanceWorkspace::BandCache(int32_t slot) {
    return m_bands.get() + Size(slot) * Size(BandsDown(m_shape.g));
}

float* EnhanceWorkspace::BoundaryCopy(int32_t chunk) {
    return m_boundaries.get() + Size(chunk - 1) * BoundarySize(m_shape);
}

void EnhanceWorkspace::Touch() {
    if (m_values) {
        Zero(m_values.get(), m_nPixels);
    }
    if (m_detail) {
        Zero(m_detail.get(), m_nPixels);
    }
    Zero(m_padded.get(), Size(m_shape.slots) * PaddedSize(m_shape));
    Zero(m_saved.get(), Size(m_shape.slots) * SavedSize(m_shape));
    Zero(m_boundaries.get(), BoundaryCount(m_shape) * BoundarySize(m_shape));
}

} // namespace qor::imageproc
