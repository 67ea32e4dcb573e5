#pragma once

#include "render/streaming/BrickBuilder.h"
#include "render/streaming/BrickLayout.h"
#include "render/streaming/CoarseLevels.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class VolumeSource;

// Reads bricks on worker threads, in the order the frames wish for them. Each wish list
// replaces the last (the camera has moved on: what the last frame wanted may no longer be
// needed); a brick being read or read and not yet taken is not read again. Bricks read
// and not yet taken, with those being read, hold at most `readyBytes` of memory: the
// workers wait beyond that, so a volume larger than memory never piles up in it. A brick that cannot be read
// (its file changed on disk, a passing I/O error) is read again a few times after a short pause; one that
// still fails is unreadable and no longer read, while the workers go on with every other brick: for good,
// or, where the source's failures pass (a server that went away), until a wish after kResumePause asks
// for it again.
// Destroying the loader stops the workers after the brick each is reading.
//
// With the coarse levels of a pass over the volume (CoarseLevels), their bricks are built
// from them; one the pass has not reached yet is left for a later wish, unless it belongs to
// the base level, which is read from the rows at once so that there is a first picture.
// A level the source holds itself is read from it, never left for the pass.
//
// No finer brick is begun while a brick of the base level is being read or waits to be
// taken: the first picture needs the base level whole, and over a slow network (a web store)
// finer bricks read beside it would share the bandwidth it is waiting for.
class BrickLoader {
  public:
    BrickLoader(std::shared_ptr<const VolumeSource> source, BrickLayout layout,
                std::array<std::uint64_t, 3> size, std::size_t threads, std::uint64_t readyBytes,
                std::shared_ptr<const CoarseLevels> coarse = nullptr);
    ~BrickLoader();
    BrickLoader(const BrickLoader&) = delete;
    BrickLoader& operator=(const BrickLoader&) = delete;

    // Read attempts of a brick before it is given up.
    static constexpr int kReadAttempts = 3;
    // How long a brick of a source whose failures pass is left unread after it failed.
    static constexpr std::chrono::seconds kResumePause{3};

    // Bricks to read, most wanted first; returns how many of them are unreadable.
    std::size_t wish(const std::vector<BrickKey>& bricks);
    // The brick read longest ago and not taken yet, if there is one.
    std::optional<BrickTexels> take();
    // Whether a brick turned out unreadable (a file that shrank, went away or was replaced),
    // and, for a source whose failures pass, no brick has been read since.
    bool failed() const { return m_failed; }
    // Bricks read from now on carry the ranges of their cells (BrickTexels::cells).
    void keepCellRanges() { m_keepsCells = true; }

  private:
    void work();
    std::uint64_t id(const BrickKey& key) const;

    std::shared_ptr<const VolumeSource> m_source;
    std::shared_ptr<const CoarseLevels> m_coarse;
    BrickLayout m_layout;
    std::array<std::uint64_t, 3> m_size;
    std::uint64_t m_readyLimit;
    std::uint64_t m_brickBytes;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<BrickKey> m_wishes;           // guarded by m_mutex; kept between wishes
    std::size_t m_nextWish = 0;               // the first not yet read; guarded by m_mutex
    std::unordered_set<std::uint64_t> m_busy; // read or being read, not taken; guarded
    std::size_t m_baseBusy = 0;               // base-level bricks of m_busy; guarded
    // Given up, and when; guarded by m_mutex.
    std::unordered_map<std::uint64_t, std::chrono::steady_clock::time_point> m_unreadable;
    std::deque<BrickTexels> m_ready; // oldest first; guarded by m_mutex
    bool m_stopping = false;         // guarded by m_mutex
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_keepsCells{false};
    std::vector<std::thread> m_workers;
};
