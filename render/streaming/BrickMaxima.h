#pragma once

#include "render/streaming/BrickLayout.h"

#include <cstdint>
#include <vector>

class BrickGrid;

// The largest texel of each brick of every level, as far as known: from the survey's
// brick grid for level 0 where its cells are the bricks, else once the loader has read
// the brick. A ray samples at most one voxel into a brick it skips, so whether a brick
// can show depends on its neighbours' maxima too.
class BrickMaxima {
  public:
    explicit BrickMaxima(const BrickLayout& layout);

    // Takes the maxima of level-0 bricks from the grid when its cells are the layout's
    // bricks (each widened by one voxel, as a slot is); true when it did.
    bool takeFrom(const BrickGrid& grid);
    void set(const BrickKey& key, std::uint16_t maximum) {
        m_maxima[key.level][m_layout.index(key)] = maximum;
    }
    bool known(const BrickKey& key) const { return m_maxima[key.level][m_layout.index(key)] >= 0; }

    // Whether samples inside the brick can reach above `threshold`: unless it and each of
    // its neighbours are known to lie at or below it.
    bool canShow(const BrickKey& key, std::int64_t threshold) const;
    // Whether the brick must be resident: it or a neighbour is known to reach above
    // `threshold`. A brick below it whose neighbours are not all known yet waits, and is
    // read again once they are.
    bool mustUpload(const BrickKey& key, std::int64_t threshold) const;

  private:
    // The largest known maximum of the brick and its neighbours; the largest value there
    // is when one is unknown and `unknownShows`.
    std::int64_t neighbourhoodMaximum(const BrickKey& key, bool unknownShows) const;

    BrickLayout m_layout;
    std::vector<std::vector<std::int32_t>> m_maxima; // per level and brick; −1 until known
};
