#pragma once

#include "render/streaming/BrickBuilder.h"
#include "render/streaming/BrickGrid.h"
#include "render/streaming/BrickLayout.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

// The brick grid of what the frames sample at one level of the brick pool, for a volume no
// survey gives a grid to (a store whose own levels stand in for the pass over its level 0):
// each cell holds the smallest and largest texel of the slot its brick reads through the
// page table. With it rays skip what cannot show, and march only in the box around what can,
// as they do through a survey's grid. A slot bounds every sample inside its brick (its
// border holds all a trilinear sample blends), so the cells need no widening.
class SampledGrid {
  public:
    // The texels the samples of a brick can take: its slot's range, 0 for the zero slot.
    using Range = BrickTexels::Range;
    // Those of the grid's cells inside a brick (BrickTexels::cells).
    using Cells = std::shared_ptr<const std::vector<Range>>;
    // Grids of more level-0 cells than this (a volume of 1024³ voxels) are not made: one would
    // take longer to make and send up than it saves the frames that stream bricks in.
    static constexpr std::uint64_t kMostCells = std::uint64_t{1} << 21;

    SampledGrid(const BrickLayout& layout, std::array<std::uint64_t, 3> size);

    // Whether a grid of the volume stays within kMostCells.
    bool feasible() const { return m_cellCount <= kMostCells; }
    // The grid for `ranges`, one per brick of `level` in the layout's order, finer where a
    // brick reading its own slot has the ranges of its `cells`: the one made before while
    // nothing changed.
    std::shared_ptr<const BrickGrid> update(std::uint32_t level, std::vector<Range> ranges,
                                            std::vector<Cells> cells);

  private:
    BrickLayout m_layout;
    std::array<std::uint64_t, 3> m_size;
    std::uint64_t m_cellCount;
    std::uint32_t m_level = 0;
    std::vector<Range> m_ranges;
    std::vector<Cells> m_cells;
    std::shared_ptr<const BrickGrid> m_grid;
};
