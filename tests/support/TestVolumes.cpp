#include "TestVolumes.h"

#include "SampleFiles.h"
#include "VolumeFileWriters.h"
#include "volume/core/Bundle.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <tuple>
#include <vector>

namespace testvolumes {

VolumeRecord record(std::uint32_t width, std::uint32_t height, std::uint32_t depth,
                    const SampleFunction& sample, float spacing) {
    std::vector<std::uint16_t> texels;
    for (std::uint32_t z = 0; z < depth; ++z)
        for (std::uint32_t y = 0; y < height; ++y)
            for (std::uint32_t x = 0; x < width; ++x)
                texels.push_back(sample(x, y, z));
    VolumeRecord result;
    std::tie(result.width, result.height, result.depth) = std::tuple(width, height, depth);
    std::tie(result.cellspaceX, result.cellspaceY, result.cellspaceZ) = std::tuple(spacing, spacing, spacing);
    result.data = ByteBuffer::fromByteArray(bytesOf(texels));
    return result;
}

VolumeRecord headPhantom() {
    constexpr std::int32_t kSignedOffset = -32768;
    constexpr int kCtOffset = 1024;
    const SampleGrid grid = gridOverLargeSample(64, 64, 58);
    const std::vector<std::uint16_t> samples = renderHeadVolume(grid, 1);
    VolumeRecord result = record(grid.width, grid.height, grid.depth, [&](auto x, auto y, auto z) {
        return static_cast<std::uint16_t>(samples[(z * grid.height + y) * grid.width + x] - kCtOffset -
                                          kSignedOffset);
    });
    std::tie(result.cellspaceX, result.cellspaceY, result.cellspaceZ) =
        std::tuple(grid.spacingX, grid.spacingY, grid.spacingZ);
    result.sampleOffset = kSignedOffset;
    return result;
}

VolumeRecord sphere(std::uint32_t size, std::uint16_t inside, std::uint16_t outside) {
    const double centre = (size - 1) / 2.0;
    const double radius = 0.35 * size;
    return record(size, size, size, [=](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
        const double dx = x - centre, dy = y - centre, dz = z - centre;
        return dx * dx + dy * dy + dz * dz <= radius * radius ? inside : outside;
    });
}

std::shared_ptr<const VolumeData> sampleWithoutVoxels() {
    QTemporaryDir empty;
    return VolumeData::initWithBundle(Bundle(empty.path()));
}

std::shared_ptr<const VolumeData> sampleOfZeros() {
    constexpr qint64 kSampleBytes = 512LL * 512 * 463 * 2;
    QTemporaryDir folder;
    if (!QFile::resize(writeFile(folder.filePath(QStringLiteral("512x512x463-16U.raw")), {}), kSampleBytes))
        return nullptr;
    // The volume maps the file; the mapping outlives the folder's removal.
    return VolumeData::initWithBundle(Bundle(folder.path()));
}

} // namespace testvolumes
