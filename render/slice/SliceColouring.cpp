#include "render/slice/SliceColouring.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kEntries = static_cast<int>(ColourMap::kTableSize);
constexpr int kChannels = 4;

} // namespace

SliceColouring::SliceColouring(Window window, const ColourMap& map)
    : m_window(window), m_table(map.table()) {}

QRgb SliceColouring::colour(std::uint16_t texel) const {
    return colourAt(static_cast<float>(texel));
}

QRgb SliceColouring::colourAt(float texel) const {
    const float width = std::max(static_cast<float>(m_window.width), 1.0f);
    const float floor = static_cast<float>(m_window.level) - 0.5f * width;
    const float value = texel + static_cast<float>(m_window.sampleOffset);
    const float at = std::clamp((value - floor) / width, 0.0f, 1.0f) * static_cast<float>(kEntries - 1);
    const int below = std::min(static_cast<int>(at), kEntries - 2);
    const float share = at - static_cast<float>(below);
    int channels[3];
    for (int channel = 0; channel < 3; ++channel) {
        const float low = m_table[below * kChannels + channel];
        const float high = m_table[(below + 1) * kChannels + channel];
        // An 8-bit framebuffer stores the shader's colour rounded to the nearest level.
        channels[channel] = static_cast<int>(std::lround(low + (high - low) * share));
    }
    return qRgb(channels[0], channels[1], channels[2]);
}

QImage SliceColouring::colour(const SliceImage& slice) const {
    QImage image(static_cast<int>(slice.width), static_cast<int>(slice.height), QImage::Format_RGB32);
    // A 16-bit texel has 65536 values: colouring each once is cheaper than each pixel of a
    // large slice, and colours every pixel of one texel alike.
    std::vector<QRgb> colours(std::size_t{1} << 16);
    std::vector<bool> known(colours.size(), false);
    for (std::uint64_t row = 0; row < slice.height; ++row) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(static_cast<int>(row)));
        for (std::uint64_t column = 0; column < slice.width; ++column) {
            const std::uint16_t texel = slice.at(column, row);
            if (!known[texel]) {
                colours[texel] = colour(texel);
                known[texel] = true;
            }
            line[column] = colours[texel];
        }
    }
    return image;
}
