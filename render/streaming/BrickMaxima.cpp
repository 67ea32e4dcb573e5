#include "render/streaming/BrickMaxima.h"

#include "render/streaming/BrickGrid.h"

#include <algorithm>
#include <limits>

BrickMaxima::BrickMaxima(const BrickLayout& layout) : m_layout(layout) {
    for (std::uint32_t level = 0; level <= m_layout.baseLevel(); ++level) {
        m_maxima.emplace_back(m_layout.brickCount(level), -1);
    }
}

bool BrickMaxima::takeFrom(const BrickGrid& grid) {
    bool taken = false;
    for (std::size_t level = 0; level < BrickGrid::kLevels; ++level) {
        if (BrickGrid::kBrickSide << level != m_layout.brickSide()) {
            continue;
        }
        const BrickGrid::Level& cells = grid.level(level);
        std::vector<std::int32_t>& maxima = m_maxima[0];
        for (std::uint64_t index = 0; index < maxima.size(); ++index) {
            const BrickKey key = m_layout.key(0, index);
            if (maxima[index] < 0) {
                maxima[index] =
                    cells.maxima[(key.brick[2] * cells.height + key.brick[1]) * cells.width + key.brick[0]];
            }
        }
        taken = true;
    }
    return taken;
}

bool BrickMaxima::canShow(const BrickKey& key, std::int64_t threshold) const {
    return threshold < 0 || neighbourhoodMaximum(key, true) > threshold;
}

bool BrickMaxima::mustUpload(const BrickKey& key, std::int64_t threshold) const {
    return threshold < 0 || neighbourhoodMaximum(key, false) > threshold;
}

std::int64_t BrickMaxima::neighbourhoodMaximum(const BrickKey& key, bool unknownShows) const {
    const std::array<std::uint64_t, 3>& bricks = m_layout.bricks(key.level);
    std::array<std::uint32_t, 3> low{}, high{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        low[axis] = key.brick[axis] == 0 ? 0 : key.brick[axis] - 1;
        high[axis] =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(key.brick[axis] + 1, bricks[axis] - 1));
    }
    const std::vector<std::int32_t>& maxima = m_maxima[key.level];
    std::int64_t largest = -1;
    for (std::uint32_t z = low[2]; z <= high[2]; ++z) {
        for (std::uint32_t y = low[1]; y <= high[1]; ++y) {
            for (std::uint32_t x = low[0]; x <= high[0]; ++x) {
                const std::int32_t maximum = maxima[m_layout.index({key.level, {x, y, z}})];
                if (maximum < 0 && unknownShows) {
                    return std::numeric_limits<std::int64_t>::max();
                }
                largest = std::max<std::int64_t>(largest, maximum);
            }
        }
    }
    return largest;
}
