#include "render/streaming/BrickRanges.h"

#include "render/streaming/BrickGrid.h"

#include <algorithm>
#include <limits>

BrickRanges::BrickRanges(const BrickLayout& layout) : m_layout(layout) {
    for (std::uint32_t level = 0; level <= m_layout.baseLevel(); ++level) {
        m_ranges.emplace_back(m_layout.brickCount(level));
    }
}

bool BrickRanges::takeFrom(const BrickGrid& grid) {
    bool taken = false;
    for (std::size_t level = 0; level < BrickGrid::kLevels; ++level) {
        if (BrickGrid::kBrickSide << level != m_layout.brickSide()) {
            continue;
        }
        const BrickGrid::Level& cells = grid.level(level);
        std::vector<Range>& ranges = m_ranges[0];
        for (std::uint64_t index = 0; index < ranges.size(); ++index) {
            const BrickKey key = m_layout.key(0, index);
            const std::uint64_t cell =
                (key.brick[2] * cells.height + key.brick[1]) * cells.width + key.brick[0];
            if (!ranges[index].known()) {
                ranges[index] = {cells.minima[cell], cells.maxima[cell]};
            }
        }
        taken = true;
    }
    return taken;
}

bool BrickRanges::canShow(const BrickKey& key, const ShownTexels& shown) const {
    const Range range = neighbourhood(key, true);
    return shown.canShow(range.minimum, range.maximum);
}

bool BrickRanges::mustUpload(const BrickKey& key, const ShownTexels& shown) const {
    const Range range = neighbourhood(key, false);
    return shown.threshold < 0 || (range.known() && shown.canShow(range.minimum, range.maximum));
}

BrickRanges::Range BrickRanges::neighbourhood(const BrickKey& key, bool unknownShows) const {
    const std::array<std::uint64_t, 3>& bricks = m_layout.bricks(key.level);
    std::array<std::uint32_t, 3> low{}, high{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        low[axis] = key.brick[axis] == 0 ? 0 : key.brick[axis] - 1;
        high[axis] =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(key.brick[axis] + 1, bricks[axis] - 1));
    }
    const std::vector<Range>& ranges = m_ranges[key.level];
    Range wide{std::numeric_limits<std::uint16_t>::max(), -1};
    for (std::uint32_t z = low[2]; z <= high[2]; ++z) {
        for (std::uint32_t y = low[1]; y <= high[1]; ++y) {
            for (std::uint32_t x = low[0]; x <= high[0]; ++x) {
                const Range& range = ranges[m_layout.index({key.level, {x, y, z}})];
                if (!range.known()) {
                    if (unknownShows) {
                        return {0, std::numeric_limits<std::uint16_t>::max()};
                    }
                    continue;
                }
                wide = {std::min(wide.minimum, range.minimum), std::max(wide.maximum, range.maximum)};
            }
        }
    }
    return wide;
}
