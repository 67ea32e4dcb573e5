#pragma once

#include "volume/samples/SampleType.h"
#include "volume/zarr/ZarrCodec.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

// What a Zarr array's metadata (".zarray" of format 2, "zarr.json" of format 3) says about
// how its samples are stored: the shape, the grid of chunks, the sample type and byte
// order, the fill value of chunks never written, the chain of compressors and checksums
// and, for a sharded array, how chunks are packed into shards. Only what the viewer can
// decode is accepted; the rest (filters, codecs it does not know) is refused with the
// reason, as is any shape or chunk too large to be handled safely.
struct ZarrArrayMeta {
    // Where a chunk's bytes are when several chunks are packed in one shard.
    struct Sharding {
        std::vector<std::uint64_t> shardShape; // samples per shard along each axis
        bool indexAtStart = false;
        bool indexChecksum = false;
    };

    int zarrFormat = 2;
    std::vector<std::uint64_t> shape;  // slowest axis first (t, c, z, y, x)
    std::vector<std::uint64_t> chunks; // the unit decoded at once: a chunk, or a shard's inner chunk
    SampleType type = SampleType::UInt16;
    bool bigEndian = false;
    // The order the chunk's axes are stored in, slowest first, as positions among `shape`'s
    // axes: empty for C order; Fortran order (format 2) or a transposition (format 3) give a
    // permutation, undone as each chunk is decoded.
    std::vector<std::size_t> storedAxes;
    double fillValue = 0.0;
    // Chunk keys: v2 "1.2.3" or "1/2/3"; v3 "c/1/2/3" (or without "c" under the v2 encoding).
    QChar separator = QLatin1Char('.');
    bool keyPrefix = false;
    // The bytes-to-bytes steps in the order the writer applied them; decoding goes backwards.
    std::vector<ZarrCodec> codecs;
    std::optional<Sharding> sharding;

    // The largest chunk decoded at once, and the most chunks a shard's index may list: a
    // store claiming more is refused before anything is allocated for it.
    static constexpr std::uint64_t kMaxChunkBytes = std::uint64_t{256} << 20;
    static constexpr std::uint64_t kMaxShardChunks = std::uint64_t{1} << 20;
    static constexpr std::size_t kMaxRank = 5;

    static std::variant<ZarrArrayMeta, QString> parse(const QByteArray& metadata, int zarrFormat);

    std::size_t rank() const { return shape.size(); }
    // Bytes of one decoded chunk (every chunk, edge ones too, is stored whole).
    std::uint64_t chunkBytes() const;
    // The key of the chunk, or of the shard holding it, at these grid coordinates.
    QString key(const std::vector<std::uint64_t>& gridCoordinates) const;
    // "blosc", "zstd+crc32c", "raw": the codecs as inspect shows them.
    QString codecNames() const;
};
