#include "render/streaming/BrickPageTable.h"

#include <algorithm>
#include <string>

std::optional<QString> BrickPageTable::refusal(const BrickLayout& layout, std::size_t maxTexture3DSize) {
    const std::array<std::uint64_t, 3> table = layout.pageTableSize();
    if (std::ranges::none_of(table, [&](std::uint64_t side) { return side > maxTexture3DSize; })) {
        return std::nullopt;
    }
    return QStringLiteral("the volume is too long for this GPU: its page table needs %1 x %2 x %3 "
                          "entries (one per brick of %4 voxels), beyond the GPU's largest 3-D texture "
                          "of %5 per side")
        .arg(table[0])
        .arg(table[1])
        .arg(table[2])
        .arg(layout.brickSide())
        .arg(maxTexture3DSize);
}

std::variant<std::unique_ptr<BrickPageTable>, QString> BrickPageTable::create(gpu::Device& device,
                                                                              const BrickLayout& layout) {
    gpu::TextureDescriptor descriptor;
    descriptor.pixelFormat = gpu::PixelFormat::RGBA16Unorm;
    const std::array<std::uint64_t, 3> size = layout.pageTableSize();
    descriptor.width = size[0];
    descriptor.height = size[1];
    descriptor.depth = size[2];
    std::string error;
    std::shared_ptr<gpu::Texture> texture = device.newTextureWithDescriptor(descriptor, &error);
    if (!texture) {
        return QStringLiteral("the GPU cannot make the brick atlas's page table: %1")
            .arg(QString::fromStdString(error));
    }
    std::unique_ptr<BrickPageTable> table(new BrickPageTable(layout, std::move(texture)));
    for (std::uint32_t level = 0; level <= layout.baseLevel(); ++level) {
        const std::array<std::uint64_t, 3>& bricks = layout.bricks(level);
        if (!table->uploadBox(level, table->m_uploaded[level], {0, 0, 0},
                              {bricks[0] - 1, bricks[1] - 1, bricks[2] - 1})) {
            return QStringLiteral("the GPU cannot fill the brick atlas's page table");
        }
    }
    return table;
}

BrickPageTable::BrickPageTable(const BrickLayout& layout, std::shared_ptr<gpu::Texture> texture)
    : m_layout(layout), m_texture(std::move(texture)) {
    for (std::uint32_t level = 0; level <= m_layout.baseLevel(); ++level) {
        m_uploaded.emplace_back(m_layout.brickCount(level) * kChannels, 0);
    }
}

void BrickPageTable::clear(std::uint32_t level) {
    m_level = level;
    m_entries.assign(m_layout.brickCount(level) * kChannels, 0);
}

void BrickPageTable::point(std::uint64_t index, const std::array<std::uint64_t, 3>& position,
                           std::uint32_t heldLevel) {
    std::uint16_t* entry = m_entries.data() + index * kChannels;
    entry[0] = static_cast<std::uint16_t>(position[0]);
    entry[1] = static_cast<std::uint16_t>(position[1]);
    entry[2] = static_cast<std::uint16_t>(position[2]);
    entry[3] = static_cast<std::uint16_t>(heldLevel);
}

bool BrickPageTable::upload() {
    std::vector<std::uint16_t>& uploaded = m_uploaded[m_level];
    std::array<std::uint64_t, 3> low{~std::uint64_t{0}, ~std::uint64_t{0}, ~std::uint64_t{0}}, high{};
    bool changed = false;
    for (std::uint64_t index = 0; index < m_layout.brickCount(m_level); ++index) {
        const std::size_t at = index * kChannels;
        if (!std::equal(m_entries.begin() + at, m_entries.begin() + at + kChannels, uploaded.begin() + at)) {
            const BrickKey key = m_layout.key(m_level, index);
            for (std::size_t axis = 0; axis < 3; ++axis) {
                low[axis] = std::min<std::uint64_t>(low[axis], key.brick[axis]);
                high[axis] = std::max<std::uint64_t>(high[axis], key.brick[axis]);
            }
            changed = true;
        }
    }
    if (!changed || !uploadBox(m_level, m_entries, low, high)) {
        return false;
    }
    uploaded = m_entries;
    return true;
}

bool BrickPageTable::uploadBox(std::uint32_t level, const std::vector<std::uint16_t>& entries,
                               std::array<std::uint64_t, 3> low, std::array<std::uint64_t, 3> high) {
    const std::array<std::uint64_t, 3>& bricks = m_layout.bricks(level);
    const std::array<std::uint64_t, 3>& origin = m_layout.pageOrigin(level);
    const std::uint64_t rowBytes = bricks[0] * kChannels * sizeof(std::uint16_t);
    const std::uint64_t first = ((low[2] * bricks[1] + low[1]) * bricks[0] + low[0]) * kChannels;
    const gpu::Region region{{origin[0] + low[0], origin[1] + low[1], origin[2] + low[2]},
                             {high[0] - low[0] + 1, high[1] - low[1] + 1, high[2] - low[2] + 1}};
    return m_texture->replaceRegion(region, 0, 0, entries.data() + first, rowBytes, rowBytes * bricks[1]);
}
