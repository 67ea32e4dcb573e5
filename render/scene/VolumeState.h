#pragma once

#include "render/gpu/Gpu.h"
#include "render/streaming/BrickGrid.h"
#include "volume/core/VolumeRecord.h"
#include "volume/core/VolumeSource.h"
#include "volume/samples/SampleStatistics.h"

#include <cstdint>
#include <memory>
#include <optional>

// A volume the frames draw, all from one import (or from the built-in sample): where its
// voxels are read from, its brick grid, its geometry and how its samples read, and the
// display window it opens with.
struct VolumeState {
    // How the samples of the volume (texel + sampleOffset, the units of wl and ww) become
    // the file's own values: value = sample * scale + offset.
    struct ValueMap {
        double scale = 1.0;
        double offset = 0.0;
    };

    std::shared_ptr<const VolumeSource> source; // null when there is no volume to show
    // The largest texels of 8³-voxel bricks, with which rays skip what lies below the
    // window: null until surveyed (for volumes read in place, until the pass that builds
    // their coarse levels has read every slice).
    std::shared_ptr<const BrickGrid> bricks;
    std::shared_ptr<gpu::Texture> brickTexture; // the grid's levels as mipmap levels
    std::uint64_t generation = 0;               // one more with every volume shown
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t depth = 0;
    float cellspaceX = 0.0f;
    float cellspaceY = 0.0f;
    float cellspaceZ = 0.0f;
    std::int32_t sampleOffset = 0;
    // The display window the volume opened with, which Reset View goes back to.
    std::int64_t defaultWl = 0;
    std::int64_t defaultWw = 0;
    ValueMap valueMap;
    // A sample's value in the units the window presets speak: (texel + sampleOffset) *
    // valueScale + valueOffset. The file's units for an import (as valueMap); for the
    // built-in sample, whose samples are shown as they are (738/1384), Hounsfield units.
    double valueScale = 1.0;
    double valueOffset = 0.0;
    bool hounsfield = false;                        // the values are Hounsfield units
    std::optional<VolumeRecord::Window> fileWindow; // the file's own window, in its units
    std::optional<PatientOrientation> orientation;  // none where the file names none
    // Extremes and percentiles of the texels (of a coarse level for volumes read in
    // place); none until surveyed.
    std::optional<SampleStatistics::Summary> texels;
};
