#include "render/scene/VolumeSurvey.h"

#include "volume/core/VolumeData.h"
#include "volume/core/VolumeRecord.h"
#include "volume/core/VolumeSize.h"
#include "volume/files/InPlaceVolumeSource.h"

#include <algorithm>
#include <string>

namespace {

// The built-in sample stores CT values as HU + 1024.
constexpr double kSampleHounsfieldOffset = -1024.0;
// The whole 16-bit texel range, centre and width.
constexpr std::int64_t kTexelRangeLevel = 32768;
constexpr std::int64_t kTexelRangeWidth = 65536;

const QString kCancelled = QStringLiteral("the import was cancelled");

// The voxels are surveyed in slabs of about this size; each slab's pages of a mapped file
// are handed back once read, so the whole file is never resident at once.
constexpr std::uint64_t kSurveySlabBytes = 32u << 20;

std::array<std::uint64_t, 3> sizeOf(const VolumeState& volume) {
    return {volume.width, volume.height, volume.depth};
}

// Statistics of a volume read in place: of its base level, a few hundred thousand
// voxels spread over all of it. Nothing when a brick cannot be read or `stop` is requested.
std::optional<SampleStatistics::Summary> coarseStatistics(const VolumeSource& source,
                                                          std::array<std::uint64_t, 3> size,
                                                          std::uint64_t brickSide,
                                                          const std::stop_token& stop) {
    const BrickLayout layout(size, brickSide);
    const std::uint32_t base = layout.baseLevel();
    SampleStatistics statistics(layout.brickCount(base) * layout.slotTexels());
    for (std::uint64_t index = 0; index < layout.brickCount(base); ++index) {
        if (stop.stop_requested()) {
            return std::nullopt;
        }
        const std::optional<BrickTexels> brick = buildBrick(source, layout, size, layout.key(base, index));
        if (!brick) {
            return std::nullopt;
        }
        statistics.addTexels(reinterpret_cast<const std::byte*>(brick->texels.data()), brick->texels.size());
    }
    return statistics.summary();
}

} // namespace

VolumeState VolumeSurvey::sample(const VolumeData& vdata) {
    VolumeState volume;
    volume.width = vdata.width();
    volume.height = vdata.height();
    volume.depth = vdata.depth();
    volume.cellspaceX = vdata.cellspaceX();
    volume.cellspaceY = vdata.cellspaceY();
    volume.cellspaceZ = vdata.cellspaceZ();
    volume.hounsfield = true;
    volume.valueOffset = kSampleHounsfieldOffset;
    const std::optional<std::uint64_t> bytes = volumeBytes(volume.width, volume.height, volume.depth);
    if (vdata.data().isNull() || !bytes || *bytes == 0 || vdata.data().size() < *bytes) {
        return volume;
    }
    // Bricks are read from the file rather than its map: read through a map, every page a
    // brick's rows touch would stay resident beside the atlas's copy.
    if (!vdata.dataPath().isEmpty()) {
        auto file = InPlaceVolumeSource::open({{vdata.dataPath(), 0}}, NrrdLayout{}, volume.width,
                                              volume.height, volume.depth);
        if (auto* opened = std::get_if<std::shared_ptr<const InPlaceVolumeSource>>(&file)) {
            volume.source = std::move(*opened);
            return volume;
        }
    }
    volume.source = std::make_shared<DecodedVolumeSource>(vdata.data(), volume.width, volume.height);
    return volume;
}

VolumeSurvey::Survey VolumeSurvey::survey(const ByteBuffer& data, std::array<std::uint64_t, 3> size,
                                          const std::stop_token& stop) {
    const auto [width, height, depth] = size;
    const std::uint64_t sliceBytes = width * height * kTexelBytes;
    const std::uint64_t slabSlices = std::max<std::uint64_t>(kSurveySlabBytes / sliceBytes, 1);
    auto bricks = std::make_shared<BrickGrid>(width, height, depth);
    SampleStatistics statistics(width * height * depth);
    for (std::uint64_t z = 0; z < depth; z += slabSlices) {
        if (stop.stop_requested()) {
            return {};
        }
        const std::uint64_t slices = std::min(slabSlices, depth - z);
        const std::byte* slab = data.data() + z * sliceBytes;
        bricks->addSlices(slab, z, slices);
        statistics.addTexels(slab, width * height * slices);
        data.releasePages(z * sliceBytes, slices * sliceBytes);
    }
    bricks->finish();
    return {std::move(bricks), statistics.summary()};
}

std::variant<VolumeState, QString> VolumeSurvey::imported(const VolumeRecord& record,
                                                          const BrickPool::Budgets& budgets,
                                                          std::size_t maxTexture3DSize,
                                                          const std::stop_token& stop) {
    VolumeState volume;
    volume.width = record.width;
    volume.height = record.height;
    volume.depth = record.depth;
    if (record.data.isNull() && !record.source) {
        return QStringLiteral("there is no voxel data");
    }
    if (const std::optional<ImportRefusal> refusal =
            refuseVolumeShape(record.width, record.height, record.depth)) {
        return refusal->reason;
    }
    const std::array<std::uint64_t, 3> size = sizeOf(volume);
    if (const std::optional<QString> refusal = BrickPool::refusal(size, budgets, maxTexture3DSize)) {
        return *refusal;
    }
    if (record.source) {
        volume.source = record.source;
        volume.texels = coarseStatistics(*record.source, size, budgets.brickSide, stop);
        if (stop.stop_requested()) {
            return kCancelled;
        }
        if (!volume.texels) {
            return QStringLiteral("the voxels could not be read");
        }
    } else {
        if (const std::uint64_t needed = *volumeBytes(volume.width, volume.height, volume.depth);
            record.data.size() < needed) {
            return QStringLiteral("the voxel data holds %1 bytes but %2 x %3 x %4 voxels need %5")
                .arg(record.data.size())
                .arg(volume.width)
                .arg(volume.height)
                .arg(volume.depth)
                .arg(needed);
        }
        Survey surveyed = survey(record.data, size, stop);
        if (!surveyed.bricks) {
            return kCancelled;
        }
        volume.bricks = std::move(surveyed.bricks);
        volume.texels = surveyed.texels;
        volume.source = std::make_shared<DecodedVolumeSource>(record.data, volume.width, volume.height);
    }
    volume.cellspaceX = record.cellspaceX;
    volume.cellspaceY = record.cellspaceY;
    volume.cellspaceZ = record.cellspaceZ;
    volume.sampleOffset = record.sampleOffset;
    volume.valueMap = {record.valueScale, record.valueOffset};
    volume.valueScale = record.valueScale;
    volume.valueOffset = record.valueOffset;
    volume.hounsfield = record.hounsfield;
    volume.fileWindow = record.fileWindow;
    volume.orientation = record.orientation;
    if (record.valueScale != 1.0) {
        // Samples rescaled into the texture (floats, wide integers, a rescale slope) have
        // no CT-like scale for the window -10/1300 to fit: it would show a sliver of their
        // range. They start with the window over the whole range instead.
        volume.defaultWw = kTexelRangeWidth;
        volume.defaultWl = kTexelRangeLevel + record.sampleOffset;
    } else {
        volume.defaultWw = kImportWindowWidth;
        volume.defaultWl = kImportWindowLevel;
    }
    return volume;
}

std::shared_ptr<gpu::Texture> VolumeSurvey::gridTexture(gpu::Device& device, const BrickGrid& grid,
                                                        QString* reason) {
    const BrickGrid::Level& base = grid.level(0);
    gpu::TextureDescriptor descriptor;
    descriptor.pixelFormat = gpu::PixelFormat::RG16Unorm;
    descriptor.textureType = gpu::TextureType::Type3D;
    descriptor.width = base.width;
    descriptor.height = base.height;
    descriptor.depth = base.depth;
    descriptor.mipmapLevelCount = BrickGrid::kLevels;
    std::string error;
    std::shared_ptr<gpu::Texture> texture = device.newTextureWithDescriptor(descriptor, &error);
    if (!texture) {
        *reason = QStringLiteral("the GPU cannot make the brick grid's texture: %1")
                      .arg(QString::fromStdString(error));
        return nullptr;
    }
    return uploadGrid(*texture, grid, reason) ? texture : nullptr;
}

bool VolumeSurvey::uploadGrid(gpu::Texture& texture, const BrickGrid& grid, QString* reason) {
    std::vector<std::uint16_t> cells; // maximum, minimum
    for (std::size_t index = 0; index < BrickGrid::kLevels; ++index) {
        const BrickGrid::Level& level = grid.level(index);
        cells.resize(2 * level.maxima.size());
        for (std::size_t cell = 0; cell < level.maxima.size(); ++cell) {
            cells[2 * cell] = level.maxima[cell];
            cells[2 * cell + 1] = level.minima[cell];
        }
        const gpu::Region region{{0, 0, 0}, {level.width, level.height, level.depth}};
        if (!texture.replaceRegion(region, index, 0, cells.data(), level.width * 2 * kTexelBytes,
                                   level.width * level.height * 2 * kTexelBytes)) {
            *reason = QStringLiteral("the brick grid could not be uploaded to the GPU");
            return false;
        }
    }
    return true;
}
