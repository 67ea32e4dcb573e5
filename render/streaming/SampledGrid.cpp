#include "render/streaming/SampledGrid.h"

#include <algorithm>

namespace {

// The voxels of level-0 cells along one axis.
std::uint64_t cellsAlong(std::uint64_t voxels) {
    return (voxels + BrickGrid::kBrickSide - 1) / BrickGrid::kBrickSide;
}

} // namespace

SampledGrid::SampledGrid(const BrickLayout& layout, std::array<std::uint64_t, 3> size)
    : m_layout(layout), m_size(size),
      m_cellCount(cellsAlong(size[0]) * cellsAlong(size[1]) * cellsAlong(size[2])) {}

std::shared_ptr<const BrickGrid> SampledGrid::update(std::uint32_t level, std::vector<Range> ranges,
                                                     std::vector<Cells> cells) {
    if (!feasible() || ranges.size() != m_layout.brickCount(level) || cells.size() != ranges.size()) {
        return nullptr;
    }
    if (m_grid && level == m_level && ranges == m_ranges && cells == m_cells) {
        return m_grid;
    }
    auto grid = std::make_shared<BrickGrid>(m_size[0], m_size[1], m_size[2]);
    const BrickGrid::Level& base = grid->level(0);
    // Cells beyond the volume (the grid's padding) keep no value: maximum 0, minimum above all.
    std::vector<std::uint16_t> maxima(base.maxima.size(), 0);
    std::vector<std::uint16_t> minima(base.minima.size(), 0xFFFF);
    const std::uint64_t side = m_layout.brickSide() << level;                   // level-0 voxels per brick
    const std::uint64_t cellSide = BrickGrid::kBrickSide << level;              // and per cell of one
    const std::uint64_t perSide = m_layout.brickSide() / BrickGrid::kBrickSide; // cells along a brick
    const std::array<std::uint64_t, 3> extent{base.width, base.height, base.depth};
    // Per level-0 cell along each axis: its brick, and the brick's cell it lies in.
    std::array<std::vector<std::uint32_t>, 3> brickOf;
    std::array<std::vector<std::uint64_t>, 3> cellOf;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const std::uint64_t inside = std::min(extent[axis], cellsAlong(m_size[axis]));
        for (std::uint64_t cell = 0; cell < inside; ++cell) {
            const std::uint64_t voxel = cell * BrickGrid::kBrickSide;
            brickOf[axis].push_back(static_cast<std::uint32_t>(voxel / side));
            cellOf[axis].push_back(voxel % side / cellSide);
        }
    }
    const std::uint64_t cellCount = perSide * perSide * perSide;
    for (std::uint64_t z = 0; z < brickOf[2].size(); ++z) {
        for (std::uint64_t y = 0; y < brickOf[1].size(); ++y) {
            const std::uint64_t row = (z * base.height + y) * base.width;
            for (std::uint64_t x = 0; x < brickOf[0].size(); ++x) {
                const std::uint64_t brick =
                    m_layout.index({level, {brickOf[0][x], brickOf[1][y], brickOf[2][z]}});
                const Cells& inBrick = cells[brick];
                const Range& range =
                    inBrick && inBrick->size() == cellCount
                        ? (*inBrick)[(cellOf[2][z] * perSide + cellOf[1][y]) * perSide + cellOf[0][x]]
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
