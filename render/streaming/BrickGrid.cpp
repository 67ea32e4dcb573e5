#include "render/streaming/BrickGrid.h"

#include "render/streaming/ShownTexels.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// Each coarser level halves every side of the one below (a side of one stays one), as the
// mipmap levels of the grid's texture do: level 0 is padded to a power of two up to this
// many bricks, and to a multiple of it beyond. Its longest side is at least this long,
// so that the texture has every level. A row or a single slice is not padded along its
// short axes, so the grid stays a few cells per brick of the volume.
constexpr std::uint64_t kLevelZeroMultiple = std::uint64_t{1} << (BrickGrid::kLevels - 1);
// occupiedBox() scans the finest level with at most this many cells (64³).
constexpr std::uint64_t kMostCellsScanned = std::uint64_t{1} << 18;
// The minimum of a cell that holds no voxel: above every texel, so it lowers no minimum.
constexpr std::uint16_t kNoValue = 0xFFFF;

// The bricks that hold voxels, and the padded count of level 0.
std::uint64_t bricksFor(std::uint64_t voxels) {
    return (voxels + BrickGrid::kBrickSide - 1) / BrickGrid::kBrickSide;
}

std::uint64_t paddedBricksFor(std::uint64_t voxels) {
    const std::uint64_t bricks = bricksFor(voxels);
    if (bricks <= kLevelZeroMultiple) {
        return std::bit_ceil(std::max<std::uint64_t>(bricks, 1));
    }
    return (bricks + kLevelZeroMultiple - 1) / kLevelZeroMultiple * kLevelZeroMultiple;
}

// The bricks along one axis whose widened range [b·side − 1, (b + 1)·side] holds the voxel.
struct BrickRange {
    std::uint64_t first, last;
};

BrickRange bricksTouching(std::uint64_t voxel, std::uint64_t bricks) {
    const std::uint64_t first = voxel == 0 ? 0 : (voxel - 1) / BrickGrid::kBrickSide;
    const std::uint64_t last = std::min((voxel + 1) / BrickGrid::kBrickSide, bricks - 1);
    return {first, last};
}

} // namespace

BrickGrid::BrickGrid(std::uint64_t width, std::uint64_t height, std::uint64_t depth, std::uint32_t shift)
    : m_width(width), m_height(height), m_depth(depth), m_shift(shift) {
    std::array<std::uint64_t, 3> sides{paddedBricksFor(width), paddedBricksFor(height),
                                       paddedBricksFor(depth)};
    std::uint64_t& longest = *std::max_element(sides.begin(), sides.end());
    longest = std::max(longest, kLevelZeroMultiple);
    for (Level& level : m_levels) {
        level.width = sides[0];
        level.height = sides[1];
        level.depth = sides[2];
        for (std::uint64_t& side : sides) {
            side = std::max<std::uint64_t>(side / 2, 1);
        }
    }
    const std::uint64_t cells = m_levels[0].width * m_levels[0].height * m_levels[0].depth;
    m_levels[0].maxima.assign(cells, 0);
    m_levels[0].minima.assign(cells, kNoValue);
    m_row.resize(width);
    m_brickRows.resize(bricksFor(height) * width);
    m_brickRowsMin.resize(m_brickRows.size());
    m_sliceMaxima.resize(m_levels[0].width * m_levels[0].height);
    m_sliceMinima.resize(m_sliceMaxima.size());
}

void BrickGrid::addSlices(const std::byte* slices, std::uint64_t firstSlice, std::uint64_t count) {
    Level& base = m_levels[0];
    const std::uint64_t bricksX = bricksFor(m_width);
    const std::uint64_t bricksY = bricksFor(m_height);
    const std::uint64_t bricksZ = bricksFor(m_depth);
    const std::size_t rowBytes = m_width * sizeof(std::uint16_t);
    for (std::uint64_t z = firstSlice; z < firstSlice + count && z < m_depth; ++z) {
        // First down the rows: each row into the one or two brick rows whose samples can
        // blend it (element by element, which vectorises), then across each brick row.
        std::fill(m_brickRows.begin(), m_brickRows.end(), 0);
        std::fill(m_brickRowsMin.begin(), m_brickRowsMin.end(), kNoValue);
        const std::byte* slice = slices + (z - firstSlice) * m_height * rowBytes;
        for (std::uint64_t y = 0; y < m_height; ++y) {
            std::memcpy(m_row.data(), slice + y * rowBytes, rowBytes);
            const BrickRange ys = bricksTouching(y, bricksY);
            for (std::uint64_t by = ys.first; by <= ys.last; ++by) {
                std::uint16_t* out = m_brickRows.data() + by * m_width;
                std::uint16_t* outMin = m_brickRowsMin.data() + by * m_width;
                for (std::uint64_t x = 0; x < m_width; ++x) {
                    out[x] = std::max(out[x], m_row[x]);
                    outMin[x] = std::min(outMin[x], m_row[x]);
                }
            }
        }
        std::fill(m_sliceMaxima.begin(), m_sliceMaxima.end(), 0);
        std::fill(m_sliceMinima.begin(), m_sliceMinima.end(), kNoValue);
        for (std::uint64_t by = 0; by < bricksY; ++by) {
            const std::uint16_t* row = m_brickRows.data() + by * m_width;
            const std::uint16_t* rowMin = m_brickRowsMin.data() + by * m_width;
            std::uint16_t* out = m_sliceMaxima.data() + by * base.width;
            std::uint16_t* outMin = m_sliceMinima.data() + by * base.width;
            for (std::uint64_t bx = 0; bx < bricksX; ++bx) {
                // The brick's own voxels and one more on each side.
                const std::uint64_t begin = bx == 0 ? 0 : bx * kBrickSide - 1;
                const std::uint64_t end = std::min((bx + 1) * kBrickSide + 1, m_width);
                out[bx] = *std::max_element(row + begin, row + end);
                outMin[bx] = *std::min_element(rowMin + begin, rowMin + end);
            }
        }
        const BrickRange zs = bricksTouching(z, bricksZ);
        for (std::uint64_t bz = zs.first; bz <= zs.last; ++bz) {
            std::uint16_t* out = base.maxima.data() + bz * base.width * base.height;
            std::uint16_t* outMin = base.minima.data() + bz * base.width * base.height;
            for (std::size_t i = 0; i < m_sliceMaxima.size(); ++i) {
                out[i] = std::max(out[i], m_sliceMaxima[i]);
                outMin[i] = std::min(outMin[i], m_sliceMinima[i]);
            }
        }
    }
}

bool BrickGrid::adoptLevelZero(std::vector<std::uint16_t> maxima, std::vector<std::uint16_t> minima) {
    if (maxima.size() != m_levels[0].maxima.size() || minima.size() != m_levels[0].minima.size()) {
        return false;
    }
    m_levels[0].maxima = std::move(maxima);
    m_levels[0].minima = std::move(minima);
    return true;
}

void BrickGrid::finish() {
    for (std::size_t index = 1; index < kLevels; ++index) {
        const Level& fine = m_levels[index - 1];
        Level& coarse = m_levels[index];
        coarse.maxima.assign(coarse.width * coarse.height * coarse.depth, 0);
        coarse.minima.assign(coarse.maxima.size(), kNoValue);
        for (std::uint64_t z = 0; z < fine.depth; ++z) {
            for (std::uint64_t y = 0; y < fine.height; ++y) {
                const std::uint64_t from = (z * fine.height + y) * fine.width;
                const std::uint64_t to = ((z / 2) * coarse.height + y / 2) * coarse.width;
                for (std::uint64_t x = 0; x < fine.width; ++x) {
                    coarse.maxima[to + x / 2] = std::max(coarse.maxima[to + x / 2], fine.maxima[from + x]);
                    coarse.minima[to + x / 2] = std::min(coarse.minima[to + x / 2], fine.minima[from + x]);
                }
            }
        }
    }
}

BrickGrid::VoxelBox BrickGrid::occupiedBox(const ShownTexels& shown) const {
    std::size_t index = 0;
    while (index + 1 < kLevels && m_levels[index].maxima.size() > kMostCellsScanned) {
        ++index;
    }
    const Level& level = m_levels[index];
    std::array<std::uint64_t, 3> low{level.width, level.height, level.depth};
    std::array<std::uint64_t, 3> high{0, 0, 0}; // one past the last occupied cell
    for (std::uint64_t z = 0; z < level.depth; ++z) {
        for (std::uint64_t y = 0; y < level.height; ++y) {
            const std::uint64_t row = (z * level.height + y) * level.width;
            for (std::uint64_t x = 0; x < level.width; ++x) {
                if (shown.canShow(level.minima[row + x], level.maxima[row + x])) {
                    low = {std::min(low[0], x), std::min(low[1], y), std::min(low[2], z)};
                    high = {std::max(high[0], x + 1), std::max(high[1], y + 1), std::max(high[2], z + 1)};
                }
            }
        }
    }
    const std::uint64_t cellSide = kBrickSide << index;
    const std::array<std::uint64_t, 3> size{m_width, m_height, m_depth};
    VoxelBox box;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        box.low[axis] = std::min(low[axis] * cellSide, size[axis]) << m_shift;
        box.high[axis] = std::min(high[axis] * cellSide, size[axis]) << m_shift;
    }
    return box;
}
