#include "volume/core/VolumeSize.h"

#include <QtGlobal>
#include <algorithm>
#include <limits>

namespace {

constexpr std::uint64_t kMegabyte = std::uint64_t{1} << 20;

QString sizeText(std::int64_t width, std::int64_t height, std::int64_t depth) {
    return QStringLiteral("%1 x %2 x %3").arg(width).arg(height).arg(depth);
}

} // namespace

std::optional<std::uint64_t> volumeBytes(std::uint64_t width, std::uint64_t height, std::uint64_t depth) {
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(width, height, &bytes) || __builtin_mul_overflow(bytes, depth, &bytes) ||
        __builtin_mul_overflow(bytes, std::uint64_t{kTexelBytes}, &bytes))
        return std::nullopt;
    return bytes;
}

QString megabytesText(std::uint64_t bytes) {
    constexpr double kWholeFrom = 100.0;
    const double megabytes = static_cast<double>(bytes) / static_cast<double>(kMegabyte);
    return QString::number(megabytes, 'f', megabytes >= kWholeFrom ? 0 : megabytes >= 1.0 ? 1 : 3);
}

std::optional<ImportRefusal> refuseVolumeShape(std::int64_t width, std::int64_t height, std::int64_t depth) {
    const QString text = sizeText(width, height, depth);
    if (width <= 0 || height <= 0 || depth <= 0)
        return ImportRefusal{
            QStringLiteral("The volume size %1 is not positive along every axis.").arg(text)};
    const auto w = static_cast<std::uint64_t>(width);
    const auto h = static_cast<std::uint64_t>(height);
    const auto d = static_cast<std::uint64_t>(depth);
    if (!volumeBytes(w, h, d))
        return ImportRefusal{QStringLiteral("The volume size %1 is too large to hold in memory.").arg(text)};
    if (std::max({w, h, d}) > kMaxVolumeSide)
        return ImportRefusal{QStringLiteral("The volume size %1 has a side longer than %2 voxels.")
                                 .arg(text)
                                 .arg(kMaxVolumeSide)};
    return std::nullopt;
}

std::optional<std::uint64_t> peakBytes(std::uint64_t width, std::uint64_t height, std::uint64_t depth,
                                       const DecodePeak& peak) {
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(width, height, &bytes) || __builtin_mul_overflow(bytes, depth, &bytes) ||
        __builtin_mul_overflow(bytes, std::uint64_t{peak.bytesPerVoxel}, &bytes) ||
        __builtin_add_overflow(bytes, peak.heldBytes, &bytes))
        return std::nullopt;
    return bytes;
}

std::optional<ImportRefusal> refuseVolumeSize(std::int64_t width, std::int64_t height, std::int64_t depth,
                                              const ImportOptions& options, const DecodePeak& peak) {
    if (std::optional<ImportRefusal> refusal = refuseVolumeShape(width, height, depth))
        return refusal;
    const QString text = sizeText(width, height, depth);
    constexpr auto kBufferLimit = static_cast<std::uint64_t>(std::numeric_limits<qsizetype>::max());
    const std::optional<std::uint64_t> bytes =
        peakBytes(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height),
                  static_cast<std::uint64_t>(depth), peak);
    if (!bytes || *bytes > kBufferLimit)
        return ImportRefusal{QStringLiteral("The volume size %1 is too large to hold in memory.").arg(text)};
    if (*bytes > options.ramBudgetBytes)
        return ImportRefusal{
            QStringLiteral("The volume size %1 needs %2 MB decoded (its samples, texels and "
                           "the decoder's buffers at their peak), more than the RAM budget "
                           "of %3 MB; only raw 8- and 16-bit NRRD samples are read in place.")
                .arg(text)
                .arg(megabytesText(*bytes), megabytesText(options.ramBudgetBytes))};
    return std::nullopt;
}
