#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// One brick of one level of detail.
struct BrickKey {
    std::uint32_t level = 0;
    std::array<std::uint32_t, 3> brick{};
    bool operator==(const BrickKey&) const = default;
};

// How a volume is cut into levels of detail and bricks. Level n has ceil(size / 2^n)
// voxels per axis, each standing for the 2^n × 2^n × 2^n voxels of level 0 it covers, so
// a brick of level n covers exactly the eight bricks of level n − 1 below it (brick b's
// parent is b / 2 on every axis). A brick is brickSide³ voxels; in the atlas it sits in a
// slot with kBorder more voxels on every side, so trilinear samples up to a voxel outside
// the brick (a gradient, the parts of a step) blend only texels of its own slot. Levels go
// on until one brick holds the whole volume.
//
// The base level is the finest level of at most kBaseBricks bricks: it is always resident,
// so there is always a picture, however coarse, wherever the finer bricks have not arrived.
class BrickLayout {
  public:
    static constexpr std::uint64_t kBorder = 2;
    static constexpr std::uint64_t kBaseBricks = 64;

    BrickLayout(std::array<std::uint64_t, 3> size, std::uint64_t brickSide);

    std::uint64_t brickSide() const { return m_brickSide; }
    std::uint64_t slotSide() const { return m_brickSide + 2 * kBorder; }
    std::uint64_t slotTexels() const { return slotSide() * slotSide() * slotSide(); }
    std::size_t levelCount() const { return m_levels.size(); }
    std::uint32_t baseLevel() const { return m_baseLevel; }

    const std::array<std::uint64_t, 3>& voxels(std::uint32_t level) const { return m_levels[level].voxels; }
    const std::array<std::uint64_t, 3>& bricks(std::uint32_t level) const { return m_levels[level].bricks; }
    std::uint64_t brickCount(std::uint32_t level) const;
    // The brick's place among its level's bricks, x fastest.
    std::uint64_t index(const BrickKey& key) const;
    BrickKey key(std::uint32_t level, std::uint64_t index) const;
    // The brick of the next coarser level that covers this one.
    static BrickKey parent(const BrickKey& key);

    // The page table holds one entry per brick of every level up to the base level, the
    // levels stacked along the axis with the fewest bricks (x among equals): level n's
    // entries start at pageOrigin(n). Stacked along the short axis, a tall stack or a long
    // row needs a table little longer than its level 0 along the long one.
    const std::array<std::uint64_t, 3>& pageOrigin(std::uint32_t level) const {
        return m_levels[level].pageOrigin;
    }
    std::array<std::uint64_t, 3> pageTableSize() const;

    // The brick's box in texture coordinates of the whole volume ([0, 1] per axis).
    std::array<std::array<float, 3>, 2> textureBox(const BrickKey& key) const;

  private:
    struct Level {
        std::array<std::uint64_t, 3> voxels{}, bricks{}, pageOrigin{};
    };

    std::array<std::uint64_t, 3> m_size;
    std::uint64_t m_brickSide;
    std::vector<Level> m_levels;
    std::uint32_t m_baseLevel = 0;
    std::size_t m_pageAxis = 0; // the axis the page table stacks its levels along
};
