#pragma once

#include "render/QVRenderer.h"
#include "render/display/ColourMap.h"

#include <QString>
#include <variant>
#include <vector>

// The View menu's presets: a colour map with an opacity curve over a range of values, for
// what users most often look for. The CT ones are in Hounsfield units and offered for volumes
// whose values are HU; the microscopy one spans the volume's own 1st to 99th percentile.
namespace TransferPresets {

struct Entry {
    QString name;
    std::vector<ColourMap::Point> colours;
    std::vector<ColourMap::OpacityPoint> opacity;
    double low = 0.0, high = 1.0; // Hounsfield units; for percentile presets, unused
    bool percentiles = false;
};

const std::vector<Entry>& all();

// The preset placed on `volume`'s values (its own units), or why the volume has none.
std::variant<ColourMap::Preset, QString> forVolume(const Entry& entry, const QVRenderer::VolumeState& volume);

} // namespace TransferPresets
