#pragma once

#include "volume/core/VolumeSource.h"
#include "volume/zarr/ZarrChunkReader.h"
#include "volume/zarr/ZarrTexelMap.h"

#include <QString>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

// Texels of a Zarr array, read row by row for the brick loader's workers through a cache of
// decoded chunks shared by all of them and bounded in bytes: the chunks used last are kept,
// and a chunk one worker is decoding is waited for by the others, not decoded again. A chunk
// that cannot be read fails the row (the loader tries again later) and names its key in
// unreadableFile(); it is not kept, so the next read tries the store again.
//
// Besides level 0 it may hold the store's own coarse levels, each an array with its own chunk
// grid and codecs, its chunks in the same cache. The reader that opens the store hands over
// only levels that halve some axes of the one before and keep the others (OmeZarrReader); a
// level whose shape was rounded down lacks the last voxel of an odd axis, which repeats the
// one before it, as a texture clamped to its edge reads. A level the store downsampled by a
// factor other than a power of two (3, say) is offered as the next coarser halving: each of
// its voxels is the store's voxel under that voxel's centre, nearest.
class ZarrVolumeSource final : public VolumeSource {
  public:
    struct HeldLevel {
        std::shared_ptr<const ZarrChunkReader> reader;
        LevelShifts shifts{}; // of level 0 along x, y, z
        // The store's own factors along x, y, z where some is no power of two; empty else.
        std::optional<std::array<double, 3>> resampledFrom{};
    };

    // `levels`: level 0 first, then the coarse levels held, each with the same samples' map.
    ZarrVolumeSource(std::vector<HeldLevel> levels, ZarrTexelMap map, std::uint64_t cacheBytes);

    bool readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override;
    // Rows of many chunks read their chunks together first, so that those lying end to end in
    // a shard on a web server come in one request.
    bool readRows(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count, std::uint64_t rows,
                  std::uint16_t* out) const override;
    std::uint32_t storedLevels() const override { return static_cast<std::uint32_t>(m_levels.size() - 1); }
    LevelShifts levelShifts(std::uint32_t level) const override {
        return level < m_levels.size() ? m_levels[level].shifts : LevelShifts{};
    }
    bool readLevelRows(std::uint32_t level, std::uint64_t x, std::uint64_t y, std::uint64_t z,
                       std::uint64_t count, std::uint64_t rows, std::uint16_t* out) const override;
    QString unreadableFile() const override;
    // A chunk is read afresh each time it is asked for: a store whose server went away
    // answers again once it is back.
    bool failuresPass() const override { return true; }

    // The texels of one chunk of a level, z slowest, the chunk's full shape; empty for one
    // never written (every texel the fill value's); nothing when it cannot be read now.
    using Texels = std::shared_ptr<const std::vector<std::uint16_t>>;
    std::optional<Texels> chunk(std::uint32_t level, const ZarrChunkReader::GridPosition& position) const;
    std::uint16_t fillTexel() const { return m_fillTexel; }

  private:
    struct Entry {
        std::shared_future<std::optional<Texels>> ready;
        std::list<std::uint64_t>::iterator used; // in m_used once decoded
        std::uint64_t bytes = 0;
        bool decoded = false;
    };

    struct Level {
        std::shared_ptr<const ZarrChunkReader> reader;
        LevelShifts shifts;
        std::optional<std::array<double, 3>> resampledFrom;
        ZarrChunkReader::GridPosition grid;
        std::uint64_t firstId = 0; // the cache's id of its first chunk; the levels' ids follow on
    };

    static std::uint64_t idOf(const Level& level, const ZarrChunkReader::GridPosition& position);
    std::optional<Texels> texelsOf(const Level& level, const ZarrChunkReader::GridPosition& position,
                                   const ZarrChunkReader::Chunk& read) const;
    void noteOutOfMemory(const Level& level, const ZarrChunkReader::GridPosition& position) const;
    // Reads the chunks under `rows` rows of `count` texels from (x, y, z) of a level that are
    // neither kept nor being read, all at once.
    void readAhead(std::uint32_t level, std::uint64_t x, std::uint64_t y, std::uint64_t z,
                   std::uint64_t count, std::uint64_t rows) const;
    void keep(std::uint64_t id, const std::optional<Texels>& texels) const;
    // Rows of a level offered in place of the store's own (HeldLevel::resampledFrom).
    bool resampledRows(const Level& held, std::uint32_t level, std::uint64_t x, std::uint64_t y,
                       std::uint64_t z, std::uint64_t count, std::uint64_t rows, std::uint16_t* out) const;
    // One row of a level from x on; rows and columns beyond its shape repeat its last ones.
    bool levelRow(std::uint32_t level, std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                  std::uint16_t* out) const;

    std::vector<Level> m_levels;
    ZarrTexelMap m_map;
    std::uint16_t m_fillTexel;
    std::uint64_t m_cacheBytes;

    mutable std::mutex m_mutex;
    mutable std::unordered_map<std::uint64_t, Entry> m_entries;
    mutable std::list<std::uint64_t> m_used; // decoded chunks, the one used last first
    mutable std::uint64_t m_heldBytes = 0;
    mutable QString m_unreadable;
};
