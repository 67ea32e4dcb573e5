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
// border holds all a trilinear sample blends), so the cells need no widening. The grid is
// one of the level's voxels (BrickGrid's shift): a finer one would only repeat its cells.
class SampledGrid {
  public:
    // The texels the samples of a brick can take: its slot's range, 0 for the zero slot.
    using Range = BrickTexels::Range;
    // Those of the grid's cells inside a brick (BrickTexels::cells).
    using Cells = std::shared_ptr<const std::vector<Range>>;
    // Grids of more cells than this (a level of 1024³ voxels) are not made: one would take
    // longer to make and send up than it saves the frames that stream bricks in.
    static constexpr std::uint64_t kMostCells = std::uint64_t{1} << 21;

    explicit SampledGrid(const BrickLayout& layout);

    // Whether a grid of the level stays within kMostCells.
    bool feasible(std::uint32_t level) const;
    // The grid for `ranges`, one per brick of `level` in the layout's order, finer where a
    // brick reading its own slot has the ranges of its `cells`: the one made before while
    // nothing changed.
    std::shared_ptr<const BrickGrid> update(std::uint32_t level, std::vector<Range> ranges,
                                            std::vector<Cells> cells);

  private:
    BrickLayout m_layout;
    std::uint32_t m_level = 0;
    std::vector<Range> m_ranges;
    std::vector<Cells> m_cells;
    std::shared_ptr<const BrickGrid> m_grid;
};
