#include "render/display/OpacityRanges.h"

#include <algorithm>

namespace {

// The entry below a window level, as the colouring picks the two it blends: the level
// clamped to the window, the last pair's first entry at the top.
std::size_t entryBelow(double level) {
    const double at = std::clamp(level, 0.0, 1.0) * static_cast<double>(ColourMap::kTableSize - 1);
    return std::min(static_cast<std::size_t>(at), ColourMap::kTableSize - 2);
}

} // namespace

OpacityRanges::OpacityRanges(const ColourMap::Table& table) {
    for (std::size_t n = 0; n < ColourMap::kTableSize; ++n) {
        if (table[4 * n + 3] == 0) {
            continue;
        }
        if (!m_runs.empty() && m_runs.back().last + 1 == n) {
            m_runs.back().last = n;
        } else {
            m_runs.push_back({n, n});
        }
    }
    const auto gapBefore = [&](std::size_t run) { return m_runs[run].first - m_runs[run - 1].last; };
    while (m_runs.size() > kRuns) {
        std::size_t narrowest = 1;
        for (std::size_t run = 2; run < m_runs.size(); ++run) {
            narrowest = gapBefore(run) < gapBefore(narrowest) ? run : narrowest;
        }
        m_runs[narrowest - 1].last = m_runs[narrowest].last;
        m_runs.erase(m_runs.begin() + static_cast<std::ptrdiff_t>(narrowest));
    }
}

bool OpacityRanges::hides(double low, double high) const {
    const std::size_t below = entryBelow(low);
    const std::size_t first = below == 0 ? 0 : below - 1;
    const std::size_t last = std::min(entryBelow(high) + 2, ColourMap::kTableSize - 1);
    return low <= high && std::ranges::none_of(
                              m_runs, [&](const Run& run) { return run.first <= last && run.last >= first; });
}
