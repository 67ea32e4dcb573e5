#pragma once

#include "render/QVRenderer.h"

#include <QString>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

// The display windows a user picks by name, turned into the renderer's sample units
// (texel + sampleOffset) for the volume on show. CT windows are given in Hounsfield
// units and offered only for volumes whose values are HU (the built-in sample among
// them, stored as HU + 1024); the file's own window only where the file names one.
enum class WindowPreset { Startup, Import, Auto, FullRange, File, SoftTissue, Bone, Lung, Brain };

namespace WindowPresets {

// Centre and width in sample units, ready for setWl / setWw.
struct SampleWindow {
    std::int64_t level = 0;
    std::int64_t width = 0;
};

// A window given in the file's units (value = sample · valueScale + valueOffset) in sample
// units, or why it has none there.
std::variant<SampleWindow, QString> fromFileUnits(double level, double width,
                                                  const QVRenderer::VolumeState& volume);

// The preset's window for `volume`, or why the volume has none.
std::variant<SampleWindow, QString> windowFor(WindowPreset preset, const QVRenderer::VolumeState& volume);

// The smallest and the largest value of the volume in the file's units, once its texels are
// surveyed.
std::optional<std::pair<double, double>> valueRange(const QVRenderer::VolumeState& volume);

// Whether a colour preset over the values `low` to `high` is stretched over the window in force
// rather than set a window of its own: colour-map libraries write their maps over a normalised
// range, 0 to 1 or −1 to 1, for the viewer to stretch over the data, and on a volume whose values
// reach beyond that range such a window, a unit or two wide, shows every voxel in its top colour.
bool stretchesOverTheWindow(double low, double high, const QVRenderer::VolumeState& volume);

// The names voxview-bench takes ("startup", "import", "auto", "full", "file",
// "soft-tissue", "bone", "lung", "brain").
std::optional<WindowPreset> fromName(const QString& name);
QString names();

} // namespace WindowPresets
