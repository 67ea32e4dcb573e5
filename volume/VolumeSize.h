#pragma once

#include "NrrdReadOptions.h"
#include "NrrdRefusal.h"

#include <cstddef>
#include <cstdint>
#include <optional>

// Every voxel becomes one unsigned 16-bit texel.
inline constexpr std::size_t kTexelBytes = sizeof(std::uint16_t);
// The longest side of any volume: every voxel coordinate fits a signed 32-bit integer,
// the shaders' and the brick grid's index type.
inline constexpr std::uint64_t kMaxVolumeSide = (std::uint64_t{1} << 31) - 1;

// The bytes of texels a width × height × depth volume holds; nothing when that count does
// not fit in 64 bits (no buffer could hold it).
std::optional<std::uint64_t> volumeBytes(std::uint64_t width, std::uint64_t height, std::uint64_t depth);

// Whether a width × height × depth volume can be shown at all, wherever its voxels are
// read from: positive along every axis, a byte count that fits in 64 bits, no side longer
// than kMaxVolumeSide. The GPU's texture limit is not a limit of the volume: the renderer
// cuts it into bricks.
std::optional<NrrdRefusal> refuseVolumeShape(std::int64_t width, std::int64_t height, std::int64_t depth);

// The same for a volume decoded into memory, which must also fit options.ramBudgetBytes
// at `bytesPerVoxel` (its texels, or more where the decoder holds wider samples too).
std::optional<NrrdRefusal> refuseVolumeSize(std::int64_t width, std::int64_t height, std::int64_t depth,
                                            const NrrdReadOptions& options,
                                            std::size_t bytesPerVoxel = kTexelBytes);

// Bytes in megabytes (2^20) for messages: "4096", "95.4", "0.004".
QString megabytesText(std::uint64_t bytes);
