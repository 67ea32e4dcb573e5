#include "render/streaming/BrickLayout.h"

#include <algorithm>

namespace {

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) {
    return (a + b - 1) / b;
}

} // namespace

BrickLayout::BrickLayout(std::array<std::uint64_t, 3> size, std::uint64_t brickSide)
    : m_size(size), m_brickSide(std::max<std::uint64_t>(brickSide, 1)) {
    for (std::uint32_t level = 0;; ++level) {
        Level next;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            next.voxels[axis] = std::max<std::uint64_t>(ceilDiv(size[axis], std::uint64_t{1} << level), 1);
            next.bricks[axis] = ceilDiv(next.voxels[axis], m_brickSide);
        }
        m_levels.push_back(next);
        if (next.bricks == std::array<std::uint64_t, 3>{1, 1, 1}) {
            break;
        }
    }
    m_baseLevel = static_cast<std::uint32_t>(m_levels.size() - 1);
    while (m_baseLevel > 0 && brickCount(m_baseLevel - 1) <= kBaseBricks) {
        --m_baseLevel;
    }
    m_levels.resize(m_baseLevel + 1);
    const std::array<std::uint64_t, 3>& levelZero = m_levels[0].bricks;
    m_pageAxis =
        static_cast<std::size_t>(std::min_element(levelZero.begin(), levelZero.end()) - levelZero.begin());
    std::uint64_t origin = 0;
    for (Level& level : m_levels) {
        level.pageOrigin[m_pageAxis] = origin;
        origin += level.bricks[m_pageAxis];
    }
}

std::uint64_t BrickLayout::brickCount(std::uint32_t level) const {
    const std::array<std::uint64_t, 3>& b = m_levels[level].bricks;
    return b[0] * b[1] * b[2];
}

std::uint64_t BrickLayout::index(const BrickKey& key) const {
    const std::array<std::uint64_t, 3>& b = m_levels[key.level].bricks;
    return (key.brick[2] * b[1] + key.brick[1]) * b[0] + key.brick[0];
}

BrickKey BrickLayout::key(std::uint32_t level, std::uint64_t index) const {
    const std::array<std::uint64_t, 3>& b = m_levels[level].bricks;
    return {level,
            {static_cast<std::uint32_t>(index % b[0]), static_cast<std::uint32_t>(index / b[0] % b[1]),
             static_cast<std::uint32_t>(index / (b[0] * b[1]))}};
}

BrickKey BrickLayout::parent(const BrickKey& key) {
    return {key.level + 1, {key.brick[0] / 2, key.brick[1] / 2, key.brick[2] / 2}};
}

std::array<std::uint64_t, 3> BrickLayout::pageTableSize() const {
    const Level& last = m_levels.back();
    std::array<std::uint64_t, 3> size = m_levels[0].bricks;
    size[m_pageAxis] = last.pageOrigin[m_pageAxis] + last.bricks[m_pageAxis];
    return size;
}

std::array<std::array<float, 3>, 2> BrickLayout::textureBox(const BrickKey& key) const {
    std::array<std::array<float, 3>, 2> box{};
    const std::uint64_t span = m_brickSide << key.level; // level-0 voxels per brick side
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const double size = static_cast<double>(m_size[axis]);
        box[0][axis] = static_cast<float>(std::min(static_cast<double>(key.brick[axis] * span) / size, 1.0));
        box[1][axis] =
            static_cast<float>(std::min(static_cast<double>((key.brick[axis] + 1) * span) / size, 1.0));
    }
    return box;
}
