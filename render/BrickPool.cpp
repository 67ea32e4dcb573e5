#include "BrickPool.h"

#include "BrickGrid.h"
#include "BrickSource.h"
#include "VolumeSize.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>

namespace {

constexpr std::size_t kEntryChannels = 4; // slot x, y, z and the level held
// The first slot holds zero texels: the entry of every brick below the window points there.
constexpr std::uint32_t kZeroSlot = 0;

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) {
    return (a + b - 1) / b;
}

float4 transform(const float4x4& m, float x, float y, float z) {
    return m * float4{x, y, z, 1.0f};
}

// Whether the box (world coordinates) lies entirely outside one of the view's side or
// near planes.
bool outsideView(const float4x4& viewProjection, const std::array<float, 3>& low,
                 const std::array<float, 3>& high) {
    std::array<float4, 8> corners{};
    for (std::size_t i = 0; i < corners.size(); ++i) {
        corners[i] = transform(viewProjection, (i & 1) ? high[0] : low[0], (i & 2) ? high[1] : low[1],
                               (i & 4) ? high[2] : low[2]);
    }
    const auto allOutside = [&](auto outside) {
        return std::all_of(corners.begin(), corners.end(), outside);
    };
    return allOutside([](const float4& c) { return c.x < -c.w; }) ||
           allOutside([](const float4& c) { return c.x > c.w; }) ||
           allOutside([](const float4& c) { return c.y < -c.w; }) ||
           allOutside([](const float4& c) { return c.y > c.w; }) || allOutside([](const float4& c) {
               return c.z < 0.0f;
           }); // behind the near plane (clip z from 0 to w)
}

} // namespace

std::variant<BrickPool::AtlasShape, QString>
BrickPool::shape(const BrickLayout& layout, const Budgets& budgets, std::size_t maxTexture3DSize) {
    const std::uint64_t slotBytes = layout.slotTexels() * kTexelBytes;
    const std::uint64_t perSide = maxTexture3DSize / layout.slotSide();
    std::uint64_t allBricks = 0;
    for (std::uint32_t level = 0; level <= layout.baseLevel(); ++level) {
        allBricks += layout.brickCount(level);
    }
    const std::uint64_t baseBricks = layout.brickCount(layout.baseLevel());
    AtlasShape shape;
    shape.capacity = std::min(budgets.gpuBytes / slotBytes, allBricks + 1);
    // The zero slot, the base level and at least one finer brick, unless the base level is
    // all there is.
    if (perSide == 0 || shape.capacity < std::min(baseBricks + 1, allBricks) + 1) {
        return QStringLiteral(
                   "a GPU budget of %1 MB cannot hold the volume's coarsest level (%2 bricks of %3 KB)")
            .arg(budgets.gpuBytes >> 20)
            .arg(baseBricks)
            .arg(slotBytes >> 10);
    }
    const std::array<std::uint64_t, 3> table = layout.pageTableSize();
    if (std::ranges::any_of(table, [&](std::uint64_t side) { return side > maxTexture3DSize; })) {
        return QStringLiteral("the volume is too long for this GPU: its page table needs %1 x %2 x %3 "
                              "entries (one per brick of %4 voxels), beyond the GPU's largest 3-D texture "
                              "of %5 per side")
            .arg(table[0])
            .arg(table[1])
            .arg(table[2])
            .arg(layout.brickSide())
            .arg(maxTexture3DSize);
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

std::optional<QString> BrickPool::refusal(std::array<std::uint64_t, 3> size, const Budgets& budgets,
                                          std::size_t maxTexture3DSize) {
    const std::variant<AtlasShape, QString> atlas =
        shape(BrickLayout(size, budgets.brickSide), budgets, maxTexture3DSize);
    if (const QString* reason = std::get_if<QString>(&atlas)) {
        return *reason;
    }
    return std::nullopt;
}

std::variant<std::unique_ptr<BrickPool>, QString> BrickPool::create(gpu::Device& device,
                                                                    std::shared_ptr<const BrickSource> source,
                                                                    std::array<std::uint64_t, 3> size,
                                                                    const Budgets& budgets) {
    if (!source) {
        return QStringLiteral("there is no voxel data");
    }
    BrickLayout layout(size, budgets.brickSide);
    const std::variant<AtlasShape, QString> shaped = shape(layout, budgets, device.maxTexture3DSize());
    if (const QString* reason = std::get_if<QString>(&shaped)) {
        return *reason;
    }
    const AtlasShape& atlasShape = std::get<AtlasShape>(shaped);
    gpu::TextureDescriptor table;
    table.pixelFormat = gpu::PixelFormat::RGBA16Unorm;
    const std::array<std::uint64_t, 3> tableSize = layout.pageTableSize();
    table.width = tableSize[0];
    table.height = tableSize[1];
    table.depth = tableSize[2];
    // The atlas starts with the layers of slots the base level needs and grows by whole
    // layers as bricks above the window arrive: most of a CT volume is air, which never goes up.
    const std::uint64_t layerSlots = atlasShape.perAxis[0] * atlasShape.perAxis[1];
    const std::uint64_t layers =
        std::min(ceilDiv(layout.brickCount(layout.baseLevel()) + 2, layerSlots), atlasShape.perAxis[2]);
    std::unique_ptr<BrickPool> pool(new BrickPool(std::move(source), size, std::move(layout), budgets));
    pool->m_device = device.shared_from_this();
    pool->m_atlasSlots = atlasShape.perAxis;
    pool->m_capacity = atlasShape.capacity;
    std::string error;
    pool->m_pageTable = device.newTextureWithDescriptor(table, &error);
    if (!pool->m_pageTable || !pool->grow(layers, &error)) {
        return QStringLiteral("the GPU cannot make the brick atlas or its page table: %1")
            .arg(QString::fromStdString(error));
    }
    const std::uint64_t side = pool->m_layout.slotSide();
    const std::vector<std::uint16_t> zeros(pool->m_layout.slotTexels(), 0);
    if (!pool->m_atlas->replaceRegion({{0, 0, 0}, {side, side, side}}, 0, 0, zeros.data(), side * kTexelBytes,
                                      side * side * kTexelBytes)) {
        return QStringLiteral("the GPU cannot fill the brick atlas");
    }
    return pool;
}

bool BrickPool::grow(std::uint64_t layers, std::string* error) {
    const std::uint64_t side = m_layout.slotSide();
    gpu::TextureDescriptor descriptor;
    descriptor.pixelFormat = gpu::PixelFormat::R16Uint;
    descriptor.width = m_atlasSlots[0] * side;
    descriptor.height = m_atlasSlots[1] * side;
    descriptor.depth = layers * side;
    std::shared_ptr<gpu::Texture> atlas = m_device->newTextureWithDescriptor(descriptor, error);
    if (!atlas || (m_atlas && !m_atlas->copyInto(*atlas))) {
        return false;
    }
    m_atlas = std::move(atlas);
    const std::uint64_t slotCount = std::min(m_capacity, m_atlasSlots[0] * m_atlasSlots[1] * layers);
    for (std::uint64_t slot = slotCount; slot-- > std::max<std::uint64_t>(m_slots.size(), kZeroSlot + 1);) {
        m_free.push_back(static_cast<std::uint32_t>(slot));
    }
    m_slots.resize(slotCount);
    m_pageStale = true;
    return true;
}

BrickPool::BrickPool(std::shared_ptr<const BrickSource> source, std::array<std::uint64_t, 3> size,
                     BrickLayout layout, const Budgets& budgets)
    : m_size(size), m_layout(std::move(layout)), m_budgets(budgets) {
    for (std::uint32_t level = 0; level <= m_layout.baseLevel(); ++level) {
        m_maxima.emplace_back(m_layout.brickCount(level), -1);
        m_slotOf.emplace_back(m_layout.brickCount(level), -1);
    }
    m_baseMissing = m_layout.brickCount(m_layout.baseLevel());
    m_loader =
        std::make_unique<BrickLoader>(std::move(source), m_layout, size, budgets.threads, budgets.readyBytes);
}

BrickPool::~BrickPool() = default;

void BrickPool::knowMaxima(const BrickGrid& grid) {
    for (std::size_t level = 0; level < BrickGrid::kLevels; ++level) {
        if (BrickGrid::kBrickSide << level != m_layout.brickSide()) {
            continue;
        }
        const BrickGrid::Level& cells = grid.level(level);
        std::vector<std::int32_t>& maxima = m_maxima[0];
        for (std::uint64_t index = 0; index < maxima.size(); ++index) {
            const BrickKey key = m_layout.key(0, index);
            if (maxima[index] < 0) {
                maxima[index] =
                    cells.maxima[(key.brick[2] * cells.height + key.brick[1]) * cells.width + key.brick[0]];
            }
        }
        m_pageStale = true;
    }
}

bool BrickPool::canShow(const BrickKey& key, std::int64_t threshold) const {
    return threshold < 0 || neighbourhoodMaximum(key, true) > threshold;
}

bool BrickPool::mustUpload(const BrickKey& key, std::int64_t threshold) const {
    return threshold < 0 || neighbourhoodMaximum(key, false) > threshold;
}

std::int64_t BrickPool::neighbourhoodMaximum(const BrickKey& key, bool unknownShows) const {
    const std::array<std::uint64_t, 3>& bricks = m_layout.bricks(key.level);
    std::array<std::uint32_t, 3> low{}, high{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        low[axis] = key.brick[axis] == 0 ? 0 : key.brick[axis] - 1;
        high[axis] =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(key.brick[axis] + 1, bricks[axis] - 1));
    }
    const std::vector<std::int32_t>& maxima = m_maxima[key.level];
    std::int64_t largest = -1;
    for (std::uint32_t z = low[2]; z <= high[2]; ++z) {
        for (std::uint32_t y = low[1]; y <= high[1]; ++y) {
            for (std::uint32_t x = low[0]; x <= high[0]; ++x) {
                const std::int32_t maximum = maxima[m_layout.index({key.level, {x, y, z}})];
                if (maximum < 0 && unknownShows) {
                    return std::numeric_limits<std::int64_t>::max();
                }
                largest = std::max<std::int64_t>(largest, maximum);
            }
        }
    }
    return largest;
}

std::vector<BrickKey> BrickPool::neededBricks(const View& view, std::uint32_t level) const {
    struct Candidate {
        float distance;
        BrickKey key;
    };
    std::vector<Candidate> candidates;
    const std::uint64_t count = m_layout.brickCount(level);
    for (std::uint64_t index = 0; index < count; ++index) {
        const BrickKey key = m_layout.key(level, index);
        const std::array<std::array<float, 3>, 2> box = m_layout.textureBox(key);
        bool clipped = false;
        std::array<float, 3> low{}, high{};
        float distance = 0.0f;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            clipped = clipped || box[1][axis] <= view.clipLow[axis] || box[0][axis] >= view.clipHigh[axis];
            low[axis] = (box[0][axis] - 0.5f) * view.scale[axis];
            high[axis] = (box[1][axis] - 0.5f) * view.scale[axis];
            const float centre = 0.5f * (low[axis] + high[axis]) - view.camera[axis];
            distance += centre * centre;
        }
        if (clipped || outsideView(view.viewProjection, low, high) || !canShow(key, view.threshold)) {
            continue;
        }
        candidates.push_back({distance, key});
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
    std::vector<BrickKey> needed;
    needed.reserve(candidates.size());
    for (const Candidate& candidate : candidates) {
        needed.push_back(candidate.key);
    }
    return needed;
}

std::uint32_t BrickPool::chooseLevel(const View& view, std::vector<BrickKey>& needed) const {
    // Level-0 voxels per world unit along the finest axis, and the world length one pixel
    // spans at the volume's centre.
    double density = 0.0;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        density = std::max(density, static_cast<double>(m_size[axis]) / std::max(view.scale[axis], 1e-6f));
    }
    const double distance = std::hypot(view.camera[0], view.camera[1], view.camera[2]);
    const double pixel = 2.0 * distance / std::max(view.projectionScale, 1e-6f) /
                         static_cast<double>(std::max<std::uint32_t>(view.viewportHeight, 1));
    // Up to two voxels per pixel keep the level: rays step about a voxel, and the front of
    // the volume is nearer than its centre.
    const double voxelsPerPixel = std::max(0.5 * pixel * density, 1.0);
    const std::uint32_t base = m_layout.baseLevel();
    std::uint32_t level = std::min(static_cast<std::uint32_t>(std::floor(std::log2(voxelsPerPixel))), base);
    const std::uint64_t room = m_capacity - m_layout.brickCount(base) - 1;
    for (; level < base; ++level) {
        needed = neededBricks(view, level);
        if (needed.size() <= room) {
            return level;
        }
    }
    needed = neededBricks(view, base);
    return base;
}

std::int64_t BrickPool::takeSlot() {
    const std::uint64_t layers = m_atlas->depth() / m_layout.slotSide();
    if (m_free.empty() && m_slots.size() < m_capacity) {
        std::string error;
        // Straight to what the view needs where the maxima tell it, else by half again: the
        // old atlas and the new one are both held while the slots are copied.
        const std::uint64_t wanted =
            std::max(ceilDiv(m_demand, m_atlasSlots[0] * m_atlasSlots[1]), layers + (layers + 1) / 2);
        if (!grow(std::min(wanted, m_atlasSlots[2]), &error)) {
            // Bricks then take turns in the slots there are.
            qWarning("BrickPool: the atlas cannot grow beyond %zu bricks: %s", m_slots.size(), error.c_str());
            m_capacity = m_slots.size();
        }
    }
    if (!m_free.empty()) {
        const std::uint32_t slot = m_free.back();
        m_free.pop_back();
        return slot;
    }
    std::int64_t oldest = -1;
    for (std::size_t slot = 0; slot < m_slots.size(); ++slot) {
        const Slot& s = m_slots[slot];
        if (slot != kZeroSlot && s.key.level != m_layout.baseLevel() && s.lastNeeded < m_frame &&
            (oldest < 0 || s.lastNeeded < m_slots[static_cast<std::size_t>(oldest)].lastNeeded)) {
            oldest = static_cast<std::int64_t>(slot);
        }
    }
    if (oldest >= 0) {
        Slot& evicted = m_slots[static_cast<std::size_t>(oldest)];
        slotOf(evicted.key) = -1;
        m_pageStale = m_pageStale || evicted.key.level == m_level;
        evicted.used = false;
    }
    return oldest;
}

bool BrickPool::upload(const BrickTexels& brick) {
    const std::int64_t slot = takeSlot();
    if (slot < 0) {
        return false;
    }
    const auto index = static_cast<std::uint64_t>(slot);
    const std::uint64_t side = m_layout.slotSide();
    const gpu::Region region{{index % m_atlasSlots[0] * side,
                              index / m_atlasSlots[0] % m_atlasSlots[1] * side,
                              index / (m_atlasSlots[0] * m_atlasSlots[1]) * side},
                             {side, side, side}};
    if (!m_atlas->replaceRegion(region, 0, 0, brick.texels.data(), side * kTexelBytes,
                                side * side * kTexelBytes)) {
        m_free.push_back(static_cast<std::uint32_t>(slot));
        return false;
    }
    m_slots[index] = {brick.key, true, m_frame};
    slotOf(brick.key) = static_cast<std::int32_t>(slot);
    if (brick.key.level == m_layout.baseLevel()) {
        --m_baseMissing;
    }
    m_pageStale = true;
    return true;
}

void BrickPool::arrive(const BrickTexels& brick) {
    m_maxima[brick.key.level][m_layout.index(brick.key)] = brick.maximum;
    const bool base = brick.key.level == m_layout.baseLevel();
    m_pageStale = m_pageStale || brick.key.level == m_level;
    if (slotOf(brick.key) < 0 &&
        (base || (brick.key.level == m_level && mustUpload(brick.key, m_threshold)))) {
        upload(brick);
    }
}

bool BrickPool::update(const View& view) {
    ++m_frame;
    std::vector<BrickKey> needed;
    const std::uint32_t level = chooseLevel(view, needed);
    if (level != m_level || view.threshold != m_threshold) {
        m_level = level;
        m_threshold = view.threshold;
        m_pageStale = true;
    }
    // Slots this view needs: the zero slot, the base level and the bricks of the frame's
    // level that are resident or known to reach above the window.
    m_demand = m_layout.brickCount(m_layout.baseLevel()) + 1;
    for (const BrickKey& key : needed) {
        if (const std::int32_t slot = slotOf(key); slot >= 0) {
            m_slots[static_cast<std::size_t>(slot)].lastNeeded = m_frame;
            ++m_demand;
        } else if (mustUpload(key, m_threshold)) {
            ++m_demand;
        }
    }

    // Bricks arrive until the frame's bytes or time for uploads are spent, so that no frame
    // is long however many bricks wait.
    const auto uploadEnd = std::chrono::steady_clock::now() + m_budgets.uploadTimePerFrame;
    std::uint64_t uploadBytes = 0;
    while (uploadBytes < m_budgets.uploadBytesPerFrame && std::chrono::steady_clock::now() < uploadEnd) {
        const std::vector<BrickTexels> arrived = m_loader->take(1); // one brick
        if (arrived.empty()) {
            break;
        }
        uploadBytes += arrived.front().texels.size() * sizeof(std::uint16_t);
        arrive(arrived.front());
    }

    std::vector<BrickKey> wishes;
    const std::uint32_t base = m_layout.baseLevel();
    for (std::uint64_t index = 0; index < m_layout.brickCount(base); ++index) {
        if (m_slotOf[base][index] < 0) {
            wishes.push_back(m_layout.key(base, index));
        }
    }
    // Bricks not read yet, and bricks read before that turn out to be needed (a neighbour
    // reaches above the window): a brick below it is not read again while its neighbours
    // are still unknown.
    for (const BrickKey& key : needed) {
        const bool unread = m_maxima[key.level][m_layout.index(key)] < 0;
        if (slotOf(key) < 0 && (unread || mustUpload(key, m_threshold))) {
            wishes.push_back(key);
        }
    }
    m_complete = wishes.empty();
    m_missesUnreadable = m_loader->wish(wishes) > 0;

    if (!m_pageStale || !drawable()) {
        return false;
    }
    writePageTable();
    m_pageStale = false;
    ++m_version;
    return true;
}

void BrickPool::writePageTable() {
    const std::array<std::uint64_t, 3>& bricks = m_layout.bricks(m_level);
    const std::uint64_t count = m_layout.brickCount(m_level);
    std::vector<std::uint16_t> entries(count * kEntryChannels, 0);
    for (std::uint64_t index = 0; index < count; ++index) {
        BrickKey key = m_layout.key(m_level, index);
        if (slotOf(key) < 0 && !canShow(key, m_threshold)) {
            continue; // below the window: the zero slot
        }
        while (slotOf(key) < 0 && key.level < m_layout.baseLevel()) {
            key = BrickLayout::parent(key);
        }
        const std::int32_t slot = slotOf(key);
        if (slot < 0) {
            continue;
        }
        const auto s = static_cast<std::uint64_t>(slot);
        std::uint16_t* entry = entries.data() + index * kEntryChannels;
        entry[0] = static_cast<std::uint16_t>(s % m_atlasSlots[0]);
        entry[1] = static_cast<std::uint16_t>(s / m_atlasSlots[0] % m_atlasSlots[1]);
        entry[2] = static_cast<std::uint16_t>(s / (m_atlasSlots[0] * m_atlasSlots[1]));
        entry[3] = static_cast<std::uint16_t>(key.level);
    }
    const std::uint64_t rowBytes = bricks[0] * kEntryChannels * sizeof(std::uint16_t);
    const std::array<std::uint64_t, 3>& origin = m_layout.pageOrigin(m_level);
    const gpu::Region region{{origin[0], origin[1], origin[2]}, {bricks[0], bricks[1], bricks[2]}};
    m_pageTable->replaceRegion(region, 0, 0, entries.data(), rowBytes, rowBytes * bricks[1]);
}
