#include "volume/samples/TexelHistogram.h"

#include "volume/core/VolumeSize.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr std::size_t kTexelValues = std::size_t{UINT16_MAX} + 1;

} // namespace

TexelHistogram::TexelHistogram(std::uint64_t stride) : m_stride(stride), m_counts(kTexelValues, 0) {}

std::uint64_t TexelHistogram::strideFor(const std::array<std::uint64_t, 3>& size, std::uint64_t voxels) {
    const double all =
        static_cast<double>(size[0]) * static_cast<double>(size[1]) * static_cast<double>(size[2]);
    const double ratio = all / static_cast<double>(std::max<std::uint64_t>(voxels, 1));
    return std::max<std::uint64_t>(static_cast<std::uint64_t>(std::ceil(std::cbrt(ratio))), 1);
}

TexelHistogram::Lattice TexelHistogram::preview(const VolumeSource& source,
                                                const std::array<std::uint64_t, 3>& size) {
    Lattice lattice{0, size, strideFor(size, kPreviewVoxels)};
    for (std::uint32_t level = 1; level <= source.storedLevels(); ++level) {
        const std::array<std::uint64_t, 3> voxels = levelVoxels(size, source.levelShifts(level));
        if (voxels[0] * voxels[1] * voxels[2] < kPreviewVoxels) {
            break;
        }
        lattice = {level, voxels, strideFor(voxels, kPreviewVoxels)};
    }
    return lattice;
}

std::optional<TexelHistogram>
TexelHistogram::count(const VolumeSource& source, const std::array<std::uint64_t, 3>& size,
                      std::uint64_t stride, const std::function<bool()>& cancelled, std::uint32_t level) {
    TexelHistogram histogram(std::max<std::uint64_t>(stride, 1));
    const std::uint64_t step = histogram.m_stride;
    // Every row counted: as many at once as a source reads in one go (a span of a file, the
    // chunks of a store under them); else each counted row alone.
    const std::uint64_t together =
        step == 1 ? std::max<std::uint64_t>(1, VolumeSource::kSpanBytes / (size[0] * kTexelBytes)) : 1;
    std::vector<std::uint16_t> rows(size[0] * together);
    for (std::uint64_t z = 0; z < size[2]; z += step) {
        if (cancelled && cancelled()) {
            return std::nullopt;
        }
        for (std::uint64_t y = 0; y < size[1]; y += step * together) {
            const std::uint64_t count = std::min(together, size[1] - y);
            const bool read = level == 0 ? source.readRows(0, y, z, size[0], count, rows.data())
                                         : source.readLevelRows(level, 0, y, z, size[0], count, rows.data());
            if (!read) {
                return std::nullopt;
            }
            for (std::uint64_t i = 0; i < count * size[0]; i += step) {
                ++histogram.m_counts[rows[i]];
                ++histogram.m_total;
            }
        }
    }
    return histogram;
}

std::vector<std::uint64_t> TexelHistogram::bins(double low, double high, int bins,
                                                const FileUnits& units) const {
    std::vector<std::uint64_t> counts(static_cast<std::size_t>(std::max(bins, 0)), 0);
    if (bins <= 0 || !(high > low) || units.scale == 0.0) {
        return counts;
    }
    const double width = (high - low) / bins;
    for (std::size_t texel = 0; texel < kTexelValues; ++texel) {
        if (m_counts[texel] == 0) {
            continue;
        }
        const double value = (static_cast<double>(texel) + units.sampleOffset) * units.scale + units.offset;
        if (value < low || value > high) {
            continue;
        }
        const auto bin = std::min(static_cast<std::size_t>((value - low) / width), counts.size() - 1);
        counts[bin] += m_counts[texel];
    }
    return counts;
}
