#pragma once

#include "render/display/ColourMap.h"

#include <array>
#include <cstddef>
#include <cstdint>

// Which stretches of the display window a colour map's opacity curve hides entirely, so
// that rays skip the cells of the brick grid whose values all lie in one, whatever the
// curve's shape (a band, two bands). Kept as counts over the colour map's table: the n-th
// count is how many of the entries before entry n show (opacity above zero), so a run of
// entries shows nothing when the counts at its two ends are equal. The fragment stage reads
// the counts as a small table beside the colour map and judges a cell as hides() does;
// they change with the curve, never with the volume.
class OpacityRanges {
  public:
    static constexpr std::size_t kCounts = ColourMap::kTableSize + 1;
    using Counts = std::array<std::uint16_t, kCounts>;

    explicit OpacityRanges(const ColourMap::Table& table);

    const Counts& counts() const { return m_counts; }
    // Whether every sample whose window level (0 at the floor, 1 at the top, beyond on either
    // side) lies in [low, high] shows nothing: the table entries the colouring blends for
    // such levels, and one more on either side against rounding, are all transparent.
    bool hides(double low, double high) const;

  private:
    Counts m_counts{};
};
