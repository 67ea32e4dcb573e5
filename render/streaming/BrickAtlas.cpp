#include "render/streaming/BrickAtlas.h"

#include "render/streaming/BrickBuilder.h"
#include "volume/core/VolumeSize.h"

#include <QDebug>
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) {
    return (a + b - 1) / b;
}

} // namespace

std::variant<BrickAtlas::Shape, QString> BrickAtlas::shape(const BrickLayout& layout, std::uint64_t gpuBytes,
                                                           std::size_t maxTexture3DSize) {
    const std::uint64_t slotBytes = layout.slotTexels() * kTexelBytes;
    const std::uint64_t perSide = maxTexture3DSize / layout.slotSide();
    std::uint64_t allBricks = 0;
    for (std::uint32_t level = 0; level <= layout.baseLevel(); ++level) {
        allBricks += layout.brickCount(level);
    }
    const std::uint64_t baseBricks = layout.brickCount(layout.baseLevel());
    Shape shape;
    shape.capacity = std::min(gpuBytes / slotBytes, allBricks + 1);
    // The zero slot, the base level and at least one finer brick, unless the base level is
    // all there is.
    if (perSide == 0 || shape.capacity < std::min(baseBricks + 1, allBricks) + 1) {
        return QStringLiteral(
                   "a GPU budget of %1 MB cannot hold the volume's coarsest level (%2 bricks of %3 KB)")
            .arg(gpuBytes >> 20)
            .arg(baseBricks)
            .arg(slotBytes >> 10);
    }
    const auto cube = static_cast<std::uint64_t>(std::ceil(std::cbrt(static_cast<double>(shape.capacity))));
    shape.perAxis[0] = std::min(perSide, cube);
    shape.perAxis[1] =
        std::min(perSide, static_cast<std::uint64_t>(std::ceil(
                              std::sqrt(static_cast<double>(ceilDiv(shape.capacity, shape.perAxis[0]))))));
    shape.perAxis[2] = std::min(perSide, ceilDiv(shape.capacity, shape.perAxis[0] * shape.perAxis[1]));
    shape.capacity = std::min(shape.capacity, shape.perAxis[0] * shape.perAxis[1] * shape.perAxis[2]);
    return shape;
}

std::optional<QString> BrickAtlas::refusal(const BrickLayout& layout, std::uint64_t gpuBytes,
                                           std::size_t maxTexture3DSize) {
    const std::variant<Shape, QString> shaped = shape(layout, gpuBytes, maxTexture3DSize);
    if (const QString* reason = std::get_if<QString>(&shaped)) {
        return *reason;
    }
    return std::nullopt;
}

std::variant<std::unique_ptr<BrickAtlas>, QString>
BrickAtlas::create(gpu::Device& device, const BrickLayout& layout, std::uint64_t gpuBytes) {
    const std::variant<Shape, QString> shaped = shape(layout, gpuBytes, device.maxTexture3DSize());
    if (const QString* reason = std::get_if<QString>(&shaped)) {
        return *reason;
    }
    const Shape& atlasShape = std::get<Shape>(shaped);
    std::unique_ptr<BrickAtlas> atlas(new BrickAtlas(device, layout.slotSide(), atlasShape));
    // The layers of slots the base level needs, beside the zero slot, and one brick more:
    // most of a CT volume is air below the window, which never goes up.
    const std::uint64_t layerSlots = atlasShape.perAxis[0] * atlasShape.perAxis[1];
    const std::uint64_t layers =
        std::min(ceilDiv(layout.brickCount(layout.baseLevel()) + 2, layerSlots), atlasShape.perAxis[2]);
    std::string error;
    if (!atlas->resize(layers, &error)) {
        return QStringLiteral("the GPU cannot make the brick atlas: %1").arg(QString::fromStdString(error));
    }
    const std::vector<std::uint16_t> zeros(layout.slotTexels(), 0);
    if (!atlas->upload(0, zeros.data())) {
        return QStringLiteral("the GPU cannot fill the brick atlas");
    }
    return atlas;
}

BrickAtlas::BrickAtlas(gpu::Device& device, std::uint64_t slotSide, const Shape& shape)
    : m_device(device.shared_from_this()), m_slotSide(slotSide), m_perAxis(shape.perAxis),
      m_largest(shape.capacity) {}

std::uint64_t BrickAtlas::slotCount() const {
    return std::min(m_largest, m_perAxis[0] * m_perAxis[1] * (m_texture->depth() / m_slotSide));
}

bool BrickAtlas::resize(std::uint64_t layers, std::string* error) {
    gpu::TextureDescriptor descriptor;
    descriptor.pixelFormat = gpu::PixelFormat::R16Uint;
    descriptor.width = m_perAxis[0] * m_slotSide;
    descriptor.height = m_perAxis[1] * m_slotSide;
    descriptor.depth = layers * m_slotSide;
    std::shared_ptr<gpu::Texture> texture = m_device->newTextureWithDescriptor(descriptor, error);
    if (!texture || (m_texture && !m_texture->copyInto(*texture))) {
        return false;
    }
    m_texture = std::move(texture);
    return true;
}

bool BrickAtlas::grow(std::uint64_t wanted) {
    const std::uint64_t have = slotCount();
    if (have >= m_largest) {
        return false;
    }
    // Straight to what is wanted where that is known, else by half again: the old texture
    // and the new one are both held while the slots are copied.
    const std::uint64_t layers = m_texture->depth() / m_slotSide;
    const std::uint64_t wantedLayers =
        std::max(ceilDiv(wanted, m_perAxis[0] * m_perAxis[1]), layers + (layers + 1) / 2);
    std::string error;
    if (!resize(std::min(wantedLayers, m_perAxis[2]), &error)) {
        qWarning("BrickPool: the atlas cannot grow beyond %llu bricks: %s",
                 static_cast<unsigned long long>(have), error.c_str());
        m_largest = have;
        return false;
    }
    return true;
}

bool BrickAtlas::upload(std::uint32_t slot, const std::uint16_t* texels) {
    const std::array<std::uint64_t, 3> at = position(slot);
    const std::uint64_t side = m_slotSide;
    const gpu::Region region{{at[0] * side, at[1] * side, at[2] * side}, {side, side, side}};
    return m_texture->replaceRegion(region, 0, 0, texels, side * kTexelBytes, side * side * kTexelBytes);
}

std::array<std::uint64_t, 3> BrickAtlas::position(std::uint32_t slot) const {
    return {slot % m_perAxis[0], slot / m_perAxis[0] % m_perAxis[1], slot / (m_perAxis[0] * m_perAxis[1])};
}
