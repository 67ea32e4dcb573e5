#pragma once

#include "render/streaming/BrickLayout.h"
#include "render/streaming/ShownTexels.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

class BrickGrid;

// The smallest and largest texel of each brick of every level, as far as known: from the
// survey's brick grid for level 0 where its cells are the bricks, else once the loader has
// read the brick. A ray samples at most one voxel into a brick it skips, so whether a brick
// can show depends on its neighbours' ranges too.
class BrickRanges {
  public:
    explicit BrickRanges(const BrickLayout& layout);

    // Takes the ranges of level-0 bricks from the grid when its cells are the layout's
    // bricks (each widened by one voxel, as a slot is); true when it did.
    bool takeFrom(const BrickGrid& grid);
    void set(const BrickKey& key, std::uint16_t minimum, std::uint16_t maximum) {
        m_ranges[key.level][m_layout.index(key)] = {minimum, maximum};
    }
    bool known(const BrickKey& key) const { return m_ranges[key.level][m_layout.index(key)].known(); }
    // The smallest and largest texel of the brick's slot, when known.
    std::optional<std::array<std::uint16_t, 2>> range(const BrickKey& key) const {
        const Range& range = m_ranges[key.level][m_layout.index(key)];
        if (!range.known()) {
            return std::nullopt;
        }
        return std::array{static_cast<std::uint16_t>(range.minimum),
                          static_cast<std::uint16_t>(range.maximum)};
    }

    // Whether samples inside the brick can show: unless it and each of its neighbours are
    // known to hold texels that cannot.
    bool canShow(const BrickKey& key, const ShownTexels& shown) const;
    // Whether the brick must be resident: the texels known of it and its neighbours can
    // show. A brick that cannot show whose neighbours are not all known yet waits, and is
    // read again once they are.
    bool mustUpload(const BrickKey& key, const ShownTexels& shown) const;

  private:
    struct Range {
        std::int32_t minimum = 0;
        std::int32_t maximum = -1; // below the minimum until known

        bool known() const { return maximum >= minimum; }
    };

    // The range over the brick and its neighbours: over those known, or the whole range of
    // texels when one is unknown and `unknownShows`.
    Range neighbourhood(const BrickKey& key, bool unknownShows) const;

    BrickLayout m_layout;
    std::vector<std::vector<Range>> m_ranges; // per level and brick
};
