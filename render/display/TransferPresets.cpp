#include "render/display/TransferPresets.h"

#include <algorithm>
#include <cmath>

namespace TransferPresets {

const std::vector<Entry>& all() {
    static const std::vector<Entry> presets{
        // Bone opaque and ivory; the soft tissue in front of it hidden.
        {QStringLiteral("CT Bone"),
         {{0.0, 0.55, 0.27, 0.17}, {0.25, 0.90, 0.78, 0.62}, {1.0, 1.0, 0.98, 0.93}},
         {{0.0, 0.0}, {0.15, 0.0}, {0.35, 0.6}, {1.0, 1.0}},
         100.0,
         1500.0},
        // Fat and air hidden, muscle and organs translucent red.
        {QStringLiteral("CT Soft Tissue"),
         {{0.0, 0.45, 0.15, 0.10}, {0.5, 0.85, 0.45, 0.35}, {1.0, 1.0, 0.85, 0.75}},
         {{0.0, 0.0}, {0.35, 0.0}, {0.55, 0.35}, {1.0, 0.8}},
         -300.0,
         300.0},
        // Air hidden, the lung's tissue faint, its vessels and airway walls clearer.
        {QStringLiteral("CT Lung"),
         {{0.0, 0.20, 0.20, 0.30}, {1.0, 0.95, 0.85, 0.80}},
         {{0.0, 0.0}, {0.15, 0.0}, {0.4, 0.2}, {1.0, 0.7}},
         -1000.0,
         -200.0},
        // Contrast-filled vessels (200–400 HU) opaque red, the bone above them faint.
        {QStringLiteral("CT Vessels (Contrast)"),
         {{0.0, 0.60, 0.05, 0.05}, {0.5, 0.95, 0.35, 0.25}, {1.0, 1.0, 0.95, 0.90}},
         {{0.0, 0.0}, {0.1, 0.0}, {0.3, 0.8}, {0.55, 0.9}, {0.7, 0.15}, {1.0, 0.1}},
         100.0,
         700.0},
        // The haze below a fifth of the volume's range hidden, the rest green.
        {QStringLiteral("Microscopy Background Cut"),
         {{0.0, 0.0, 0.0, 0.0}, {1.0, 0.6, 1.0, 0.6}},
         {{0.0, 0.0}, {0.2, 0.0}, {1.0, 1.0}},
         0.0,
         1.0,
         true},
    };
    return presets;
}

std::variant<ColourMap::Preset, QString> forVolume(const Entry& entry,
                                                   const QVRenderer::VolumeState& volume) {
    double low = entry.low, high = entry.high;
    if (entry.percentiles) {
        if (!volume.texels) {
            return QStringLiteral("the volume's samples are still being counted");
        }
        const auto value = [&](std::uint16_t texel) {
            return (texel + volume.sampleOffset) * volume.valueScale + volume.valueOffset;
        };
        const double first = value(volume.texels->lowPercentile);
        const double last = value(volume.texels->highPercentile);
        low = std::min(first, last);
        high = std::max(std::max(first, last), low + std::abs(volume.valueScale));
    } else if (!volume.hounsfield) {
        return QStringLiteral("the volume's values are not Hounsfield units");
    }
    return ColourMap::Preset{ColourMap(entry.name, entry.colours, entry.opacity), low, high};
}

} // namespace TransferPresets
