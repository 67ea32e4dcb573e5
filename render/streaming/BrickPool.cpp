#include "render/streaming/BrickPool.h"

#include "volume/core/VolumeSource.h"

#include <chrono>

std::optional<QString> BrickPool::refusal(std::array<std::uint64_t, 3> size, const Budgets& budgets,
                                          std::size_t maxTexture3DSize) {
    const BrickLayout layout(size, budgets.brickSide);
    if (std::optional<QString> reason = BrickAtlas::refusal(layout, budgets.gpuBytes, maxTexture3DSize)) {
        return reason;
    }
    return BrickPageTable::refusal(layout, maxTexture3DSize);
}

std::variant<std::unique_ptr<BrickPool>, QString>
BrickPool::create(gpu::Device& device, std::shared_ptr<const VolumeSource> source,
                  std::array<std::uint64_t, 3> size, const Budgets& budgets) {
    if (!source) {
        return QStringLiteral("there is no voxel data");
    }
    const BrickLayout layout(size, budgets.brickSide);
    if (std::optional<QString> reason = refusal(size, budgets, device.maxTexture3DSize())) {
        return *reason;
    }
    std::variant<std::unique_ptr<BrickPageTable>, QString> table = BrickPageTable::create(device, layout);
    if (const QString* reason = std::get_if<QString>(&table)) {
        return *reason;
    }
    std::variant<std::unique_ptr<BrickAtlas>, QString> atlas =
        BrickAtlas::create(device, layout, budgets.gpuBytes);
    if (const QString* reason = std::get_if<QString>(&atlas)) {
        return *reason;
    }
    std::unique_ptr<BrickPool> pool(new BrickPool(std::move(source), size, layout, budgets));
    pool->m_pageTable = std::get<std::unique_ptr<BrickPageTable>>(std::move(table));
    pool->m_atlas = std::get<std::unique_ptr<BrickAtlas>>(std::move(atlas));
    pool->m_residency.grow(pool->m_atlas->slotCount());
    return pool;
}

BrickPool::BrickPool(std::shared_ptr<const VolumeSource> source, std::array<std::uint64_t, 3> size,
                     const BrickLayout& layout, const Budgets& budgets)
    : m_layout(layout), m_budgets(budgets), m_ranges(layout), m_residency(layout),
      // A store holding coarse levels needs no pass over its level 0: the levels it lacks are
      // averaged from its coarsest, far fewer voxels than level 0's.
      m_coarse(budgets.coarseLevelBytes > 0 && source->storedLevels() == 0
                   ? CoarseLevels::start(source, layout, budgets.coarseLevelBytes)
                   : nullptr),
      m_loader(std::make_unique<BrickLoader>(std::move(source), layout, size, budgets.threads,
                                             budgets.readyBytes, m_coarse)),
      m_sampledGrid(layout) {
    for (std::uint32_t level = 0; level <= m_layout.baseLevel(); ++level) {
        m_cells.emplace_back(m_sampledGrid.feasible(level) ? m_layout.brickCount(level) : 0);
    }
}

BrickPool::~BrickPool() = default;

void BrickPool::knowRanges(const BrickGrid& grid) {
    m_pageStale = m_ranges.takeFrom(grid) || m_pageStale;
    m_settledFor.reset();
}

void BrickPool::adoptBase(const std::vector<BrickTexels>& bricks) {
    for (const BrickTexels& brick : bricks) {
        if (brick.key.level == m_layout.baseLevel() && brick.texels.size() == m_layout.slotTexels()) {
            arrive(brick);
        }
    }
    m_settledFor.reset();
}

std::optional<std::uint32_t> BrickPool::takeSlot() {
    if (!m_residency.hasFree() && m_atlas->grow(m_demand)) {
        m_residency.grow(m_atlas->slotCount());
        m_pageStale = true;
    }
    const std::optional<BrickResidency::Taken> taken = m_residency.take(m_frame);
    if (!taken) {
        return std::nullopt;
    }
    if (taken->evicted) {
        m_pageStale = m_pageStale || taken->evicted->level == m_level;
    }
    return taken->slot;
}

bool BrickPool::upload(const BrickTexels& brick) {
    const std::optional<std::uint32_t> slot = takeSlot();
    if (!slot) {
        return false;
    }
    if (!m_atlas->upload(*slot, brick.texels.data())) {
        m_residency.giveBack(*slot);
        return false;
    }
    m_residency.place(*slot, brick.key, m_frame);
    m_pageStale = true;
    ++m_uploads.bricks;
    return true;
}

void BrickPool::arrive(const BrickTexels& brick) {
    m_ranges.set(brick.key, brick.minimum, brick.maximum);
    if (m_sampledGrid.feasible(brick.key.level) && !brick.cells.empty()) {
        m_cells[brick.key.level][m_layout.index(brick.key)] =
            std::make_shared<const std::vector<BrickTexels::Range>>(brick.cells);
    }
    const bool base = brick.key.level == m_layout.baseLevel();
    m_pageStale = m_pageStale || brick.key.level == m_level;
    if (m_residency.slotOf(brick.key) < 0 &&
        (base || (brick.key.level == m_level && m_ranges.mustUpload(brick.key, m_shown)))) {
        upload(brick);
    }
}

bool BrickPool::update(const View& view) {
    if (m_settledFor == view) {
        return false;
    }
    ++m_frame;
    const std::uint64_t baseBricks = m_layout.brickCount(m_layout.baseLevel());
    chooseLevel(m_layout, view, m_ranges, m_atlas->largestSlotCount() - baseBricks - 1, m_needed);
    if (m_needed.level != m_level || view.shown != m_shown) {
        m_level = m_needed.level;
        m_shown = view.shown;
        m_pageStale = true;
    }
    // Slots this view needs: the zero slot, the base level and the bricks of the frame's
    // level that are resident or known to hold texels that can show.
    m_demand = baseBricks + 1;
    for (const BrickKey& key : m_needed.bricks) {
        if (m_residency.slotOf(key) >= 0) {
            m_residency.need(key, m_frame);
            ++m_demand;
        } else if (m_ranges.mustUpload(key, m_shown)) {
            ++m_demand;
        }
    }

    // Bricks arrive until the frame's bytes or time for uploads are spent, so that no frame
    // is long however many bricks wait.
    const auto uploadEnd = std::chrono::steady_clock::now() + m_budgets.uploadTimePerFrame;
    std::uint64_t uploadBytes = 0;
    while (uploadBytes < m_budgets.uploadBytesPerFrame && std::chrono::steady_clock::now() < uploadEnd) {
        const std::optional<BrickTexels> arrived = m_loader->take();
        if (!arrived) {
            break;
        }
        uploadBytes += arrived->texels.size() * sizeof(std::uint16_t);
        arrive(*arrived);
    }

    m_wishes.clear();
    const std::uint32_t base = m_layout.baseLevel();
    for (std::uint64_t index = 0; index < baseBricks; ++index) {
        const BrickKey key = m_layout.key(base, index);
        if (m_residency.slotOf(key) < 0) {
            m_wishes.push_back(key);
        }
    }
    // Bricks not read yet, and bricks read before that turn out to be needed (a neighbour
    // holds texels that show): a brick that cannot show is not read again while its neighbours
    // are still unknown.
    for (const BrickKey& key : m_needed.bricks) {
        if (m_residency.slotOf(key) < 0 && (!m_ranges.known(key) || m_ranges.mustUpload(key, m_shown))) {
            m_wishes.push_back(key);
        }
    }
    m_complete = m_wishes.empty();
    m_missesUnreadable = m_loader->wish(m_wishes) > 0;
    m_settledFor = m_complete ? std::optional(view) : std::nullopt;

    if (!m_pageStale || !drawable()) {
        return false;
    }
    m_pageStale = false;
    if (!writePageTable()) {
        return false;
    }
    ++m_uploads.pageTables;
    ++m_version;
    return true;
}

std::optional<BrickKey> BrickPool::shownBy(BrickKey key) const {
    if (m_residency.slotOf(key) < 0 && !m_ranges.canShow(key, m_shown)) {
        return std::nullopt; // cannot show
    }
    while (m_residency.slotOf(key) < 0 && key.level < m_layout.baseLevel()) {
        key = BrickLayout::parent(key);
    }
    if (m_residency.slotOf(key) < 0) {
        return std::nullopt;
    }
    return key;
}

bool BrickPool::writePageTable() {
    m_pageTable->clear(m_level);
    const std::uint64_t count = m_layout.brickCount(m_level);
    for (std::uint64_t index = 0; index < count; ++index) {
        if (const std::optional<BrickKey> shown = shownBy(m_layout.key(m_level, index))) {
            const auto slot = static_cast<std::uint32_t>(m_residency.slotOf(*shown));
            m_pageTable->point(index, m_atlas->position(slot), shown->level);
        }
    }
    return m_pageTable->upload();
}

std::shared_ptr<const BrickGrid> BrickPool::sampledGrid() {
    if (!m_sampledGrid.feasible(m_level)) {
        return nullptr;
    }
    // The slots the page table points to change only with its version or the frame's level.
    if (m_sampled && m_sampledFor == std::pair(m_version, m_level)) {
        return m_sampled;
    }
    m_sampledFor = {m_version, m_level};
    const std::uint64_t count = m_layout.brickCount(m_level);
    std::vector<SampledGrid::Range> ranges(count);
    std::vector<SampledGrid::Cells> cells(count);
    for (std::uint64_t index = 0; index < count; ++index) {
        const std::optional<BrickKey> shown = shownBy(m_layout.key(m_level, index));
        if (!shown) {
            ranges[index] = {0, 0}; // the zero slot's texels
            continue;
        }
        if (const auto range = m_ranges.range(*shown)) {
            ranges[index] = {(*range)[0], (*range)[1]};
        }
        if (shown->level == m_level) {
            cells[index] = m_cells[m_level][index];
        }
    }
    m_sampled = m_sampledGrid.update(m_level, std::move(ranges), std::move(cells));
    return m_sampled;
}
