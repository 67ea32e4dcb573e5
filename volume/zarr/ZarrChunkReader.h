#pragma once

#include "volume/zarr/ChunkStore.h"
#include "volume/zarr/ShardIndex.h"
#include "volume/zarr/ZarrArrayMeta.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

// Reads and decodes the chunks of one Zarr array, a chunk at a time, from any thread: the
// stored bytes (the chunk's own key, or its range within a shard, after the shard's index)
// go through the array's codecs backwards and come out as the samples of the chunk's first
// time point and channel, in the store's byte order, z slowest. Every read is bounded by
// what a chunk of this array can take, every decoded size by the chunk's shape.
class ZarrChunkReader {
  public:
    // The samples, or Missing (the array's fill value stands for them), or why not.
    using Chunk = std::variant<QByteArray, ChunkStore::Missing, QString>;
    // A chunk's place in the grid of the three spatial axes: z, y, x.
    using GridPosition = std::array<std::uint64_t, 3>;

    // `arrayPath`: the array's folder within the store ("" for a store that is one array).
    ZarrChunkReader(std::shared_ptr<const ChunkStore> store, QString arrayPath, ZarrArrayMeta meta);

    Chunk read(const GridPosition& chunk) const;
    // Several chunks, each as read() reads it; those of one shard that lie end to end in it
    // are read in one piece where the store joins ranges.
    std::vector<Chunk> readMany(const std::vector<GridPosition>& chunks) const;

    const ZarrArrayMeta& meta() const { return m_meta; }
    // The chunk's shape along z, y, x (1 for axes an array of rank 2 does not have).
    const GridPosition& chunkShape() const { return m_chunkShape; }
    // The array's size along z, y, x.
    const GridPosition& size() const { return m_size; }
    // How many chunks the grid has along z, y, x.
    GridPosition grid() const;
    // The store's key of a chunk (or of its shard).
    QString keyOf(const GridPosition& chunk) const;
    // Where that key is: the store's folder or URL and the key, for messages.
    QString locationOf(const GridPosition& chunk) const;

  private:
    std::vector<std::uint64_t> gridCoordinates(const GridPosition& chunk) const;
    Chunk decode(QByteArray stored) const;
    std::uint64_t withinShard(const GridPosition& chunk) const;
    std::variant<std::shared_ptr<const ShardIndex>, ChunkStore::Missing, QString>
    shardIndex(const QString& key) const;

    std::shared_ptr<const ChunkStore> m_store;
    QString m_prefix; // the array's path and "/", or nothing
    ZarrArrayMeta m_meta;
    GridPosition m_chunkShape{1, 1, 1};
    GridPosition m_size{1, 1, 1};
    std::uint64_t m_spatialBytes = 0; // the samples of one chunk's first time point and channel

    // The indexes of the shards read last: each is read once, not for every chunk.
    static constexpr std::size_t kKeptShardIndexes = 64;
    mutable std::mutex m_indexMutex;
    mutable std::map<QString, std::shared_ptr<const ShardIndex>> m_shardIndexes;
};
