#include "render/streaming/SampledGrid.h"

#include <algorithm>

namespace {

// The cells of the grid along one axis of `voxels`.
std::uint64_t cellsAlong(std::uint64_t voxels) {
    return (voxels + BrickGrid::kBrickSide - 1) / BrickGrid::kBrickSide;
}

} // namespace

SampledGrid::SampledGrid(const BrickLayout& layout) : m_layout(layout) {}

bool SampledGrid::feasible(std::uint32_t level) const {
    if (level > m_layout.baseLevel()) {
        return false;
    }
    const std::array<std::uint64_t, 3>& voxels = m_layout.voxels(level);
    return cellsAlong(voxels[0]) * cellsAlong(voxels[1]) * cellsAlong(voxels[2]) <= kMostCells;
}

std::shared_ptr<const BrickGrid> SampledGrid::update(std::uint32_t level, std::vector<Range> ranges,
                                                     std::vector<Cells> cells) {
    if (!feasible(level) || ranges.size() != m_layout.brickCount(level) || cells.size() != ranges.size()) {
        return nullptr;
    }
    if (m_grid && level == m_level && ranges == m_ranges && cells == m_cells) {
        return m_grid;
    }
    const std::array<std::uint64_t, 3>& voxels = m_layout.voxels(level);
    auto grid = std::make_shared<BrickGrid>(voxels[0], voxels[1], voxels[2], level);
    const BrickGrid::Level& base = grid->level(0);
    // Cells beyond the volume (the grid's padding) keep no value: maximum 0, minimum above all.
    std::vector<std::uint16_t> maxima(base.maxima.size(), 0);
    std::vector<std::uint16_t> minima(base.minima.size(), 0xFFFF);
    const std::uint64_t perSide = m_layout.brickSide() / BrickGrid::kBrickSide; // cells along a brick
    const std::array<std::uint64_t, 3> extent{base.width, base.height, base.depth};
    const std::uint64_t inside[3] = {std::min(extent[0], cellsAlong(voxels[0])),
                                     std::min(extent[1], cellsAlong(voxels[1])),
                                     std::min(extent[2], cellsAlong(voxels[2]))};
    const std::uint64_t cellCount = perSide * perSide * perSide;
    for (std::uint64_t z = 0; z < inside[2]; ++z) {
        for (std::uint64_t y = 0; y < inside[1]; ++y) {
            const std::uint64_t row = (z * base.height + y) * base.width;
            for (std::uint64_t x = 0; x < inside[0]; ++x) {
                const std::uint64_t brick = m_layout.index(
                    {level,
                     {static_cast<std::uint32_t>(x / perSide), static_cast<std::uint32_t>(y / perSide),
                      static_cast<std::uint32_t>(z / perSide)}});
                const Cells& inBrick = cells[brick];
                const Range& range =
                    inBrick && inBrick->size() == cellCount
                        ? (*inBrick)[((z % perSide) * perSide + y % perSide) * perSide + x % perSide]
                        : ranges[brick];
                maxima[row + x] = range.maximum;
                minima[row + x] = range.minimum;
            }
        }
    }
    grid->adoptLevelZero(std::move(maxima), std::move(minima));
    grid->finish();
    m_level = level;
    m_ranges = std::move(ranges);
    m_cells = std::move(cells);
    m_grid = std::move(grid);
    return m_grid;
}
