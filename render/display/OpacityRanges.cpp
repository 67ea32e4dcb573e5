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
        m_counts[n + 1] = static_cast<std::uint16_t>(m_counts[n] + (table[4 * n + 3] > 0 ? 1 : 0));
    }
}

bool OpacityRanges::hides(double low, double high) const {
    const std::size_t first = entryBelow(low);
    const std::size_t last = std::min(entryBelow(high) + 2, ColourMap::kTableSize - 1);
    return low <= high && m_counts[last + 1] == m_counts[first == 0 ? 0 : first - 1];
}
