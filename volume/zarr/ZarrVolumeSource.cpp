#include "volume/zarr/ZarrVolumeSource.h"

#include <algorithm>
#include <new>

ZarrVolumeSource::ZarrVolumeSource(std::shared_ptr<const ZarrChunkReader> reader, ZarrTexelMap map,
                                   std::uint64_t cacheBytes)
    : m_reader(std::move(reader)), m_map(map), m_fillTexel(m_map.texelOf(m_reader->meta().fillValue)),
      m_cacheBytes(cacheBytes), m_grid(m_reader->grid()) {}

std::optional<ZarrVolumeSource::Texels>
ZarrVolumeSource::decode(const ZarrChunkReader::GridPosition& position) const {
    ZarrChunkReader::Chunk read = m_reader->read(position);
    if (std::holds_alternative<ChunkStore::Missing>(read))
        return Texels();
    if (const auto* reason = std::get_if<QString>(&read)) {
        const std::lock_guard lock(m_mutex);
        m_unreadable = QStringLiteral("%1 (%2)").arg(m_reader->locationOf(position), *reason);
        return std::nullopt;
    }
    const QByteArray& samples = std::get<QByteArray>(read);
    const ZarrChunkReader::GridPosition& shape = m_reader->chunkShape();
    auto texels = std::make_shared<std::vector<std::uint16_t>>(shape[0] * shape[1] * shape[2]);
    m_map.convert(reinterpret_cast<const std::byte*>(samples.constData()), texels->size(), texels->data());
    return Texels(std::move(texels));
}

void ZarrVolumeSource::keep(std::uint64_t id, const std::optional<Texels>& texels) const {
    const std::lock_guard lock(m_mutex);
    const auto found = m_entries.find(id);
    if (!texels) {
        m_entries.erase(found);
        return;
    }
    Entry& entry = found->second;
    entry.decoded = true;
    entry.bytes = *texels ? (*texels)->size() * sizeof(std::uint16_t) : 0;
    m_used.push_front(id);
    entry.used = m_used.begin();
    m_heldBytes += entry.bytes;
    // The chunk just decoded stays even when it alone is over the bound.
    while (m_heldBytes > m_cacheBytes && m_used.size() > 1) {
        const auto oldest = m_entries.find(m_used.back());
        m_heldBytes -= oldest->second.bytes;
        m_entries.erase(oldest);
        m_used.pop_back();
    }
}

std::optional<ZarrVolumeSource::Texels>
ZarrVolumeSource::chunk(const ZarrChunkReader::GridPosition& position) const {
    const std::uint64_t id = (position[0] * m_grid[1] + position[1]) * m_grid[2] + position[2];
    std::promise<std::optional<Texels>> promise;
    std::unique_lock lock(m_mutex);
    if (const auto found = m_entries.find(id); found != m_entries.end()) {
        Entry& entry = found->second;
        if (entry.decoded)
            m_used.splice(m_used.begin(), m_used, entry.used);
        const std::shared_future<std::optional<Texels>> ready = entry.ready;
        lock.unlock();
        return ready.get();
    }
    m_entries.emplace(id, Entry{promise.get_future().share(), {}, 0, false});
    lock.unlock();
    std::optional<Texels> texels;
    // Whatever happens, the workers waiting for this chunk are answered.
    try {
        texels = decode(position);
    } catch (const std::bad_alloc&) {
        const std::lock_guard failed(m_mutex);
        m_unreadable =
            QStringLiteral("%1 (not enough memory to decode it)").arg(m_reader->locationOf(position));
    }
    promise.set_value(texels);
    keep(id, texels);
    return texels;
}

bool ZarrVolumeSource::readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                               std::uint16_t* out) const {
    const ZarrChunkReader::GridPosition& shape = m_reader->chunkShape();
    const std::uint64_t inSlab = (z % shape[0]) * shape[1] + y % shape[1];
    for (std::uint64_t at = x; at < x + count;) {
        const std::uint64_t within = at % shape[2];
        const std::uint64_t run = std::min(shape[2] - within, x + count - at);
        const std::optional<Texels> texels = chunk({z / shape[0], y / shape[1], at / shape[2]});
        if (!texels)
            return false;
        if (*texels)
            std::copy_n((*texels)->begin() + static_cast<std::ptrdiff_t>(inSlab * shape[2] + within), run,
                        out);
        else
            std::fill_n(out, run, m_fillTexel);
        out += run;
        at += run;
    }
    return true;
}

QString ZarrVolumeSource::unreadableFile() const {
    const std::lock_guard lock(m_mutex);
    return m_unreadable;
}
