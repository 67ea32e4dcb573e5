// Feeds invented stores to the Zarr reader, from memory: the first byte chooses what the rest
// is. 0: a format-2 array (".zarray", a NUL, then the bytes of chunk 0.0.0); 1: a format-3
// array (zarr.json, a NUL, then chunk or shard c/0/0/0); 2: OME-NGFF attributes (.zattrs)
// over a fixed small array; 3: a shard index of 4 chunks, checksummed or not. Any input is
// read or refused with a reason, level 0 reads row by row or fails the row, and a shard
// index hands out only ranges that fit the bounds it was given.

#include "ImportPromises.h"
#include "volume/zarr/ChunkStore.h"
#include "volume/zarr/OmeZarrReader.h"
#include "volume/zarr/ShardIndex.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace {

// The most voxels of a fuzzed store that are read row by row: more would only take longer.
constexpr std::uint64_t kMostReadVoxels = 1 << 16;
constexpr std::uint64_t kIndexChunks = 4;
constexpr std::uint64_t kMostChunkBytes = 4096;

class MemoryStore final : public ChunkStore {
  public:
    std::map<QString, QByteArray> values;

    Bytes read(const QString& key, std::uint64_t maxBytes) const override {
        const auto found = values.find(key);
        if (found == values.end())
            return Missing{};
        if (static_cast<std::uint64_t>(found->second.size()) > maxBytes)
            return QStringLiteral("too long");
        return found->second;
    }
    Bytes readRange(const QString& key, Range range) const override {
        const auto found = values.find(key);
        if (found == values.end())
            return Missing{};
        const auto size = static_cast<std::uint64_t>(found->second.size());
        const std::uint64_t length =
            range.offset < 0 ? static_cast<std::uint64_t>(-(range.offset + 1)) + 1 : range.length;
        const std::uint64_t offset =
            range.offset < 0 ? size - std::min(size, length) : static_cast<std::uint64_t>(range.offset);
        if (offset > size || length > size - offset)
            return QStringLiteral("short");
        return found->second.mid(static_cast<qsizetype>(offset), static_cast<qsizetype>(length));
    }
    QString displayName() const override { return QStringLiteral("memory"); }
};

void readStore(std::shared_ptr<const MemoryStore> store) {
    const ImportResult<VolumeRecord> read = OmeZarrReader::read(store, fuzzReadOptions(), {});
    if (const auto* refusal = std::get_if<ImportRefusal>(&read)) {
        checkPromise(!refusal->reason.isEmpty(), "a refusal gives its reason");
        return;
    }
    const VolumeRecord& record = std::get<VolumeRecord>(read);
    checkPromise(record.width > 0 && record.height > 0 && record.depth > 0 && record.source, "a lazy volume");
    checkPromise(std::isfinite(record.valueScale) && record.valueScale != 0.0 &&
                     std::isfinite(record.valueOffset),
                 "the value map is finite and not flat");
    for (const float spacing : {record.cellspaceX, record.cellspaceY, record.cellspaceZ})
        checkPromise(std::isfinite(spacing) && spacing > 0.0f, "the voxel spacing is positive and finite");
    if (record.fileWindow)
        checkPromise(std::isfinite(record.fileWindow->level) && record.fileWindow->width > 0.0 &&
                         std::isfinite(record.fileWindow->width),
                     "the file's window is finite and has a width");
    if (std::uint64_t{record.width} * record.height * record.depth > kMostReadVoxels)
        return;
    std::vector<std::uint16_t> row(record.width);
    for (std::uint32_t z = 0; z < record.depth; ++z)
        for (std::uint32_t y = 0; y < record.height; ++y)
            if (!record.source->readRow(0, y, z, record.width, row.data()))
                checkPromise(!record.source->unreadableFile().isEmpty(), "a failed row names its chunk");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const QByteArray rest(reinterpret_cast<const char*>(data) + 1, static_cast<qsizetype>(size - 1));
    const qsizetype split = rest.indexOf('\0');
    const QByteArray metadata = split < 0 ? rest : rest.left(split);
    const QByteArray chunk = split < 0 ? QByteArray() : rest.mid(split + 1);
    auto store = std::make_shared<MemoryStore>();
    switch (data[0] % 4) {
    case 0:
        store->values = {{".zarray", metadata}, {"0.0.0", chunk}};
        break;
    case 1:
        store->values = {{"zarr.json", metadata}, {"c/0/0/0", chunk}};
        break;
    case 2:
        store->values = {{".zattrs", metadata},
                         {"0/.zarray", R"({"zarr_format":2,"shape":[2,3,4],"chunks":[2,3,4],"dtype":"<u2",)"
                                       R"("compressor":null,"fill_value":0,"order":"C","filters":null})"},
                         {"0/0.0.0", chunk}};
        break;
    default: {
        const bool checksum = data[0] & 4;
        const std::variant<ShardIndex, QString> index =
            ShardIndex::parse(rest, kIndexChunks, checksum, data[0] & 8, kMostChunkBytes);
        if (const auto* parsed = std::get_if<ShardIndex>(&index))
            for (std::uint64_t i = 0; i < kIndexChunks; ++i)
                if (const std::optional<ChunkStore::Range> range = parsed->entry(i))
                    checkPromise(range->offset >= 0 && range->length > 0 && range->length <= kMostChunkBytes,
                                 "a chunk's range lies within the bounds");
        return 0;
    }
    }
    readStore(store);
    return 0;
}
