#include "volume/zarr/ShardIndex.h"

#include "volume/zarr/ZarrCodec.h"

#include <QtEndian>
#include <limits>

namespace {

constexpr std::uint64_t kNoChunk = std::numeric_limits<std::uint64_t>::max();

} // namespace

std::uint64_t ShardIndex::bytes(std::uint64_t chunks, bool checksum) {
    return chunks * kEntryBytes + (checksum ? kChecksumBytes : 0);
}

std::variant<ShardIndex, QString> ShardIndex::parse(const QByteArray& index, std::uint64_t chunks,
                                                    bool checksum, bool indexAtStart,
                                                    std::uint64_t maxChunkBytes) {
    const std::uint64_t expected = bytes(chunks, checksum);
    if (static_cast<std::uint64_t>(index.size()) != expected)
        return QStringLiteral("a shard index holds %1 bytes where %2 chunks need %3")
            .arg(index.size())
            .arg(chunks)
            .arg(expected);
    const std::uint64_t pairs = chunks * kEntryBytes;
    if (checksum && qFromLittleEndian<std::uint32_t>(index.constData() + pairs) !=
                        ZarrCodec::crc32c(index.constData(), static_cast<std::size_t>(pairs)))
        return QStringLiteral("a shard index's crc32c checksum does not match");
    ShardIndex parsed;
    parsed.m_entries.reserve(static_cast<std::size_t>(chunks));
    for (std::uint64_t chunk = 0; chunk < chunks; ++chunk) {
        const char* at = index.constData() + chunk * kEntryBytes;
        const auto offset = qFromLittleEndian<std::uint64_t>(at);
        const auto length = qFromLittleEndian<std::uint64_t>(at + sizeof(std::uint64_t));
        if (offset == kNoChunk && length == kNoChunk) {
            parsed.m_entries.push_back({-1, 0});
            continue;
        }
        if (length == 0 || length > maxChunkBytes ||
            offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - length ||
            (indexAtStart && offset < expected))
            return QStringLiteral("chunk %1 of a shard lies at %2 bytes, %3 long, which cannot be")
                .arg(chunk)
                .arg(offset)
                .arg(length);
        parsed.m_entries.push_back({static_cast<std::int64_t>(offset), length});
    }
    return parsed;
}

std::optional<ChunkStore::Range> ShardIndex::entry(std::uint64_t chunk) const {
    if (chunk >= m_entries.size() || m_entries[chunk].offset < 0)
        return std::nullopt;
    return m_entries[chunk];
}
