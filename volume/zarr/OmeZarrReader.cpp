// Index of this file: the range of wide samples from the coarsest level (coarseRange,
// rescaleFor); spacing and notes from the OME-NGFF image (spacingOf, levelNotes); the coarse
// levels the brick pool takes from the store (halvesAlong, heldLevels); OmeZarrReader::read.

#include "volume/zarr/OmeZarrReader.h"

#include "volume/core/VolumeSize.h"
#include "volume/samples/SampleTexels.h"
#include "volume/zarr/OmeZarrLayout.h"
#include "volume/zarr/ZarrVolumeSource.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The values 16 bits keep exactly: an integer range no wider than this needs no rescale.
constexpr double kTexelSpan = 65535.0;
// The most chunks of the coarsest level read for the range of wide samples.
constexpr std::uint64_t kMostScannedChunks = std::uint64_t{1} << 16;

struct Range {
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();

    void add(double value) {
        if (!std::isfinite(value))
            return;
        low = std::min(low, value);
        high = std::max(high, value);
    }
};

// The finite range of every sample of a level, chunk by chunk (never the level whole).
ImportResult<Range> coarseRange(const ZarrChunkReader& reader, const ZarrTexelMap& map,
                                const ImportProgress& progress) {
    const ZarrChunkReader::GridPosition grid = reader.grid();
    const ZarrChunkReader::GridPosition& shape = reader.chunkShape();
    const ZarrChunkReader::GridPosition& size = reader.size();
    const std::size_t bytes = sampleTypeBytes(map.type);
    const double chunks = static_cast<double>(grid[0] * grid[1] * grid[2]);
    Range range;
    std::uint64_t done = 0;
    for (std::uint64_t cz = 0; cz < grid[0]; ++cz)
        for (std::uint64_t cy = 0; cy < grid[1]; ++cy)
            for (std::uint64_t cx = 0; cx < grid[2]; ++cx) {
                if (progress.stopRequested())
                    return cancelledImport();
                const ZarrChunkReader::Chunk chunk = reader.read({cz, cy, cx});
                if (const auto* reason = std::get_if<QString>(&chunk))
                    return ImportRefusal{
                        QStringLiteral("%1: %2").arg(reader.locationOf({cz, cy, cx}), *reason)};
                if (std::holds_alternative<ChunkStore::Missing>(chunk)) {
                    range.add(reader.meta().fillValue);
                } else {
                    // Only the samples inside the array: an edge chunk's padding is not data.
                    const auto* samples =
                        reinterpret_cast<const std::byte*>(std::get<QByteArray>(chunk).constData());
                    const std::uint64_t depth = std::min(shape[0], size[0] - cz * shape[0]);
                    const std::uint64_t rows = std::min(shape[1], size[1] - cy * shape[1]);
                    const std::uint64_t columns = std::min(shape[2], size[2] - cx * shape[2]);
                    for (std::uint64_t z = 0; z < depth; ++z)
                        for (std::uint64_t y = 0; y < rows; ++y)
                            for (std::uint64_t x = 0; x < columns; ++x)
                                range.add(map.value(samples + ((z * shape[1] + y) * shape[2] + x) * bytes));
                }
                progress.report(static_cast<double>(++done) / chunks);
            }
    return range;
}

// The map of wide samples into 16 bits: whole numbers spanning at most 65536 values keep them
// exactly; anything else fills the texel range.
ImportResult<ZarrTexelMap> rescaleFor(const OmeZarrLayout& layout, std::shared_ptr<const ChunkStore> store,
                                      ZarrTexelMap map, QStringList& notes, const ImportProgress& progress) {
    const OmeZarrLayout::Level& coarsest = layout.levels.back();
    const ZarrChunkReader reader(std::move(store), coarsest.path, coarsest.meta);
    const ZarrChunkReader::GridPosition grid = reader.grid();
    // Each side is checked first: the product of three sides of 2^31 chunks overflows.
    if (std::max({grid[0], grid[1], grid[2]}) > kMostScannedChunks ||
        grid[0] * grid[1] * grid[2] > kMostScannedChunks)
        return ImportRefusal{
            QStringLiteral("Its coarsest level has more than %1 chunks, too many to scan for the "
                           "range of its %2 samples.")
                .arg(kMostScannedChunks)
                .arg(sampleTypeName(map.type))};
    ImportResult<Range> scanned = coarseRange(reader, map, progress);
    if (const auto* refusal = std::get_if<ImportRefusal>(&scanned))
        return *refusal;
    const Range range = std::get<Range>(scanned);
    if (!std::isfinite(range.low))
        return ImportRefusal{QStringLiteral("Its coarsest level holds no finite sample.")};
    const bool integers = map.type == SampleType::UInt32 || map.type == SampleType::Int32;
    const bool exact = integers && range.high - range.low <= kTexelSpan;
    map.rescale = LinearRescale::forRange(range.low, exact ? range.low + kTexelSpan : range.high);
    notes << QStringLiteral(
                 "Its %1 samples are shown in 16 bits by the range %2 ... %3 of its coarsest level (%4); "
                 "finer samples beyond it show at its ends.")
                 .arg(sampleTypeName(map.type))
                 .arg(range.low)
                 .arg(range.high)
                 .arg(layout.levels.size() > 1 ? coarsest.path : QStringLiteral("the only one"));
    return map;
}

struct Spacing {
    std::array<float, 3> millimetres{1.0f, 1.0f, 1.0f}; // x, y, z
};

Spacing spacingOf(const OmeZarrLayout& layout, QStringList& notes) {
    Spacing spacing;
    if (!layout.image) {
        notes << QStringLiteral("The store is a bare array without voxel sizes; 1.0 stands in.");
        return spacing;
    }
    const QString unit = layout.image->spaceUnit;
    const std::optional<double> perUnit = OmeMultiscales::millimetresPer(unit);
    if (!perUnit)
        notes << (unit.isEmpty()
                      ? QStringLiteral("Its axes name no unit; voxel sizes are taken as millimetres.")
                      : QStringLiteral("Its unit \"%1\" is not a length; voxel sizes are taken as "
                                       "millimetres.")
                            .arg(unit));
    const std::array<double, 3>& scale = layout.levels.front().scale;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const double millimetres = scale[2 - axis] * perUnit.value_or(1.0);
        if (std::isfinite(millimetres) && millimetres >= std::numeric_limits<float>::min() &&
            millimetres <= std::numeric_limits<float>::max())
            spacing.millimetres[axis] = static_cast<float>(millimetres);
        else
            notes << QStringLiteral("Its voxel size %1 along %2 cannot be used; 1.0 stands in.")
                         .arg(scale[2 - axis])
                         .arg(QLatin1Char("xyz"[axis]));
    }
    return spacing;
}

QString triple(const std::array<double, 3>& values) {
    return QStringLiteral("%1 x %2 x %3").arg(values[2]).arg(values[1]).arg(values[0]);
}

void levelNotes(const OmeZarrLayout& layout, QStringList& notes) {
    if (!layout.image)
        return;
    const OmeMultiscales& image = *layout.image;
    if (!image.leadingAxes.isEmpty())
        notes << QStringLiteral("The first point of its axes %1 is shown.")
                     .arg(image.leadingAxes.join(QStringLiteral(", ")));
    if (image.translation)
        notes << QStringLiteral("It is placed at %1 %2 (x, y, z); the view shows it from its first voxel.")
                     .arg(triple(*image.translation), image.spaceUnit);
    const std::array<double, 3>& finest = layout.levels.front().scale;
    QStringList factors;
    for (std::size_t level = 1; level < layout.levels.size(); ++level) {
        const std::array<double, 3>& scale = layout.levels[level].scale;
        factors << triple({scale[0] / finest[0], scale[1] / finest[1], scale[2] / finest[2]});
    }
    if (!factors.isEmpty())
        notes << QStringLiteral("It holds %1 levels of detail, downsampled by %2 (x, y, z).")
                     .arg(layout.levels.size())
                     .arg(factors.join(QStringLiteral("; ")));
}

// How level n of the image stands to level 0 along one axis: how many times it halves it, as
// the brick pool's levels do, k, with a scale 2^k times level 0's, ceil(size / 2^k) or
// floor(size / 2^k) voxels (the rounded-down shape lacks the last voxel of an odd axis, which
// the source repeats), and voxels centred on the 2^k voxels of level 0 each covers; or, for a
// factor f that is no power of two (3, say), the store's factor itself and the halvings of the
// next coarser power of two, its shape size / f rounded either way. A store whose levels name
// no translation is taken at its word that they are such means, as most writers leave the
// shift of a mean's centre unsaid; one that places a level's first voxel on level 0's (every
// second voxel taken) does not match. An axis of one voxel stays one voxel. Nothing when the
// level is none of these (finer than level 0, or a shape that does not fit).
struct AxisLevel {
    std::uint32_t halvings = 0;
    std::optional<double> factor; // where it is no power of two
};

std::optional<AxisLevel> levelAlong(const OmeZarrLayout& layout, std::size_t n, std::size_t axis,
                                    std::uint64_t size, std::uint64_t levelSize) {
    const OmeMultiscales::Level& finest = layout.image->levels.front();
    const OmeMultiscales::Level& level = layout.image->levels[n];
    const double factor = level.scale[axis] / finest.scale[axis];
    const auto near = [](double a, double b) { return std::abs(a - b) <= 1e-6 * std::max(1.0, std::abs(b)); };
    if (!std::isfinite(factor) || factor < 0.75 || factor > std::ldexp(1.0, 31))
        return std::nullopt;
    AxisLevel along{static_cast<std::uint32_t>(std::lround(std::log2(factor))), std::nullopt};
    double span = std::ldexp(1.0, static_cast<int>(along.halvings));
    if (!near(factor, span)) {
        if (factor < 1.0)
            return std::nullopt;
        along = {static_cast<std::uint32_t>(std::ceil(std::log2(factor))), factor};
        span = factor;
    }
    if (size == 1)
        return levelSize == 1 ? std::optional(along) : std::nullopt;
    const double shrunk = static_cast<double>(size) / span;
    if (static_cast<double>(levelSize) != std::ceil(shrunk) &&
        (static_cast<double>(levelSize) != std::floor(shrunk) || levelSize == 0))
        return std::nullopt;
    if (!finest.translation && !level.translation)
        return along;
    const double shift = (level.translation ? (*level.translation)[axis] : 0.0) -
                         (finest.translation ? (*finest.translation)[axis] : 0.0);
    return near(shift, (span - 1.0) / 2.0 * finest.scale[axis]) ? std::optional(along) : std::nullopt;
}

// Level 0 and the image's coarse levels that the brick pool can take in place of its own
// means, from level 1 up to the first that does not halve some axes of the one before and
// keep the others (no coarser than the one before, or a shape that does not fit): that one
// and those after it are left out. A store downsampled only in x and y keeps z whole; one
// downsampled by 3 offers its levels as the next coarser halvings.
std::vector<ZarrVolumeSource::HeldLevel> heldLevels(const OmeZarrLayout& layout,
                                                    const std::shared_ptr<const ChunkStore>& store,
                                                    std::shared_ptr<const ZarrChunkReader> finest) {
    const ZarrChunkReader::GridPosition size = finest->size();
    std::vector<ZarrVolumeSource::HeldLevel> held{{std::move(finest), {}}};
    if (!layout.image)
        return held;
    for (std::size_t n = 1; n < layout.levels.size() && n < 32; ++n) {
        const OmeZarrLayout::Level& level = layout.levels[n];
        auto reader = std::make_shared<const ZarrChunkReader>(store, level.path, level.meta);
        const VolumeSource::LevelShifts& before = held.back().shifts;
        VolumeSource::LevelShifts shifts{};
        std::array<double, 3> factors{};
        bool coarser = false;
        bool resampled = false;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            // The reader's sizes run z, y, x; the shifts x, y, z.
            const std::optional<AxisLevel> along =
                levelAlong(layout, n, axis, size[axis], reader->size()[axis]);
            if (!along || along->halvings < before[2 - axis])
                return held;
            shifts[2 - axis] = along->halvings;
            factors[2 - axis] = along->factor.value_or(std::ldexp(1.0, static_cast<int>(along->halvings)));
            resampled = resampled || along->factor.has_value();
            coarser = coarser || along->halvings > before[2 - axis];
        }
        if (!coarser)
            return held;
        held.push_back({std::move(reader), shifts, resampled ? std::optional(factors) : std::nullopt});
    }
    return held;
}

} // namespace

ImportResult<VolumeRecord> OmeZarrReader::read(std::shared_ptr<const ChunkStore> store,
                                               const ImportOptions& options, const ImportProgress& progress) {
    const QString name = store->displayName();
    std::variant<OmeZarrLayout, QString> opened = OmeZarrLayout::open(*store);
    if (const auto* refusal = std::get_if<QString>(&opened))
        return ImportRefusal{QStringLiteral("%1 cannot be read as OME-Zarr: %2.").arg(name, *refusal)};
    const OmeZarrLayout& layout = std::get<OmeZarrLayout>(opened);
    const OmeZarrLayout::Level& finest = layout.levels.front();
    auto reader = std::make_shared<const ZarrChunkReader>(store, finest.path, finest.meta);
    const ZarrChunkReader::GridPosition& size = reader->size();
    if (std::optional<ImportRefusal> refusal =
            refuseVolumeShape(static_cast<std::int64_t>(size[2]), static_cast<std::int64_t>(size[1]),
                              static_cast<std::int64_t>(size[0])))
        return ImportRefusal{QStringLiteral("%1: %2").arg(name, refusal->reason)};

    VolumeRecord record;
    ZarrTexelMap map{finest.meta.type, finest.meta.bigEndian, {}};
    if (!isTextureSampleType(map.type)) {
        ImportResult<ZarrTexelMap> rescaled = rescaleFor(layout, store, map, record.notes, progress);
        if (const auto* refusal = std::get_if<ImportRefusal>(&rescaled))
            return ImportRefusal{QStringLiteral("%1: %2").arg(name, refusal->reason)};
        map = std::get<ZarrTexelMap>(rescaled);
        record.valueScale = map.rescale.scale;
        record.valueOffset = map.rescale.offset;
    }
    record.sampleOffset = texelSampleOffset(map.type);
    if (layout.image && layout.image->rescale && isTextureSampleType(map.type)) {
        record.valueScale = layout.image->rescale->scale;
        record.valueOffset = layout.image->rescale->offset;
    }
    const Spacing spacing = spacingOf(layout, record.notes);
    levelNotes(layout, record.notes);
    if (layout.image && layout.image->window) {
        // The omero window is in the stored samples' values, which voxview's own rescale maps
        // to the file's.
        const bool rescaled = layout.image->rescale && isTextureSampleType(map.type);
        const double scale = rescaled ? layout.image->rescale->scale : 1.0;
        const double offset = rescaled ? layout.image->rescale->offset : 0.0;
        const double start = layout.image->window->start * scale + offset;
        const double end = layout.image->window->end * scale + offset;
        record.fileWindow = VolumeRecord::Window{start / 2.0 + end / 2.0, std::abs(end - start)};
    }
    record.format = QStringLiteral("ome-zarr");
    record.type = sampleTypeName(map.type);
    record.dimension = 3;
    record.width = static_cast<std::uint32_t>(size[2]);
    record.height = static_cast<std::uint32_t>(size[1]);
    record.depth = static_cast<std::uint32_t>(size[0]);
    record.cellspaceX = spacing.millimetres[0];
    record.cellspaceY = spacing.millimetres[1];
    record.cellspaceZ = spacing.millimetres[2];
    record.encoding = finest.meta.codecNames();
    record.dataFile = name;
    record.source = std::make_shared<const ZarrVolumeSource>(heldLevels(layout, store, reader), map,
                                                             options.ramBudgetBytes / kCacheShareOfBudget);
    progress.report(1.0);
    return record;
}
