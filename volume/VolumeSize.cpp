#include "VolumeSize.h"

#include <QtGlobal>
#include <array>
#include <limits>

namespace {

constexpr std::size_t kTexelBytes = 2;

} // namespace

std::optional<NrrdRefusal> refuseVolumeSize(std::int64_t width, std::int64_t height, std::int64_t depth,
                                            const NrrdReadOptions& options) {
    const std::array<std::int64_t, 3> sizes{width, height, depth};
    const QString text = QStringLiteral("%1 x %2 x %3").arg(width).arg(height).arg(depth);
    if (width <= 0 || height <= 0 || depth <= 0)
        return NrrdRefusal{QStringLiteral("The volume size %1 is not positive along every axis.").arg(text)};
    constexpr auto kLimit = static_cast<std::uint64_t>(std::numeric_limits<qsizetype>::max());
    std::uint64_t bytes = kTexelBytes;
    for (const std::int64_t size : sizes) {
        const auto factor = static_cast<std::uint64_t>(size);
        if (bytes > kLimit / factor)
            return NrrdRefusal{
                QStringLiteral("The volume size %1 is too large to hold in memory.").arg(text)};
        bytes *= factor;
    }
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
