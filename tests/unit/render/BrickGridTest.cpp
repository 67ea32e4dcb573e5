#include "render/streaming/BrickGrid.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

struct GridCase {
    const char* name;
    std::uint64_t width, height, depth;
    std::uint64_t slabSlices; // how many slices each addSlices call gets
};

// The obvious definition: the largest texel of a cell of `side` voxels widened by one voxel
// on every side, clipped to the volume; 0 for the padding cells, which hold no voxel.
std::uint16_t bruteForceMaximum(const GridCase& v, const std::vector<std::uint16_t>& texels,
                                std::uint64_t side, std::uint64_t bx, std::uint64_t by, std::uint64_t bz) {
    if (bx * side >= v.width || by * side >= v.height || bz * side >= v.depth)
        return 0;
    // The cell's first and one-past-last voxel along an axis, widened and clipped.
    const auto span = [side](std::uint64_t brick, std::uint64_t size) {
        return std::pair(brick == 0 ? 0 : brick * side - 1, std::min((brick + 1) * side + 1, size));
    };
    const auto [x0, x1] = span(bx, v.width);
    const auto [y0, y1] = span(by, v.height);
    const auto [z0, z1] = span(bz, v.depth);
    std::uint16_t maximum = 0;
    for (std::uint64_t z = z0; z < z1; ++z)
        for (std::uint64_t y = y0; y < y1; ++y)
            for (std::uint64_t x = x0; x < x1; ++x)
                maximum = std::max(maximum, texels[(z * v.height + y) * v.width + x]);
    return maximum;
}

class BrickGridOf : public testing::TestWithParam<GridCase> {};

TEST_P(BrickGridOf, EveryLevelHoldsTheMaximaOfItsWidenedCells) {
    const GridCase& c = GetParam();
    // Mostly air, a few voxels of every size, so brick maxima differ from brick to brick.
    std::mt19937 random(7);
    std::vector<std::uint16_t> texels(c.width * c.height * c.depth);
    for (std::uint16_t& texel : texels)
        texel = random() % 50 == 0 ? static_cast<std::uint16_t>(random() % 65536) : 0;
    BrickGrid grid(c.width, c.height, c.depth);
    // Slabs from the last to the first: the grid must not depend on their order.
    for (std::uint64_t slab = (c.depth + c.slabSlices - 1) / c.slabSlices; slab-- > 0;) {
        const std::uint64_t z = slab * c.slabSlices;
        grid.addSlices(reinterpret_cast<const std::byte*>(&texels[z * c.width * c.height]), z,
                       std::min(c.slabSlices, c.depth - z));
    }
    grid.finish();

    const BrickGrid::Level& base = grid.level(0);
    const auto bricks = [](std::uint64_t voxels) {
        return (voxels + BrickGrid::kBrickSide - 1) / BrickGrid::kBrickSide;
    };
    // Padded to whole cells of every level, and long enough for all of them, by at most 8
    // cells per brick (and the 8 of the smallest grid): a row or a slice keeps a small grid.
    EXPECT_LE(base.width * base.height * base.depth,
              8 * bricks(c.width) * bricks(c.height) * bricks(c.depth) + 8);
    EXPECT_GE(std::max({base.width, base.height, base.depth}), 8u);
    EXPECT_GE(base.width * BrickGrid::kBrickSide, c.width);
    // Each coarser level halves every side (a side of one stays one); its cells hold the
    // maxima of cells twice as large.
    for (std::size_t index = 0; index < BrickGrid::kLevels; ++index) {
        const BrickGrid::Level& level = grid.level(index);
        const BrickGrid::Level& fine = grid.level(index > 0 ? index - 1 : 0);
        for (const auto& [f, k] : {std::pair(fine.width, level.width), std::pair(fine.height, level.height),
                                   std::pair(fine.depth, level.depth)})
            ASSERT_TRUE(index == 0 || f == 2 * k || (f == 1 && k == 1))
                << "level " << index << ": " << f << " to " << k;
        for (std::uint64_t z = 0; z < level.depth; ++z)
            for (std::uint64_t y = 0; y < level.height; ++y)
                for (std::uint64_t x = 0; x < level.width; ++x)
                    ASSERT_EQ(level.maxima[(z * level.height + y) * level.width + x],
                              bruteForceMaximum(c, texels, BrickGrid::kBrickSide << index, x, y, z))
                        << "level " << index << " cell " << x << "," << y << "," << z;
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, BrickGridOf,
                         testing::Values(GridCase{"OddSizesOneSliceAtATime", 21, 13, 17, 1},
                                         GridCase{"OddSizesSlabsAcrossBrickBoundaries", 21, 13, 17, 5},
                                         GridCase{"WholeBricksOneSlab", 32, 16, 24, 24},
                                         GridCase{"SmallerThanOneBrick", 3, 5, 7, 7},
                                         GridCase{"Row", 300, 1, 1, 1}, GridCase{"TallColumn", 3, 2, 100, 7}),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
