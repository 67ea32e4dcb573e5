#include "FrameStats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

constexpr double kP90 = 0.9;

} // namespace

FrameStats FrameStats::fromTimes(const std::vector<double>& milliseconds) {
    FrameStats stats;
    stats.frames = static_cast<int>(milliseconds.size());
    if (milliseconds.empty()) {
        return stats;
    }
    stats.firstMs = milliseconds.front();
    std::vector<double> steady(milliseconds.size() > 1 ? milliseconds.begin() + 1 : milliseconds.begin(),
                               milliseconds.end());
    std::sort(steady.begin(), steady.end());
    const std::size_t count = steady.size();
    stats.medianMs = count % 2 == 1 ? steady[count / 2] : 0.5 * (steady[count / 2 - 1] + steady[count / 2]);
    const auto rank = static_cast<std::size_t>(std::ceil(kP90 * static_cast<double>(count)));
    stats.p90Ms = steady[std::max<std::size_t>(rank, 1) - 1];
    stats.meanMs = std::accumulate(steady.begin(), steady.end(), 0.0) / static_cast<double>(count);
    return stats;
}
