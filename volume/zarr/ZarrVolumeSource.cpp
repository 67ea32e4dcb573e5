#include "volume/zarr/ZarrVolumeSource.h"

#include <algorithm>
#include <cmath>
#include <new>

ZarrVolumeSource::ZarrVolumeSource(std::vector<HeldLevel> levels, ZarrTexelMap map, std::uint64_t cacheBytes)
    : m_map(map), m_fillTexel(m_map.texelOf(levels.front().reader->meta().fillValue)),
      m_cacheBytes(cacheBytes) {
    std::uint64_t nextId = 0;
    for (HeldLevel& level : levels) {
        const ZarrChunkReader::GridPosition grid = level.reader->grid();
        m_levels.push_back({std::move(level.reader), level.shifts, level.resampledFrom, grid, nextId});
        nextId += grid[0] * grid[1] * grid[2];
    }
}

std::optional<ZarrVolumeSource::Texels>
ZarrVolumeSource::texelsOf(const Level& level, const ZarrChunkReader::GridPosition& position,
                           const ZarrChunkReader::Chunk& read) const {
    const ZarrChunkReader& reader = *level.reader;
    if (std::holds_alternative<ChunkStore::Missing>(read))
        return Texels();
    if (const auto* reason = std::get_if<QString>(&read)) {
        const std::lock_guard lock(m_mutex);
        m_unreadable = QStringLiteral("%1 (%2)").arg(reader.locationOf(position), *reason);
        return std::nullopt;
    }
    const QByteArray& samples = std::get<QByteArray>(read);
    const ZarrChunkReader::GridPosition& shape = reader.chunkShape();
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

std::uint64_t ZarrVolumeSource::idOf(const Level& level, const ZarrChunkReader::GridPosition& position) {
    return level.firstId + (position[0] * level.grid[1] + position[1]) * level.grid[2] + position[2];
}

void ZarrVolumeSource::noteOutOfMemory(const Level& level,
                                       const ZarrChunkReader::GridPosition& position) const {
    const std::lock_guard failed(m_mutex);
    m_unreadable =
        QStringLiteral("%1 (not enough memory to decode it)").arg(level.reader->locationOf(position));
}

std::optional<ZarrVolumeSource::Texels>
ZarrVolumeSource::chunk(std::uint32_t level, const ZarrChunkReader::GridPosition& position) const {
    const Level& held = m_levels[level];
    const std::uint64_t id = idOf(held, position);
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
        texels = texelsOf(held, position, held.reader->read(position));
    } catch (const std::bad_alloc&) {
        noteOutOfMemory(held, position);
    }
    promise.set_value(texels);
    keep(id, texels);
    return texels;
}

void ZarrVolumeSource::readAhead(std::uint32_t level, std::uint64_t x, std::uint64_t y, std::uint64_t z,
                                 std::uint64_t count, std::uint64_t rows) const {
    if (count == 0 || rows == 0)
        return;
    const Level& held = m_levels[level];
    const ZarrChunkReader::GridPosition& shape = held.reader->chunkShape();
    const ZarrChunkReader::GridPosition& size = held.reader->size();
    const auto chunkOf = [&](std::uint64_t at, std::size_t axis) {
        return std::min(at, size[axis] - 1) / shape[axis];
    };
    std::vector<ZarrChunkReader::GridPosition> wanted;
    std::vector<std::promise<std::optional<Texels>>> promises;
    {
        const std::lock_guard lock(m_mutex);
        for (std::uint64_t cy = chunkOf(y, 1); cy <= chunkOf(y + rows - 1, 1); ++cy) {
            for (std::uint64_t cx = chunkOf(x, 2); cx <= chunkOf(x + count - 1, 2); ++cx) {
                const ZarrChunkReader::GridPosition position{chunkOf(z, 0), cy, cx};
                const std::uint64_t id = idOf(held, position);
                if (m_entries.contains(id))
                    continue;
                promises.emplace_back();
                m_entries.emplace(id, Entry{promises.back().get_future().share(), {}, 0, false});
                wanted.push_back(position);
            }
        }
    }
    if (wanted.empty())
        return;
    std::vector<std::optional<Texels>> texels(wanted.size());
    // Whatever happens, the workers waiting for these chunks are answered.
    try {
        const std::vector<ZarrChunkReader::Chunk> read = held.reader->readMany(wanted);
        for (std::size_t i = 0; i < wanted.size(); ++i)
            texels[i] = texelsOf(held, wanted[i], read[i]);
    } catch (const std::bad_alloc&) {
        noteOutOfMemory(held, wanted.front());
    }
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        promises[i].set_value(texels[i]);
        keep(idOf(held, wanted[i]), texels[i]);
    }
}

bool ZarrVolumeSource::levelRow(std::uint32_t level, std::uint64_t x, std::uint64_t y, std::uint64_t z,
                                std::uint64_t count, std::uint16_t* out) const {
    const ZarrChunkReader& reader = *m_levels[level].reader;
    const ZarrChunkReader::GridPosition& shape = reader.chunkShape();
    const ZarrChunkReader::GridPosition& size = reader.size();
    y = std::min(y, size[1] - 1);
    z = std::min(z, size[0] - 1);
    const std::uint64_t inSlab = (z % shape[0]) * shape[1] + y % shape[1];
    const std::uint64_t end = std::min(x + count, size[2]);
    std::uint16_t* const first = out;
    for (std::uint64_t at = x; at < end;) {
        const std::uint64_t within = at % shape[2];
        const std::uint64_t run = std::min(shape[2] - within, end - at);
        const std::optional<Texels> texels = chunk(level, {z / shape[0], y / shape[1], at / shape[2]});
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
    if (end < x + count) {
        // Columns past a rounded-down shape: its last column, read alone when none of it was.
        std::uint16_t last = 0;
        if (out == first && !levelRow(level, size[2] - 1, y, z, 1, &last))
            return false;
        std::fill_n(out, x + count - end, out == first ? last : out[-1]);
    }
    return true;
}

bool ZarrVolumeSource::readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                               std::uint16_t* out) const {
    return levelRow(0, x, y, z, count, out);
}

bool ZarrVolumeSource::readRows(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                                std::uint64_t rows, std::uint16_t* out) const {
    readAhead(0, x, y, z, count, rows);
    return VolumeSource::readRows(x, y, z, count, rows, out);
}

bool ZarrVolumeSource::readLevelRows(std::uint32_t level, std::uint64_t x, std::uint64_t y, std::uint64_t z,
                                     std::uint64_t count, std::uint64_t rows, std::uint16_t* out) const {
    if (level == 0 || level >= m_levels.size())
        return false;
    if (m_levels[level].resampledFrom)
        return resampledRows(m_levels[level], level, x, y, z, count, rows, out);
    readAhead(level, x, y, z, count, rows);
    for (std::uint64_t row = 0; row < rows; ++row)
        if (!levelRow(level, x, y + row, z, count, out + row * count))
            return false;
    return true;
}

bool ZarrVolumeSource::resampledRows(const Level& held, std::uint32_t level, std::uint64_t x, std::uint64_t y,
                                     std::uint64_t z, std::uint64_t count, std::uint64_t rows,
                                     std::uint16_t* out) const {
    if (count == 0 || rows == 0)
        return true;
    const ZarrChunkReader::GridPosition& size = held.reader->size(); // z, y, x
    // The store's voxel under the centre of voxel `at` of the level offered, along x, y, z.
    const auto under = [&](std::uint64_t at, std::size_t axis) {
        const double centre =
            (static_cast<double>(at) + 0.5) * std::ldexp(1.0, static_cast<int>(held.shifts[axis]));
        const double voxel = std::floor(centre / (*held.resampledFrom)[axis]);
        return std::min(static_cast<std::uint64_t>(std::max(voxel, 0.0)), size[2 - axis] - 1);
    };
    const std::uint64_t from = under(x, 0);
    std::vector<std::uint16_t> row(under(x + count - 1, 0) - from + 1);
    const std::uint64_t storeZ = under(z, 2);
    readAhead(level, from, under(y, 1), storeZ, row.size(), under(y + rows - 1, 1) - under(y, 1) + 1);
    for (std::uint64_t r = 0; r < rows; ++r) {
        if (!levelRow(level, from, under(y + r, 1), storeZ, row.size(), row.data()))
            return false;
        for (std::uint64_t i = 0; i < count; ++i)
            out[r * count + i] = row[under(x + i, 0) - from];
    }
    return true;
}

QString ZarrVolumeSource::unreadableFile() const {
    const std::lock_guard lock(m_mutex);
    return m_unreadable;
}
