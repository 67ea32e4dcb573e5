#pragma once

#include "render/streaming/BrickBuilder.h"
#include "render/streaming/BrickGrid.h"
#include "render/streaming/BrickLayout.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class VolumeSource;

// The coarse levels of detail of a volume read in place, made in one sequential pass over
// its level-0 slices: one thread reads pairs of slices, the other averages them, and each
// voxel of level n is the mean of the 2 × 2 × 2 voxels of level n − 1 it covers. Reading the
// file once is then the cost of every coarse level, where bricks built one at a time read
// a few rows here and there for each (minutes for a volume of many gigabytes). The levels
// from the finest that fits the byte budget (with all coarser ones) up are kept in memory
// and their bricks built from them once the pass has gone past their slices; finer levels
// still come from the file's rows. A slice the pass cannot read stops it: the bricks it has
// not reached are then read from the rows as before.
//
// On its way the pass surveys the level-0 slices into a brick grid (BrickGrid), with which
// the rays skip empty space and the pool leaves the bricks below the window unread, as for
// a volume decoded into memory, unless the grid would take more than an eighth of the budget.
class CoarseLevels {
  public:
    // Null when not even the coarsest level fits `bytes`.
    static std::unique_ptr<CoarseLevels> start(std::shared_ptr<const VolumeSource> source,
                                               const BrickLayout& layout, std::uint64_t bytes);
    // Stops the pass after the slice at hand.
    ~CoarseLevels();
    CoarseLevels(const CoarseLevels&) = delete;
    CoarseLevels& operator=(const CoarseLevels&) = delete;

    // The finest level kept.
    std::uint32_t firstKept() const { return m_firstKept; }
    // The pass has averaged every slice of the brick's slot.
    bool ready(const BrickKey& key) const;
    // The brick will come from the pass, which has not reached it yet.
    bool awaits(const BrickKey& key) const;
    // The brick's slot from its kept level, once ready.
    std::optional<BrickTexels> build(const BrickKey& key) const;
    // Rows of a kept level, as VolumeSource::readRows reads level 0, in that level's voxels,
    // once the pass has finished; false before, for a level not kept, or outside it.
    bool readKept(std::uint32_t level, std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                  std::uint64_t rows, std::uint16_t* out) const;
    bool finished() const { return m_finished; }
    // The brick grid of level 0, once the pass has finished.
    std::shared_ptr<const BrickGrid> grid() const { return finished() ? m_grid : nullptr; }
    // Whether the pass makes a grid at all.
    bool surveys() const { return m_surveys; }
    bool failed() const { return m_failed; }

  private:
    struct Level;
    struct Pair {
        std::vector<std::uint16_t> texels; // two level-0 slices
        bool full = false;
    };

    CoarseLevels(std::shared_ptr<const VolumeSource> source, const BrickLayout& layout,
                 std::uint32_t firstKept);
    void read();
    void average();
    // Takes slice `index` of `level`: keeps it if the level is kept, and averages it with the
    // slice before it into the next level once it has its partner.
    void add(std::uint32_t level, const std::uint16_t* slice, std::uint64_t index);
    std::uint64_t lastSlice(const BrickKey& key) const;

    std::shared_ptr<const VolumeSource> m_source;
    BrickLayout m_layout;
    std::uint32_t m_firstKept;
    std::vector<Level> m_levels;       // one per level, level 0's unused
    bool m_surveys = false;            // the pass builds a brick grid
    std::shared_ptr<BrickGrid> m_grid; // set when the pass has finished

    std::mutex m_mutex;
    std::condition_variable m_turn;
    Pair m_pairs[2]; // read in turn, guarded by m_mutex while not being filled or averaged
    bool m_stopping = false;
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_finished{false};
    std::thread m_reader;
    std::thread m_averager;
};
