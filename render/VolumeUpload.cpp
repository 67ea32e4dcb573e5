#include "VolumeUpload.h"

#include "NRRDfmt.h"
#include "VolumeData.h"
#include "VolumeSize.h"

#include <algorithm>
#include <string>

namespace {

// The built-in sample stores CT values as HU + 1024.
constexpr double kSampleHounsfieldOffset = -1024.0;
// The whole 16-bit texel range, centre and width.
constexpr std::int64_t kTexelRangeLevel = 32768;
constexpr std::int64_t kTexelRangeWidth = 65536;

// The voxels go up in slabs of about this size; each slab's pages of a mapped file are
// handed back once uploaded, so the file and the texture are never both resident.
constexpr std::uint64_t kUploadSlabBytes = 32u << 20;

} // namespace

VolumeState VolumeUpload::sample(const VolumeData& vdata) {
    VolumeState volume;
    volume.width = vdata.width();
    volume.height = vdata.height();
    volume.depth = vdata.depth();
    volume.cellspaceX = vdata.cellspaceX();
    volume.cellspaceY = vdata.cellspaceY();
    volume.cellspaceZ = vdata.cellspaceZ();
    volume.hounsfield = true;
    volume.valueOffset = kSampleHounsfieldOffset;
    return volume;
}

std::variant<VolumeState, QString> VolumeUpload::imported(const NRRDfmt& record) const {
    VolumeState volume;
    volume.width = record.width;
    volume.height = record.height;
    volume.depth = record.depth;
    QString reason;
    if (!upload(record.data, volume, &reason)) {
        return reason;
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

bool VolumeUpload::upload(const ByteBuffer& data, VolumeState& volume, QString* reason) const {
    const std::uint64_t width = volume.width;
    const std::uint64_t height = volume.height;
    const std::uint64_t depth = volume.depth;
    if (data.isNull()) {
        *reason = QStringLiteral("there is no voxel data");
        return false;
    }
    std::optional<NrrdRefusal> refusal =
        refuseVolumeShape(static_cast<std::int64_t>(width), static_cast<std::int64_t>(height),
                          static_cast<std::int64_t>(depth));
    if (!refusal)
        refusal = refuseTextureSize(width, height, depth, m_device.maxTexture3DSize());
    if (refusal) {
        *reason = refusal->reason;
        return false;
    }
    if (const std::uint64_t needed = *volumeBytes(width, height, depth); data.size() < needed) {
        *reason = QStringLiteral("the voxel data holds %1 bytes but %2 x %3 x %4 voxels need %5")
                      .arg(data.size())
                      .arg(width)
                      .arg(height)
                      .arg(depth)
                      .arg(needed);
        return false;
    }

    gpu::TextureDescriptor descriptor;
    descriptor.pixelFormat = gpu::PixelFormat::R16Uint;
    descriptor.textureType = gpu::TextureType::Type3D;
    descriptor.depth = depth;
    descriptor.width = width;
    descriptor.height = height;
    std::string error;
    std::shared_ptr<gpu::Texture> texture = m_device.newTextureWithDescriptor(descriptor, &error);
    if (!texture) {
        *reason = QStringLiteral("the GPU cannot make a %1 x %2 x %3 texture: %4")
                      .arg(width)
                      .arg(height)
                      .arg(depth)
                      .arg(QString::fromStdString(error));
        return false;
    }
    // Rows and slices are packed without padding, whatever the width. Slab by slab, the
    // brick grid reads each slab while it is resident, and a mapped file's pages go back.
    const std::uint64_t sliceBytes = width * height * kTexelBytes;
    const std::uint64_t slabSlices = std::max<std::uint64_t>(kUploadSlabBytes / sliceBytes, 1);
    auto bricks = std::make_shared<BrickGrid>(width, height, depth);
    SampleStatistics statistics(width * height * depth);
    for (std::uint64_t z = 0; z < depth; z += slabSlices) {
        const std::uint64_t slices = std::min(slabSlices, depth - z);
        const std::byte* slab = data.data() + z * sliceBytes;
        const gpu::Region region{{0, 0, z}, {width, height, slices}};
        if (!texture->replaceRegion(region, 0, 0, slab, width * kTexelBytes, sliceBytes)) {
            *reason = QStringLiteral("the voxels could not be uploaded to the GPU");
            return false;
        }
        bricks->addSlices(slab, z, slices);
        statistics.addTexels(slab, width * height * slices);
        data.releasePages(z * sliceBytes, slices * sliceBytes);
    }
    bricks->finish();
    std::shared_ptr<gpu::Texture> brickTexture = newBrickTexture(*bricks, reason);
    if (!brickTexture) {
        return false;
    }
    volume.texture = std::move(texture);
    volume.brickTexture = std::move(brickTexture);
    volume.bricks = std::move(bricks);
    volume.texels = statistics.summary();
    return true;
}

std::shared_ptr<gpu::Texture> VolumeUpload::newBrickTexture(const BrickGrid& grid, QString* reason) const {
    const BrickGrid::Level& base = grid.level(0);
    gpu::TextureDescriptor descriptor;
    descriptor.pixelFormat = gpu::PixelFormat::R16Uint;
    descriptor.textureType = gpu::TextureType::Type3D;
    descriptor.width = base.width;
    descriptor.height = base.height;
    descriptor.depth = base.depth;
    descriptor.mipmapLevelCount = BrickGrid::kLevels;
    std::string error;
    std::shared_ptr<gpu::Texture> texture = m_device.newTextureWithDescriptor(descriptor, &error);
    if (!texture) {
        *reason = QStringLiteral("the GPU cannot make the brick grid's texture: %1")
                      .arg(QString::fromStdString(error));
        return nullptr;
    }
    for (std::size_t index = 0; index < BrickGrid::kLevels; ++index) {
        const BrickGrid::Level& level = grid.level(index);
        const gpu::Region region{{0, 0, 0}, {level.width, level.height, level.depth}};
        if (!texture->replaceRegion(region, index, 0, level.maxima.data(), level.width * kTexelBytes,
                                    level.width * level.height * kTexelBytes)) {
            *reason = QStringLiteral("the brick grid could not be uploaded to the GPU");
            return nullptr;
        }
    }
    return texture;
}
