// All working memory of one enhancement: taken before the grid is touched, so that running out
// of memory leaves the caller's image as it was, and kept between calls of the same shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imageproc/core/band_terms.h"
#include "imageproc/core/smoothing.h"
#include "imageproc/core/tile_extremes.h"
#include "imageproc/core/tile_geometry.h"

namespace qor::imageproc {

struct WorkspaceShape {
    TileGeometry g;
    int32_t radius = 0;
    int32_t slots = 1;       // threads that may smooth at once, each with its own buffers
    bool frameGrid = false;  // holds the column grid of a frame
    bool ownDetail = false;  // holds the detail (otherwise the caller lends the store)

    bool operator==(const WorkspaceShape& other) const;
};

// Chunks are tile columns: chunk i is columns i x tileSize .. (i+1) x tileSize - 1, the last one
// reaching to the last column, so that the tile extremes of a chunk are its own.
int32_t ChunkCount(const TileGeometry& g);
int32_t ChunkBegin(const TileGeometry& g, int32_t chunk);
int32_t ChunkEnd(const TileGeometry& g, int32_t chunk);
// The smoothing can run chunk by chunk when each chunk is at least `radius` columns wide.
bool SmoothingSplits(const TileGeometry& g, int32_t radius);

class EnhanceWorkspace {
public:
    explicit EnhanceWorkspace(const WorkspaceShape& shape);

    const WorkspaceShape& Shape() const { return m_shape; }

    // The frame's grid (frameGrid only): column pointers into one block of width x height.
    float* Values() { return m_values.get(); }
    float* const* Columns() { return m_columns.get(); }
    float* Detail() { return m_detail.get(); }

    float* TileMax() { return m_tileMax.get(); }
    float* TileMin() { return m_tileMin.get(); }
    BlockExtremes Blocks();

    const std::vector<float>& Kernel() const { return m_kernel; }
    const std::vector<float>& Window() const { return m_window; }
    const std::vector<float>& EdgeU() const { return m_edgeU; }
    const std::vector<float>& EdgeV() const { return m_edgeV; }

    Smoother::Buffers SlotBuffers(int32_t slot);
    // The accumulation's bands of one tile column (BandsDown of them) for each slot.
    Band* BandCache(int32_t slot);
    // Originals of the 2 x radius columns around the start of chunk `chunk` (1 .. count-1).
    float* BoundaryCopy(int32_t chunk);
    float* ChunkMax() { return m_chunkMax.get(); }

    // Writes every page once, so that the first call does not pay for faulting them in.
    void Touch();

private:
    WorkspaceShape m_shape;
    size_t m_nPixels;
    std::unique_ptr<float[]> m_values;
    std::unique_ptr<float*[]> m_columns;
    std::unique_ptr<float[]> m_detail;
    std::unique_ptr<float[]> m_tileMax;
    std::unique_ptr<float[]> m_tileMin;
    std::unique_ptr<float[]> m_blockTables;
    std::vector<float> m_kernel;
    std::vector<float> m_window;
    std::vector<float> m_edgeU;
    std::vector<float> m_edgeV;
    std::unique_ptr<const float*[]> m_sources;
    std::unique_ptr<float[]> m_padded;
    std::unique_ptr<float[]> m_saved;
    std::unique_ptr<float[]> m_boundaries;
    std::unique_ptr<float[]> m_chunkMax;
    std::unique_ptr<Band[]> m_bands;
};

} // namespace qor::imageproc
