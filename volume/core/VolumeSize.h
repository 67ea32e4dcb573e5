#pragma once

#include "volume/core/ImportOptions.h"
#include "volume/core/ImportRefusal.h"

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
std::optional<ImportRefusal> refuseVolumeShape(std::int64_t width, std::int64_t height, std::int64_t depth);

// What decoding a volume holds in memory at its peak: `bytesPerVoxel` for every voxel
// (its texels, and the samples, library buffers or intermediate arrays held beside them)
// and `heldBytes` whatever the volume's size (the compressed input, the slices being
// decoded, a library's strip).
struct DecodePeak {
    std::size_t bytesPerVoxel = kTexelBytes;
    std::uint64_t heldBytes = 0;
};

// The peak's bytes for a width × height × depth volume (sizes positive); nothing when
// they do not fit in 64 bits.
std::optional<std::uint64_t> peakBytes(std::uint64_t width, std::uint64_t height, std::uint64_t depth,
                                       const DecodePeak& peak);

// The same as refuseVolumeShape for a volume decoded into memory, which must also fit
// options.ramBudgetBytes at its peak: every reader checks this before its first large
// allocation.
std::optional<ImportRefusal> refuseVolumeSize(std::int64_t width, std::int64_t height, std::int64_t depth,
                                              const ImportOptions& options, const DecodePeak& peak = {});

// Bytes in megabytes (2^20) for messages: "4096", "95.4", "0.004".
QString megabytesText(std::uint64_t bytes);
