#include "VolumeSize.h"

#include <QtGlobal>
#include <array>
#include <limits>

std::optional<std::uint64_t> volumeBytes(std::uint64_t width, std::uint64_t height, std::uint64_t depth) {
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(width, height, &bytes) || __builtin_mul_overflow(bytes, depth, &bytes) ||
        __builtin_mul_overflow(bytes, std::uint64_t{kTexelBytes}, &bytes))
        return std::nullopt;
    return bytes;
}

std::optional<NrrdRefusal> refuseVolumeSize(std::int64_t width, std::int64_t height, std::int64_t depth,
                                            const NrrdReadOptions& options) {
    const std::array<std::int64_t, 3> sizes{width, height, depth};
    const QString text = QStringLiteral("%1 x %2 x %3").arg(width).arg(height).arg(depth);
    if (width <= 0 || height <= 0 || depth <= 0)
        return NrrdRefusal{QStringLiteral("The volume size %1 is not positive along every axis.").arg(text)};
    constexpr auto kLimit = static_cast<std::uint64_t>(std::numeric_limits<qsizetype>::max());
    const std::optional<std::uint64_t> bytes =
        volumeBytes(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height),
                    static_cast<std::uint64_t>(depth));
    if (!bytes || *bytes > kLimit)
        return NrrdRefusal{QStringLiteral("The volume size %1 is too large to hold in memory.").arg(text)};
    for (const std::int64_t size : sizes) {
        if (static_cast<std::uint64_t>(size) > options.maxTextureSize)
            return NrrdRefusal{
                QStringLiteral("The volume size %1 exceeds the largest 3-D texture the GPU takes "
                               "(%2 voxels per side).")
                    .arg(text)
                    .arg(options.maxTextureSize)};
    }
    return std::nullopt;
}
