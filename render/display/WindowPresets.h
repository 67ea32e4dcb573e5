#pragma once

#include "render/QVRenderer.h"

#include <QString>
#include <cstdint>
#include <optional>
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

// The names voxview-bench takes ("startup", "import", "auto", "full", "file",
// "soft-tissue", "bone", "lung", "brain").
std::optional<WindowPreset> fromName(const QString& name);
QString names();

} // namespace WindowPresets
