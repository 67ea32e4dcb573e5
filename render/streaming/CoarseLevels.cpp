#include "render/streaming/CoarseLevels.h"

#include "volume/core/VolumeSize.h"
#include "volume/core/VolumeSource.h"

#include <algorithm>
#include <cstring>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The pass yields to the thread that draws, as the brick loaders do.
constexpr int kPassNiceness = 10;
// At most this share of the budget goes to the brick grid.
constexpr std::uint64_t kGridShare = 8;

void yieldToDrawing() {
    // Linux gives each thread its own niceness; failing to lower it changes nothing else.
    setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kPassNiceness);
}

std::uint64_t texelsOf(const std::array<std::uint64_t, 3>& voxels) {
    return voxels[0] * voxels[1] * voxels[2];
}

// Two slices of a level averaged into one of the next: each voxel the mean of the 2 × 2
// voxels of each slice it covers, the last row and column counted twice where a side is
// odd (as the level's edge voxel stands for itself and the one beyond).
void halve(const std::uint16_t* first, const std::uint16_t* second, std::uint64_t width, std::uint64_t height,
           std::uint16_t* out) {
    const std::uint64_t outWidth = (width + 1) / 2;
    const std::uint64_t pairs = width / 2;
    for (std::uint64_t y = 0; y < (height + 1) / 2; ++y) {
        const std::uint64_t y0 = 2 * y * width;
        const std::uint64_t y1 = std::min(2 * y + 1, height - 1) * width;
        const std::uint16_t *a = first + y0, *b = first + y1, *c = second + y0, *d = second + y1;
        std::uint16_t* row = out + y * outWidth;
        for (std::uint64_t x = 0; x < pairs; ++x) {
            const std::uint64_t l = 2 * x, r = l + 1;
            const std::uint32_t sum = a[l] + a[r] + b[l] + b[r] + c[l] + c[r] + d[l] + d[r];
            row[x] = static_cast<std::uint16_t>((sum + 4) / 8);
        }
        if (pairs != outWidth) {
            const std::uint64_t l = width - 1;
            const std::uint32_t sum = 2u * (a[l] + b[l] + c[l] + d[l]);
            row[pairs] = static_cast<std::uint16_t>((sum + 4) / 8);
        }
    }
}

// A kept level read as the level 0 of a volume of its size.
class KeptLevel final : public VolumeSource {
  public:
    KeptLevel(const std::uint16_t* texels, std::uint64_t width, std::uint64_t height)
        : m_texels(texels), m_width(width), m_height(height) {}

    bool readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override {
        std::memcpy(out, m_texels + (z * m_height + y) * m_width + x, count * kTexelBytes);
        return true;
    }

  private:
    const std::uint16_t* m_texels;
    std::uint64_t m_width, m_height;
};

} // namespace

struct CoarseLevels::Level {
    std::array<std::uint64_t, 3> voxels{};
    std::unique_ptr<std::uint16_t[]> kept;    // the whole level, when kept
    std::optional<BrickLayout> layout;        // a kept level's bricks as level 0 of its own
    std::atomic<std::uint64_t> slicesDone{0}; // of a kept level, written before counted
    std::vector<std::uint16_t> partner;       // an even slice waiting for the odd one
    std::vector<std::uint16_t> averaged;      // the next level's slice made from a pair
};

std::unique_ptr<CoarseLevels> CoarseLevels::start(std::shared_ptr<const VolumeSource> source,
                                                  const BrickLayout& layout, std::uint64_t bytes) {
    const std::array<std::uint64_t, 3>& voxels = layout.voxels(0);
    const auto levels = static_cast<std::uint32_t>(layout.levelCount());
    std::uint32_t firstKept = levels;
    for (std::uint64_t kept = 0; firstKept > 1; --firstKept) {
        kept += texelsOf(layout.voxels(firstKept - 1)) * kTexelBytes;
        if (kept > bytes) {
            break;
        }
    }
    if (firstKept == levels) {
        return nullptr;
    }
    std::unique_ptr<CoarseLevels> coarse(new CoarseLevels(std::move(source), layout, firstKept));
    // The grid's maxima take a share of the budget; a volume whose grid would take more
    // goes without.
    constexpr std::uint64_t cellVoxels =
        BrickGrid::kBrickSide * BrickGrid::kBrickSide * BrickGrid::kBrickSide;
    coarse->m_surveys = texelsOf(voxels) / cellVoxels * kTexelBytes <= bytes / kGridShare;
    coarse->m_reader = std::thread([raw = coarse.get()] { raw->read(); });
    coarse->m_averager = std::thread([raw = coarse.get()] { raw->average(); });
    return coarse;
}

CoarseLevels::CoarseLevels(std::shared_ptr<const VolumeSource> source, const BrickLayout& layout,
                           std::uint32_t firstKept)
    : m_source(std::move(source)), m_layout(layout), m_firstKept(firstKept), m_levels(layout.levelCount()) {
    for (std::uint32_t n = 0; n < m_levels.size(); ++n) {
        Level& level = m_levels[n];
        level.voxels = layout.voxels(n);
        const std::uint64_t slice = level.voxels[0] * level.voxels[1];
        if (n >= firstKept) {
            // Not zeroed: the pass writes every texel before it counts its slice.
            level.kept = std::make_unique_for_overwrite<std::uint16_t[]>(texelsOf(level.voxels));
            level.layout.emplace(level.voxels, layout.brickSide());
        }
        if (n + 1 < m_levels.size()) {
            level.partner.resize(n > 0 ? slice : 0);
            level.averaged.resize(((level.voxels[0] + 1) / 2) * ((level.voxels[1] + 1) / 2));
        }
    }
}

CoarseLevels::~CoarseLevels() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_turn.notify_all();
    m_reader.join();
    m_averager.join();
}

void CoarseLevels::read() {
    yieldToDrawing();
    const auto [width, height, depth] = m_levels[0].voxels;
    const std::uint64_t slice = width * height;
    // Rows read at once: as many as the source reads with one call.
    const std::uint64_t rowsAtOnce =
        std::max<std::uint64_t>(VolumeSource::kSpanBytes / (width * kTexelBytes), 1);
    for (std::uint64_t pair = 0; 2 * pair < depth; ++pair) {
        Pair& into = m_pairs[pair % 2];
        {
            std::unique_lock lock(m_mutex);
            m_turn.wait(lock, [&] { return m_stopping || !into.full; });
            if (m_stopping) {
                return;
            }
        }
        into.texels.resize(2 * slice);
        for (std::uint64_t half = 0; half < 2; ++half) {
            const std::uint64_t z = std::min(2 * pair + half, depth - 1);
            for (std::uint64_t y = 0; y < height; y += rowsAtOnce) {
                const std::uint64_t rows = std::min(rowsAtOnce, height - y);
                if (!m_source->readRows(0, y, z, width, rows,
                                        into.texels.data() + half * slice + y * width)) {
                    m_failed = true;
                    std::lock_guard lock(m_mutex);
                    m_stopping = true;
                    m_turn.notify_all();
                    return;
                }
            }
        }
        {
            std::lock_guard lock(m_mutex);
            into.full = true;
        }
        m_turn.notify_all();
    }
}

void CoarseLevels::average() {
    yieldToDrawing();
    const auto [width, height, depth] = m_levels[0].voxels;
    std::shared_ptr<BrickGrid> grid = m_surveys ? std::make_shared<BrickGrid>(width, height, depth) : nullptr;
    for (std::uint64_t pair = 0; 2 * pair < depth; ++pair) {
        Pair& from = m_pairs[pair % 2];
        {
            std::unique_lock lock(m_mutex);
            m_turn.wait(lock, [&] { return m_stopping || from.full; });
            if (m_stopping) {
                return;
            }
        }
        std::vector<std::uint16_t>& level1 = m_levels[0].averaged;
        halve(from.texels.data(), from.texels.data() + width * height, width, height, level1.data());
        if (grid) {
            grid->addSlices(reinterpret_cast<const std::byte*>(from.texels.data()), 2 * pair,
                            std::min<std::uint64_t>(2, depth - 2 * pair));
        }
        {
            std::lock_guard lock(m_mutex);
            from.full = false;
        }
        m_turn.notify_all();
        add(1, level1.data(), pair);
    }
    if (grid) {
        grid->finish();
    }
    m_grid = std::move(grid);
    m_finished = true;
}

void CoarseLevels::add(std::uint32_t n, const std::uint16_t* slice, std::uint64_t index) {
    Level& level = m_levels[n];
    const std::uint64_t texels = level.voxels[0] * level.voxels[1];
    if (level.kept) {
        std::copy_n(slice, texels, level.kept.get() + index * texels);
        level.slicesDone.store(index + 1, std::memory_order_release);
    }
    if (n + 1 == m_levels.size()) {
        return;
    }
    const bool last = index + 1 == level.voxels[2];
    if (index % 2 == 0 && !last) {
        std::copy_n(slice, texels, level.partner.data());
        return;
    }
    halve(index % 2 == 0 ? slice : level.partner.data(), slice, level.voxels[0], level.voxels[1],
          level.averaged.data());
    add(n + 1, level.averaged.data(), index / 2);
}

std::uint64_t CoarseLevels::lastSlice(const BrickKey& key) const {
    const auto start = static_cast<std::int64_t>(key.brick[2] * m_layout.brickSide()) -
                       static_cast<std::int64_t>(BrickLayout::kBorder);
    const auto last = start + static_cast<std::int64_t>(m_layout.slotSide()) - 1;
    return static_cast<std::uint64_t>(
        std::clamp<std::int64_t>(last, 0, static_cast<std::int64_t>(m_levels[key.level].voxels[2]) - 1));
}

bool CoarseLevels::ready(const BrickKey& key) const {
    return key.level >= m_firstKept && key.level < m_levels.size() &&
           m_levels[key.level].slicesDone.load(std::memory_order_acquire) > lastSlice(key);
}

bool CoarseLevels::awaits(const BrickKey& key) const {
    return key.level >= m_firstKept && !m_failed && !ready(key);
}

std::optional<BrickTexels> CoarseLevels::build(const BrickKey& key) const {
    if (!ready(key)) {
        return std::nullopt;
    }
    const Level& level = m_levels[key.level];
    const KeptLevel source(level.kept.get(), level.voxels[0], level.voxels[1]);
    std::optional<BrickTexels> brick = buildBrick(source, *level.layout, level.voxels, {0, key.brick});
    if (brick) {
        brick->key = key;
    }
    return brick;
}

bool CoarseLevels::readKept(std::uint32_t level, std::uint64_t x, std::uint64_t y, std::uint64_t z,
                            std::uint64_t count, std::uint64_t rows, std::uint16_t* out) const {
    if (!finished() || level < m_firstKept || level >= m_levels.size()) {
        return false;
    }
    const Level& kept = m_levels[level];
    const auto [width, height, depth] = kept.voxels;
    if (x + count > width || y + rows > height || z >= depth) {
        return false;
    }
    for (std::uint64_t row = 0; row < rows; ++row) {
        std::copy_n(kept.kept.get() + (z * height + y + row) * width + x, count, out + row * count);
    }
    return true;
}
