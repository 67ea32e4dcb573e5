#pragma once

#include "volume/zarr/ChunkStore.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

// Where each chunk of one shard lies in the shard's bytes: a little-endian (offset,
// length) pair of 64-bit numbers per chunk, in the chunks' C order, with both all ones for a
// chunk never written, and optionally a crc32c checksum after the pairs. Every entry is
// checked before it is used: a chunk that overlaps the index at the shard's start, is longer
// than a chunk of this array can be or whose end overflows refuses the shard; one that ends
// past the shard's last byte is refused by the store when its range is read.
class ShardIndex {
  public:
    static constexpr std::uint64_t kEntryBytes = 16;
    static constexpr std::uint64_t kChecksumBytes = 4;

    // The bytes of an index of `chunks` entries.
    static std::uint64_t bytes(std::uint64_t chunks, bool checksum);

    // `index` as read from the shard; `indexAtStart`: chunks must begin after it;
    // `maxChunkBytes`: the most one stored chunk may take.
    static std::variant<ShardIndex, QString> parse(const QByteArray& index, std::uint64_t chunks,
                                                   bool checksum, bool indexAtStart,
                                                   std::uint64_t maxChunkBytes);

    // The bytes of chunk `chunk` within the shard, or nothing for a chunk never written.
    std::optional<ChunkStore::Range> entry(std::uint64_t chunk) const;

  private:
    std::vector<ChunkStore::Range> m_entries;
};
