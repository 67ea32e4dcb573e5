#include "render/streaming/BrickLoader.h"

#include "volume/core/VolumeSource.h"

#include <chrono>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Loaders yield to the thread that draws: on a machine with few cores a frame (and the
// shader compile of the first) must not wait behind bricks that arrive a frame later.
constexpr int kLoaderNiceness = 10;
// The pause before a brick's second read; each further one waits once more as long.
constexpr std::chrono::milliseconds kRetryPause{50};

} // namespace

BrickLoader::BrickLoader(std::shared_ptr<const VolumeSource> source, BrickLayout layout,
                         std::array<std::uint64_t, 3> size, std::size_t threads, std::uint64_t readyBytes,
                         std::shared_ptr<const CoarseLevels> coarse)
    : m_source(std::move(source)), m_coarse(std::move(coarse)), m_layout(std::move(layout)), m_size(size),
      m_brickBytes(m_layout.slotTexels() * sizeof(std::uint16_t)) {
    m_readyLimit = std::max(readyBytes, m_brickBytes);
    for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i) {
        m_workers.emplace_back([this] { work(); });
    }
}

BrickLoader::~BrickLoader() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread& worker : m_workers) {
        worker.join();
    }
}

std::uint64_t BrickLoader::id(const BrickKey& key) const {
    return m_layout.index(key) * 64 + key.level;
}

std::size_t BrickLoader::wish(const std::vector<BrickKey>& bricks) {
    std::size_t unreadable = 0;
    {
        std::lock_guard lock(m_mutex);
        m_wishes.clear();
        m_nextWish = 0;
        if (m_source->failuresPass()) {
            const auto resumed = std::chrono::steady_clock::now() - kResumePause;
            std::erase_if(m_unreadable, [resumed](const auto& entry) { return entry.second <= resumed; });
        }
        for (const BrickKey& key : bricks) {
            if (m_unreadable.contains(id(key))) {
                ++unreadable;
            } else if (!m_busy.contains(id(key))) {
                m_wishes.push_back(key);
            }
        }
    }
    m_wake.notify_all();
    return unreadable;
}

std::optional<BrickTexels> BrickLoader::take() {
    std::optional<BrickTexels> taken;
    {
        std::lock_guard lock(m_mutex);
        if (m_ready.empty()) {
            return taken;
        }
        taken = std::move(m_ready.front());
        m_ready.pop_front();
        m_busy.erase(id(taken->key));
        m_baseBusy -= taken->key.level == m_layout.baseLevel() ? 1 : 0;
    }
    m_wake.notify_all();
    return taken;
}

void BrickLoader::work() {
    // Linux gives each thread its own niceness; failing to lower it changes nothing else.
    setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kLoaderNiceness);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] {
            // Bricks being read count as ready: each worker would add one.
            return m_stopping ||
                   (m_nextWish < m_wishes.size() && (m_busy.size() + 1) * m_brickBytes <= m_readyLimit &&
                    (m_baseBusy == 0 || m_wishes[m_nextWish].level == m_layout.baseLevel()));
        });
        if (m_stopping) {
            return;
        }
        const BrickKey key = m_wishes[m_nextWish++];
        if (m_coarse && key.level < m_layout.baseLevel() && key.level > m_source->storedLevels() &&
            m_coarse->awaits(key)) {
            continue;
        }
        m_busy.insert(id(key));
        const bool base = key.level == m_layout.baseLevel();
        m_baseBusy += base ? 1 : 0;
        std::optional<BrickTexels> brick;
        for (int attempt = 0; !brick && attempt < kReadAttempts; ++attempt) {
            if (attempt > 0 && m_wake.wait_for(lock, kRetryPause * attempt, [this] { return m_stopping; })) {
                return;
            }
            lock.unlock();
            brick = m_coarse && m_coarse->ready(key) ? m_coarse->build(key)
                                                     : buildBrick(*m_source, m_layout, m_size, key);
            if (brick && m_keepsCells) {
                brick->cells = cellRanges(brick->texels, m_layout);
            }
            lock.lock();
        }
        if (!brick) {
            m_failed = true;
            m_unreadable.insert_or_assign(id(key), std::chrono::steady_clock::now());
            m_busy.erase(id(key));
            if (base && --m_baseBusy == 0) {
                m_wake.notify_all();
            }
            continue;
        }
        m_ready.push_back(std::move(*brick));
        if (m_unreadable.empty()) {
            m_failed = false;
        }
    }
}
