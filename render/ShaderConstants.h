#pragma once

// The constants of the ray marching, written once for the shaders and the CPU side. The
// build writes each of them into the shaders as a GLSL constant of the same name (see
// shaders/assemble_shaders.cpp), so the fragment stage, the renderer and the tests read one
// definition. Lengths are in texture coordinates of the volume unless said otherwise;
// world lengths make the longest side of the volume 1.

#include "render/ShaderTypes.h"
#include "render/streaming/BrickGrid.h"

#include <cstdint>

namespace shading {

// The atlas's 16-bit texels arrive normalised; times this they are raw units again.
inline constexpr float kTexelScale = 65535.0f;
// Entries of the colour map's table (ColourMap::kTableSize).
inline constexpr int kColourMapEntries = 257;

// A ray stops once what it has gathered hides everything behind it.
inline constexpr float kOpaque = 0.99f;
// Extinction per unit of world length at the top of the window: tissue at the start-up
// window turns opaque within a few voxels, values low in the window stay translucent.
// A windowed intensity i over a world length l lets exp(-kDensity · i² · l) through.
inline constexpr float kDensity = 650.0f;

// Samples whose opacity over one voxel step stays below this are composited without
// shading: they barely show. The first sample above it marks a surface.
inline constexpr float kShadeThreshold = 0.02f;
// The share of the light a surface facing away from the camera still shows, unless the
// view is set otherwise.
inline constexpr float kAmbient = 0.25f;
// Over this many steps behind the start of a ray the material counts as a cut face.
inline constexpr float kCutDepth = 3.0f;
// A step whose windowed intensity changes by more than this crosses an edge; it is
// gathered in kEdgeParts parts.
inline constexpr float kEdgeChange = 0.015f;
inline constexpr int kEdgeParts = 4;
static_assert(kEdgeParts >= 1 && kEdgeParts <= 4,
              "the fragment stage keeps where a step's parts end in a vec4");
// Behind a surface the shade moves this share of the way to the light per voxel step.
inline constexpr float kShadeFollow = 0.5f;
// A change of this share of the window width per voxel counts as a surface to be lit.
inline constexpr float kSurfaceContrast = 0.05f;

// The brick maxima grid: cells of kMaxGridCellSide level-0 voxels at its finest level,
// each coarser level doubling the side, kMaxGridLevels levels in all.
inline constexpr int kMaxGridCellSide = static_cast<int>(BrickGrid::kBrickSide);
inline constexpr int kMaxGridLevels = static_cast<int>(BrickGrid::kLevels);

// The per-pixel shift of a ray's lattice: an integer hash of the pixel (two rounds of
// xor-shift and multiply by these), its top 24 bits scaled into [0, 1).
inline constexpr std::uint32_t kJitterMultiplier1 = 0x7feb352du;
inline constexpr std::uint32_t kJitterMultiplier2 = 0x846ca68bu;
inline constexpr float kHashToUnit = 1.0f / 16777216.0f;
// Guards against dividing by an axis the ray runs parallel to, and a distance beyond any ray.
inline constexpr float kTiny = 1e-8f;
inline constexpr float kHuge = 3.0e38f;

// How the samples along a ray become a pixel: the numbers of RenderMode.
inline constexpr int kModeComposite = static_cast<int>(RenderMode::Composite);
inline constexpr int kModeMip = static_cast<int>(RenderMode::Mip);
inline constexpr int kModeMinip = static_cast<int>(RenderMode::Minip);
inline constexpr int kModeAverage = static_cast<int>(RenderMode::Average);

} // namespace shading
