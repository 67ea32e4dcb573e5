#pragma once

#include "render/display/ColourMap.h"

#include <cstddef>
#include <vector>

// Which stretches of the display window a colour map's opacity curve hides entirely, so
// that rays skip the cells of the brick grid whose values all lie in one, whatever the
// curve's shape (a band, two bands). Kept as the runs of the colour map's table entries
// that show (opacity above zero), at most kRuns of them: a curve of more bands has its runs
// joined across the narrowest gaps, which hides less, never more. The fragment stage gets
// the runs beside the window and judges a cell as hides() does, without a texture fetch;
// they change with the curve, never with the volume.
class OpacityRanges {
  public:
    static constexpr std::size_t kRuns = 4;
    struct Run {
        std::size_t first, last; // table entries, both showing
    };

    explicit OpacityRanges(const ColourMap::Table& table);

    const std::vector<Run>& runs() const { return m_runs; }
    // Whether every sample whose window level (0 at the floor, 1 at the top, beyond on either
    // side) lies in [low, high] shows nothing: the table entries the colouring blends for
    // such levels, and one more on either side against rounding, lie in no run.
    bool hides(double low, double high) const;

  private:
    std::vector<Run> m_runs;
};
