#include "volume/zarr/ZarrChunkReader.h"

#include <algorithm>
#include <cstring>

ZarrChunkReader::ZarrChunkReader(std::shared_ptr<const ChunkStore> store, QString arrayPath,
                                 ZarrArrayMeta meta)
    : m_store(std::move(store)), m_prefix(arrayPath.isEmpty() ? QString() : arrayPath + QLatin1Char('/')),
      m_meta(std::move(meta)) {
    const std::size_t rank = m_meta.rank();
    const std::size_t spatial = std::min<std::size_t>(rank, 3);
    for (std::size_t i = 0; i < spatial; ++i) {
        m_chunkShape[3 - spatial + i] = m_meta.chunks[rank - spatial + i];
        m_size[3 - spatial + i] = m_meta.shape[rank - spatial + i];
    }
    m_spatialBytes = sampleTypeBytes(m_meta.type) * m_chunkShape[0] * m_chunkShape[1] * m_chunkShape[2];
}

ZarrChunkReader::GridPosition ZarrChunkReader::grid() const {
    GridPosition out{};
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = (m_size[i] + m_chunkShape[i] - 1) / m_chunkShape[i];
    return out;
}

std::vector<std::uint64_t> ZarrChunkReader::gridCoordinates(const GridPosition& chunk) const {
    // The leading axes (time, channel) stay at their first chunk.
    std::vector<std::uint64_t> coordinates(m_meta.rank(), 0);
    const std::size_t spatial = std::min<std::size_t>(m_meta.rank(), 3);
    for (std::size_t i = 0; i < spatial; ++i)
        coordinates[m_meta.rank() - spatial + i] = chunk[3 - spatial + i];
    return coordinates;
}

QString ZarrChunkReader::keyOf(const GridPosition& chunk) const {
    std::vector<std::uint64_t> coordinates = gridCoordinates(chunk);
    if (m_meta.sharding)
        for (std::size_t axis = 0; axis < coordinates.size(); ++axis)
            coordinates[axis] /= m_meta.sharding->shardShape[axis] / m_meta.chunks[axis];
    return m_prefix + m_meta.key(coordinates);
}

QString ZarrChunkReader::locationOf(const GridPosition& chunk) const {
    return m_store->displayName() + QLatin1Char('/') + keyOf(chunk);
}

namespace {

// A chunk's samples in C order, from a chunk whose axes are stored in `meta.storedAxes`'
// order: each sample is copied once, the stored offset following the logical index.
QByteArray inCOrder(const QByteArray& stored, const ZarrArrayMeta& meta) {
    const std::size_t rank = meta.rank();
    const std::size_t sample = sampleTypeBytes(meta.type);
    std::vector<std::uint64_t> strides(rank); // in samples, per logical axis
    std::uint64_t stride = 1;
    for (std::size_t j = rank; j-- > 0;) {
        strides[meta.storedAxes[j]] = stride;
        stride *= meta.chunks[meta.storedAxes[j]];
    }
    QByteArray ordered(stored.size(), Qt::Uninitialized);
    std::vector<std::uint64_t> index(rank, 0);
    std::uint64_t from = 0;
    for (qsizetype to = 0; to < ordered.size(); to += static_cast<qsizetype>(sample)) {
        std::memcpy(ordered.data() + to, stored.constData() + from * sample, sample);
        for (std::size_t axis = rank; axis-- > 0;) {
            from += strides[axis];
            if (++index[axis] < meta.chunks[axis])
                break;
            from -= strides[axis] * meta.chunks[axis];
            index[axis] = 0;
        }
    }
    return ordered;
}

} // namespace

ZarrChunkReader::Chunk ZarrChunkReader::decode(QByteArray stored) const {
    // The chain backwards; only the last decompressor is told the chunk's size, the checksum
    // after it only strips its four bytes.
    for (auto codec = m_meta.codecs.rbegin(); codec != m_meta.codecs.rend(); ++codec) {
        const bool innermost = std::none_of(codec + 1, m_meta.codecs.rend(), [](const ZarrCodec& other) {
            return other.kind != ZarrCodec::Kind::Crc32c;
        });
        ZarrCodec::Decoded decoded = codec->decode(stored, innermost ? m_meta.chunkBytes() : 0);
        if (const auto* refusal = std::get_if<QString>(&decoded))
            return *refusal;
        stored = std::get<QByteArray>(std::move(decoded));
    }
    if (static_cast<std::uint64_t>(stored.size()) != m_meta.chunkBytes())
        return QStringLiteral("a chunk holds %1 bytes where its shape needs %2")
            .arg(stored.size())
            .arg(m_meta.chunkBytes());
    if (!m_meta.storedAxes.empty())
        stored = inCOrder(stored, m_meta);
    // C order: the first time point and channel are the chunk's first samples.
    stored.truncate(static_cast<qsizetype>(m_spatialBytes));
    return stored;
}

ZarrChunkReader::Chunk ZarrChunkReader::read(const GridPosition& chunk) const {
    if (m_meta.sharding)
        return std::move(readMany({chunk}).front());
    std::uint64_t bound = m_meta.chunkBytes();
    for (const ZarrCodec& codec : m_meta.codecs)
        bound = codec.encodedBound(bound);
    ChunkStore::Bytes stored = m_store->read(keyOf(chunk), bound);
    if (auto* bytes = std::get_if<QByteArray>(&stored))
        return decode(std::move(*bytes));
    if (std::holds_alternative<ChunkStore::Missing>(stored))
        return ChunkStore::Missing{};
    return std::get<QString>(stored);
}

std::variant<std::shared_ptr<const ShardIndex>, ChunkStore::Missing, QString>
ZarrChunkReader::shardIndex(const QString& key) const {
    {
        const std::lock_guard lock(m_indexMutex);
        if (const auto found = m_shardIndexes.find(key); found != m_shardIndexes.end())
            return found->second;
    }
    const ZarrArrayMeta::Sharding& sharding = *m_meta.sharding;
    std::uint64_t chunks = 1;
    for (std::size_t axis = 0; axis < m_meta.rank(); ++axis)
        chunks *= sharding.shardShape[axis] / m_meta.chunks[axis];
    const std::uint64_t indexBytes = ShardIndex::bytes(chunks, sharding.indexChecksum);
    const ChunkStore::Range range =
        sharding.indexAtStart ? ChunkStore::Range{0, indexBytes}
                              : ChunkStore::Range{-static_cast<std::int64_t>(indexBytes), indexBytes};
    ChunkStore::Bytes stored = m_store->readRange(key, range);
    if (std::holds_alternative<ChunkStore::Missing>(stored))
        return ChunkStore::Missing{};
    if (const auto* reason = std::get_if<QString>(&stored))
        return *reason;
    std::uint64_t bound = m_meta.chunkBytes();
    for (const ZarrCodec& codec : m_meta.codecs)
        bound = codec.encodedBound(bound);
    std::variant<ShardIndex, QString> parsed = ShardIndex::parse(
        std::get<QByteArray>(stored), chunks, sharding.indexChecksum, sharding.indexAtStart, bound);
    if (const auto* refusal = std::get_if<QString>(&parsed))
        return QStringLiteral("%1: %2").arg(key, *refusal);
    auto index = std::make_shared<const ShardIndex>(std::get<ShardIndex>(std::move(parsed)));
    const std::lock_guard lock(m_indexMutex);
    if (m_shardIndexes.size() >= kKeptShardIndexes)
        m_shardIndexes.clear();
    m_shardIndexes.emplace(key, index);
    return index;
}

std::vector<ZarrChunkReader::Chunk> ZarrChunkReader::readMany(const std::vector<GridPosition>& chunks) const {
    std::vector<Chunk> read(chunks.size(), ChunkStore::Missing{});
    if (!m_meta.sharding) {
        std::ranges::transform(chunks, read.begin(),
                               [&](const GridPosition& chunk) { return this->read(chunk); });
        return read;
    }
    std::map<QString, std::vector<std::size_t>> shards;
    for (std::size_t i = 0; i < chunks.size(); ++i)
        shards[keyOf(chunks[i])].push_back(i);
    for (const auto& [key, members] : shards) {
        auto index = shardIndex(key);
        if (std::holds_alternative<ChunkStore::Missing>(index))
            continue;
        if (const auto* reason = std::get_if<QString>(&index)) {
            for (std::size_t i : members)
                read[i] = *reason;
            continue;
        }
        std::vector<std::size_t> written;
        std::vector<ChunkStore::Range> ranges;
        for (std::size_t i : members) {
            if (const std::optional<ChunkStore::Range> range =
                    std::get<0>(index)->entry(withinShard(chunks[i]))) {
                written.push_back(i);
                ranges.push_back(*range);
            }
        }
        std::vector<ChunkStore::Bytes> stored = m_store->readRanges(key, ranges);
        for (std::size_t k = 0; k < written.size(); ++k) {
            if (auto* bytes = std::get_if<QByteArray>(&stored[k]))
                read[written[k]] = decode(std::move(*bytes));
            else if (std::holds_alternative<ChunkStore::Missing>(stored[k]))
                read[written[k]] = QStringLiteral("%1 went away while it was read").arg(key);
            else
                read[written[k]] = std::get<QString>(stored[k]);
        }
    }
    return read;
}

// The chunk's place among its shard's chunks, in C order.
std::uint64_t ZarrChunkReader::withinShard(const GridPosition& chunk) const {
    const std::vector<std::uint64_t> coordinates = gridCoordinates(chunk);
    std::uint64_t within = 0;
    for (std::size_t axis = 0; axis < m_meta.rank(); ++axis) {
        const std::uint64_t perShard = m_meta.sharding->shardShape[axis] / m_meta.chunks[axis];
        within = within * perShard + coordinates[axis] % perShard;
    }
    return within;
}
