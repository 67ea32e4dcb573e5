#include "LinearRescale.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kLargestTexel = std::numeric_limits<std::uint16_t>::max();

} // namespace

LinearRescale LinearRescale::forRange(double low, double high) {
    if (!(high > low))
        return {1.0, low};
    return {(high - low) / kLargestTexel, low};
}

std::uint16_t LinearRescale::texel(double value) const {
    const double position = std::round((value - offset) / scale);
    return static_cast<std::uint16_t>(std::clamp(position, 0.0, kLargestTexel));
}
