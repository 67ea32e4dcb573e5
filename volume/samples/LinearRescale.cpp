#include "volume/samples/LinearRescale.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kLargestTexel = std::numeric_limits<std::uint16_t>::max();

} // namespace

LinearRescale LinearRescale::forRange(double low, double high) {
    if (!(high > low))
        return {1.0, low};
    // high - low may exceed the largest double; then each bound is divided first. A range
    // of a few denormals divides to 0, where the smallest double keeps the scale positive.
    const double span = high - low;
    const double scale =
        std::isfinite(span) ? span / kLargestTexel : high / kLargestTexel - low / kLargestTexel;
    return {std::max(scale, std::numeric_limits<double>::denorm_min()), low};
}

double LinearRescale::position(double value, double scale, double offset) {
    const double difference = value - offset;
    return std::isfinite(difference) ? difference / scale : value / scale - offset / scale;
}

std::uint16_t LinearRescale::texel(double value) const {
    const double nearest = std::round(position(value, scale, offset));
    if (std::isnan(nearest))
        return 0;
    return static_cast<std::uint16_t>(std::clamp(nearest, 0.0, kLargestTexel));
}
