#pragma once

#include "NrrdReadOptions.h"
#include "NrrdRefusal.h"

#include <cstddef>
#include <cstdint>
#include <optional>

// Every voxel becomes one unsigned 16-bit texel.
inline constexpr std::size_t kTexelBytes = sizeof(std::uint16_t);

// The bytes of texels a width × height × depth volume holds; nothing when that count does
// not fit in 64 bits (no buffer could hold it).
std::optional<std::uint64_t> volumeBytes(std::uint64_t width, std::uint64_t height, std::uint64_t depth);

// Whether a width × height × depth volume can become the renderer's texture: positive
// along every axis, small enough to hold in memory, within the GPU's 3-D texture limit
// (options.maxTextureSize voxels per side). The one place that limit is checked.
std::optional<NrrdRefusal> refuseVolumeSize(std::int64_t width, std::int64_t height, std::int64_t depth,
                                            const NrrdReadOptions& options);
