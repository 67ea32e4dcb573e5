#pragma once

#include "render/display/OpacityRanges.h"

#include <cstdint>
#include <memory>

// Which texel values a frame can show, as the choice of bricks judges a brick by the range
// of its texels and its neighbours': above the window's floor and, where the composite's
// opacity curve hides stretches of the window (a band, two bands), not all inside one.
struct ShownTexels {
    // Texels at or below this cannot show; negative when every sample counts (the minimum
    // and mean projections).
    std::int64_t threshold = -1;
    // The opacity curve over the window, whose floor and width are in texels. Set only where
    // the curve hides the zero texel as well: a brick left out reads as zeros.
    std::shared_ptr<const OpacityRanges> curve{};
    double floor = 0.0;
    double width = 1.0;

    // Whether texels from `minimum` to `maximum` can show.
    bool canShow(std::int64_t minimum, std::int64_t maximum) const {
        if (threshold < 0) {
            return true;
        }
        return maximum > threshold &&
               !(curve && curve->hides((static_cast<double>(minimum) - floor) / width,
                                       (static_cast<double>(maximum) - floor) / width));
    }

    bool operator==(const ShownTexels&) const = default;
};
