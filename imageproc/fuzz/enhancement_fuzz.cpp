// Fuzz target: arbitrary sizes, parameters and content through both entry points; the vector and
// scalar loops must agree on every result.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "imageproc/core/enhance_grid.h"
#include "imageproc/core/frame_enhancement.h"
#include "imageproc/core/qor_image_proc.h"

namespace {

using qor::imageproc::KernelPath;

class Input {
public:
    Input(const uint8_t* data, size_t size) : m_pData(data), m_nSize(size) {}
    uint32_t Take32() {
        uint32_t value = 0;
        for (int32_t i = 0; i < 4; ++i) {
            value = (value << 8) | (m_nAt < m_nSize ? m_pData[m_nAt++] : 0u);
        }
        return value;
    }
    int32_t Range(int32_t lo, int32_t hi) {
        return lo + static_cast<int32_t>(Take32() % static_cast<uint32_t>(hi - lo + 1));
    }
    bool Empty() const { return m_nAt >= m_nSize; }

private:
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nAt = 0;
};

bool Same(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b); // payloads may differ between the loops
    }
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Columns allocated one by one so that an overrun of any column is caught.
using Grid = std::vector<std::vector<float>>;

std::vector<float*> Pointers(Grid& grid) {
    std::vector<float*> columns;
    for (auto& column : grid) {
        columns.push_back(column.data());
    }
    return columns;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int32_t mode = in.Range(0, 3);
    // Up to 192 pixels a side: several tiles of any size the parameters allow, with remainders,
    // and short enough runs for campaigns of 100,000 executions (each runs both kernel paths).
    const int32_t width = in.Range(1, 192);
    const int32_t height = in.Range(1, 192);
    const int32_t tileSize = mode == 0 ? 35 : in.Range(-3, 120);
    const int32_t radius = mode == 0 ? 1 : in.Range(-2, 20);
    const int32_t fullScale = mode == 0 ? 4096 : static_cast<int32_t>(in.Take32());
    uint32_t strengthBits = in.Take32();
    float strength;
    std::memcpy(&strength, &strengthBits, sizeof strength);
    if (mode == 0) {
        strength = 409.6f;
    }

    // Content: raw float bits (mode 3) or integers of any size.
    Grid grid(width, std::vector<float>(height));
    std::vector<int32_t> frame(static_cast<size_t>(width) * height);
    for (int32_t v = 0; v < height; ++v) {
        for (int32_t u = 0; u < width; ++u) {
            const uint32_t bits = in.Empty() ? static_cast<uint32_t>(u * 7 + v * 13) : in.Take32();
            frame[static_cast<size_t>(v) * width + u] = static_cast<int32_t>(bits);
            float value;
            std::memcpy(&value, &bits, sizeof value);
            grid[u][v] = mode == 3 ? value : static_cast<float>(static_cast<int32_t>(bits));
        }
    }

    Grid scalarGrid = grid;
    auto columns = Pointers(grid);
    auto scalarColumns = Pointers(scalarGrid);
    QorImageProc2(columns.data(), width, height, fullScale, radius, tileSize, strength);
    qor::imageproc::EnhanceGrid(scalarColumns.data(), width, height, fullScale, radius, tileSize,
                                strength, KernelPath::Scalar);
    for (int32_t u = 0; u < width; ++u) {
        for (int32_t v = 0; v < height; ++v) {
            if (!Same(grid[u][v], scalarGrid[u][v])) {
                std::abort();
            }
        }
    }

    auto scalarFrame = frame;
    const int32_t flag = in.Range(0, 2);
    const int32_t result = QorImageProc1(frame.data(), width, height, flag);
    const int32_t scalarResult =
        qor::imageproc::EnhanceFrame(scalarFrame.data(), width, height, flag, KernelPath::Scalar);
    if (result != scalarResult || frame != scalarFrame) {
        std::abort();
    }
    if (result == 1) {
        for (const int32_t value : frame) {
            if (value < 0 || value > 4095) {
                std::abort();
            }
        }
    }
    return 0;
}
