#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

struct ShownTexels;

// The largest and smallest texel of each brick of the volume, so that rays skip the bricks
// in which every sample lies below the display window or where the opacity curve hides it,
// and so that the renderer knows the box outside which nothing at all can show.
//
// Level 0 has one brick per kBrickSide³ voxels. A trilinear sample anywhere in a brick
// blends voxels up to one voxel beyond it, so each brick's maximum is taken over the brick
// widened by one voxel on every side (clipped to the volume): no sample in a brick can
// exceed it, nor fall below its minimum. Each coarser level halves every side (a side of one
// cell stays one), each of its cells holding the largest and the smallest of the 2 × 2 × 2
// cells below; level 0 is padded with empty bricks (maximum 0, minimum 65535: no value) so that every level's
// side is a whole number of cells, by less than twice its bricks per axis, so a row or a single slice keeps a
// grid of its own size. A ray far from anything visible then skips up to kBrickSide × 2^(kLevels − 1) voxels
// at once.
//
// Built slab by slab while the volume is uploaded, so every page of the voxels is read
// once, while it is resident for the upload anyway.
class BrickGrid {
  public:
    static constexpr std::uint64_t kBrickSide = 8;
    static constexpr std::size_t kLevels = 4;

    struct Level {
        std::uint64_t width = 0, height = 0, depth = 0;
        std::vector<std::uint16_t> maxima; // x fastest
        std::vector<std::uint16_t> minima; // x fastest
    };

    // A box of whole voxels [low, high) of the volume; empty when low >= high on an axis.
    struct VoxelBox {
        std::array<std::uint64_t, 3> low{}, high{};
        bool isEmpty() const { return low[0] >= high[0] || low[1] >= high[1] || low[2] >= high[2]; }
    };

    // A grid of a volume of `width` × `height` × `depth` voxels, each of which stands for
    // 2^shift voxels of level 0 along every axis: a coarse level's grid, whose finest cells
    // are kBrickSide · 2^shift level-0 voxels.
    BrickGrid(std::uint64_t width, std::uint64_t height, std::uint64_t depth, std::uint32_t shift = 0);
    std::uint32_t shift() const { return m_shift; }

    // Adds `count` whole slices from slice `firstSlice` on: unsigned 16-bit texels in host
    // byte order, x fastest, rows and slices packed without gaps. Slabs may come in any
    // order. Call finish() once every slice has been added.
    void addSlices(const std::byte* slices, std::uint64_t firstSlice, std::uint64_t count);
    // Takes level 0 as an earlier survey of the same volume left it (x fastest, the level's
    // padded size) in place of addSlices; false, changing nothing, when a count of cells
    // is not the level's. Call finish() after it.
    bool adoptLevelZero(std::vector<std::uint16_t> maxima, std::vector<std::uint16_t> minima);
    // Derives the coarser levels from level 0.
    void finish();

    const Level& level(std::size_t index) const { return m_levels[index]; }

    // The voxels of every brick whose range of texels can show (above the window's floor
    // and, under an opacity curve, not all where it hides them), judged on the finest level
    // small enough to scan in well under a millisecond: a ray clipped to it misses nothing
    // that can show. Empty when nothing can. In level-0 voxels: a coarse grid's box may reach
    // past the volume's end by less than one of its voxels.
    VoxelBox occupiedBox(const ShownTexels& shown) const;

  private:
    std::uint64_t m_width, m_height, m_depth;
    std::uint32_t m_shift;
    std::array<Level, kLevels> m_levels;
    std::vector<std::uint16_t> m_row;          // scratch: one row of texels
    std::vector<std::uint16_t> m_brickRows;    // scratch: one slice, per y brick and voxel column
    std::vector<std::uint16_t> m_brickRowsMin; // scratch: the same, smallest
    std::vector<std::uint16_t> m_sliceMaxima;  // scratch: one slice, per (x, y) brick
    std::vector<std::uint16_t> m_sliceMinima;  // scratch: the same, smallest
};
