// Index of this file: the metadata documents (arrayMetadata, imageAttributes); the pass
// that writes one level, the finest from the volume or a coarser one as the means of the
// level before it (LevelWriter); OmeZarrWriter::write, which names the levels, writes them
// under a temporary name and renames the store when it is complete.

#include "volume/zarr/OmeZarrWriter.h"

#include "volume/zarr/DirectoryStore.h"
#include "volume/zarr/OmeZarrLayout.h"
#include "volume/zarr/ZarrChunkReader.h"
#include "volume/zarr/ZarrVolumeSource.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QtEndian>
#include <algorithm>
#include <array>
#include <vector>

namespace {

constexpr std::uint16_t kSignBit = 0x8000;
constexpr int kBloscLevel = 5;
constexpr std::uint64_t kSide = OmeZarrWriter::kChunkSide;
// What reading a written level back may keep of its decoded chunks.
constexpr std::uint64_t kReadBackCacheBytes = std::uint64_t{64} << 20;

using Size = std::array<std::uint64_t, 3>; // z, y, x

QByteArray arrayMetadata(const Size& size, bool isSigned) {
    const QJsonObject array{
        {"zarr_format", 2},
        {"shape", QJsonArray{double(size[0]), double(size[1]), double(size[2])}},
        {"chunks", QJsonArray{double(kSide), double(kSide), double(kSide)}},
        {"dtype", isSigned ? "<i2" : "<u2"},
        {"compressor",
         QJsonObject{
             {"id", "blosc"}, {"cname", "zstd"}, {"clevel", kBloscLevel}, {"shuffle", 1}, {"blocksize", 0}}},
        {"fill_value", 0},
        {"order", "C"},
        {"filters", QJsonValue()},
        {"dimension_separator", "/"},
    };
    return QJsonDocument(array).toJson();
}

QByteArray imageAttributes(const VolumeRecord& volume, const std::vector<Size>& sizes) {
    // Signed volumes are stored as their texels less 32768. Where the texels stand for samples
    // offset otherwise (a DICOM series' intercept folded into the texels), the rescale's offset
    // takes up the difference, so that the values read back are the volume's own.
    const double shift = volume.sampleOffset != 0 ? volume.sampleOffset + double{kSignBit} : 0.0;
    const double valueOffset = volume.valueOffset + shift * volume.valueScale;
    QJsonArray axes;
    for (const char* name : {"z", "y", "x"})
        axes.append(QJsonObject{{"name", name}, {"type", "space"}, {"unit", "millimeter"}});
    QJsonArray datasets;
    std::array<double, 3> scale{volume.cellspaceZ, volume.cellspaceY, volume.cellspaceX};
    for (std::size_t level = 0; level < sizes.size(); ++level) {
        if (level > 0)
            for (std::size_t axis = 0; axis < 3; ++axis)
                scale[axis] *= double(sizes[level - 1][axis]) > 1 ? 2.0 : 1.0;
        datasets.append(
            QJsonObject{{"path", QString::number(level)},
                        {"coordinateTransformations",
                         QJsonArray{QJsonObject{{"type", "scale"},
                                                {"scale", QJsonArray{scale[0], scale[1], scale[2]}}}}}});
    }
    QJsonObject image{
        {"multiscales", QJsonArray{QJsonObject{{"version", "0.4"},
                                               {"name", QFileInfo(volume.dataFile).fileName()},
                                               {"axes", axes},
                                               {"datasets", datasets},
                                               {"type", "mean"}}}},
        {"voxview", QJsonObject{{"valueScale", volume.valueScale}, {"valueOffset", valueOffset}}},
    };
    if (volume.fileWindow) {
        // The window in the stored samples' units: value = sample * scale + offset.
        const double low = volume.fileWindow->level - volume.fileWindow->width / 2.0;
        const double high = volume.fileWindow->level + volume.fileWindow->width / 2.0;
        const auto stored = [&](double value) { return (value - valueOffset) / volume.valueScale; };
        const double start = std::min(stored(low), stored(high));
        const double end = std::max(stored(low), stored(high));
        image.insert("omero",
                     QJsonObject{{"channels", QJsonArray{QJsonObject{
                                                  {"window", QJsonObject{{"start", start}, {"end", end}}},
                                              }}}});
    }
    return QJsonDocument(image).toJson();
}

std::optional<ImportRefusal> writeDocument(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return ImportRefusal{QStringLiteral("%1 cannot be written (%2).").arg(path, file.errorString())};
    return std::nullopt;
}

// One level: each row of chunks (a 64-slice, 64-row band along the whole width) is made
// from the texels of `input`, each voxel the mean of the 2 x 2 x 2 block (fewer at the edges
// and along axes not halved) below it, or the voxel itself for the finest level.
class LevelWriter {
  public:
    LevelWriter(const VolumeSource& input, const Size& inputSize, const Size& size, bool isSigned,
                QString folder)
        : m_input(input), m_inputSize(inputSize), m_size(size), m_isSigned(isSigned),
          m_folder(std::move(folder)) {
        for (std::size_t axis = 0; axis < 3; ++axis)
            m_factor[axis] = (inputSize[axis] + size[axis] - 1) / size[axis];
    }

    std::optional<ImportRefusal> writeBand(std::uint64_t cz, std::uint64_t cy) const {
        const std::uint64_t depth = std::min(kSide, m_size[0] - cz * kSide);
        const std::uint64_t rows = std::min(kSide, m_size[1] - cy * kSide);
        const std::uint64_t width = m_size[2];
        std::vector<std::uint32_t> sums(depth * rows * width, 0);
        std::vector<std::uint8_t> counts(depth * rows * width, 0);
        std::vector<std::uint16_t> row(m_inputSize[2]);
        const std::uint64_t zEnd = std::min(m_inputSize[0], (cz * kSide + depth) * m_factor[0]);
        const std::uint64_t yEnd = std::min(m_inputSize[1], (cy * kSide + rows) * m_factor[1]);
        for (std::uint64_t z = cz * kSide * m_factor[0]; z < zEnd; ++z)
            for (std::uint64_t y = cy * kSide * m_factor[1]; y < yEnd; ++y) {
                if (!m_input.readRow(0, y, z, row.size(), row.data()))
                    return ImportRefusal{QStringLiteral("The volume's voxels cannot be read (%1).")
                                             .arg(m_input.unreadableFile())};
                const std::uint64_t out =
                    ((z / m_factor[0] - cz * kSide) * rows + (y / m_factor[1] - cy * kSide)) * width;
                for (std::uint64_t x = 0; x < row.size(); ++x) {
                    sums[out + x / m_factor[2]] += row[x];
                    ++counts[out + x / m_factor[2]];
                }
            }
        for (std::uint64_t cx = 0; cx * kSide < width; ++cx)
            if (std::optional<ImportRefusal> refusal = writeChunk(cz, cy, cx, depth, rows, sums, counts))
                return refusal;
        return std::nullopt;
    }

    std::uint64_t bands() const { return chunksAlong(0) * chunksAlong(1); }
    std::uint64_t chunksAlong(std::size_t axis) const { return (m_size[axis] + kSide - 1) / kSide; }

  private:
    std::optional<ImportRefusal> writeChunk(std::uint64_t cz, std::uint64_t cy, std::uint64_t cx,
                                            std::uint64_t depth, std::uint64_t rows,
                                            const std::vector<std::uint32_t>& sums,
                                            const std::vector<std::uint8_t>& counts) const {
        // Padding past the volume's edge holds the fill value, stored sample 0.
        const std::uint16_t fill = m_isSigned ? kSignBit : 0;
        std::vector<std::uint16_t> texels(kSide * kSide * kSide, fill);
        const std::uint64_t columns = std::min(kSide, m_size[2] - cx * kSide);
        bool allFill = true;
        for (std::uint64_t z = 0; z < depth; ++z)
            for (std::uint64_t y = 0; y < rows; ++y)
                for (std::uint64_t x = 0; x < columns; ++x) {
                    const std::uint64_t at = (z * rows + y) * m_size[2] + cx * kSide + x;
                    const auto mean = static_cast<std::uint16_t>((sums[at] + counts[at] / 2) / counts[at]);
                    texels[(z * kSide + y) * kSide + x] = mean;
                    allFill = allFill && mean == fill;
                }
        // A chunk never written reads as the fill value.
        if (allFill)
            return std::nullopt;
        QByteArray raw(static_cast<qsizetype>(texels.size() * sizeof(std::uint16_t)), Qt::Uninitialized);
        for (std::size_t i = 0; i < texels.size(); ++i)
            qToLittleEndian<std::uint16_t>(m_isSigned ? texels[i] ^ kSignBit : texels[i],
                                           raw.data() + i * sizeof(std::uint16_t));
        const QString folder = QStringLiteral("%1/%2/%3").arg(m_folder).arg(cz).arg(cy);
        if (!QDir().mkpath(folder))
            return ImportRefusal{QStringLiteral("The folder %1 cannot be made.").arg(folder)};
        QFile file(QStringLiteral("%1/%2").arg(folder).arg(cx));
        const QByteArray compressed = ZarrCodec::bloscZstd(raw, sizeof(std::uint16_t));
        if (compressed.isEmpty() || !file.open(QIODevice::WriteOnly) ||
            file.write(compressed) != compressed.size())
            return ImportRefusal{
                QStringLiteral("%1 cannot be written (%2).").arg(file.fileName(), file.errorString())};
        return std::nullopt;
    }

    const VolumeSource& m_input;
    Size m_inputSize;
    Size m_size;
    Size m_factor{};
    bool m_isSigned;
    QString m_folder;
};

// The levels' sizes: halving every axis longer than one voxel until one chunk holds the level.
std::vector<Size> levelSizes(const Size& finest) {
    std::vector<Size> sizes{finest};
    while (std::any_of(sizes.back().begin(), sizes.back().end(), [](std::uint64_t n) { return n > kSide; })) {
        Size next = sizes.back();
        for (std::uint64_t& n : next)
            n = (n + 1) / 2;
        sizes.push_back(next);
    }
    return sizes;
}

// A level just written, read back as texels for the next; `metadata`: its .zarray.
std::shared_ptr<const ZarrVolumeSource> readBack(const QString& folder, const QString& level,
                                                 const QByteArray& metadata, bool isSigned) {
    auto reader =
        std::make_shared<const ZarrChunkReader>(std::make_shared<const DirectoryStore>(folder), level,
                                                std::get<ZarrArrayMeta>(ZarrArrayMeta::parse(metadata, 2)));
    return std::make_shared<const ZarrVolumeSource>(
        std::vector<ZarrVolumeSource::HeldLevel>{{reader, {}}},
        ZarrTexelMap{isSigned ? SampleType::Int16 : SampleType::UInt16, false, {}}, kReadBackCacheBytes);
}

} // namespace

std::optional<ImportRefusal> OmeZarrWriter::write(const VolumeRecord& volume, const QString& folder,
                                                  const ImportProgress& progress) {
    const QFileInfo target(folder);
    if (target.exists() && !(target.isDir() && OmeZarrLayout::isStoreFolder(folder)))
        return ImportRefusal{QStringLiteral("%1 exists and is not an OME-Zarr store; it is not replaced.")
                                 .arg(target.fileName())};
    const std::shared_ptr<const VolumeSource> source =
        volume.source ? volume.source
                      : std::make_shared<const DecodedVolumeSource>(volume.data, volume.width, volume.height);
    if (!source ||
        (!volume.source && volume.data.size() < std::size_t{volume.width} * volume.height * volume.depth * 2))
        return ImportRefusal{QStringLiteral("The volume has no voxels to write.")};
    const bool isSigned = volume.sampleOffset != 0;
    const std::vector<Size> sizes = levelSizes({volume.depth, volume.height, volume.width});

    const QString partial = target.absolutePath() + QStringLiteral("/.%1.partial").arg(target.fileName());
    QDir(partial).removeRecursively();
    const auto giveUp = [&](ImportRefusal refusal) {
        QDir(partial).removeRecursively();
        return refusal;
    };
    std::uint64_t totalBands = 0;
    for (const Size& size : sizes)
        totalBands += ((size[0] + kSide - 1) / kSide) * ((size[1] + kSide - 1) / kSide);
    std::uint64_t bandsDone = 0;
    std::shared_ptr<const VolumeSource> input = source;
    for (std::size_t level = 0; level < sizes.size(); ++level) {
        const QString name = QString::number(level);
        if (!QDir().mkpath(partial + '/' + name))
            return giveUp({QStringLiteral("The folder %1 cannot be made.").arg(partial)});
        const QByteArray metadata = arrayMetadata(sizes[level], isSigned);
        if (std::optional<ImportRefusal> refusal = writeDocument(partial + '/' + name + "/.zarray", metadata))
            return giveUp(*refusal);
        const LevelWriter writer(*input, level == 0 ? sizes[0] : sizes[level - 1], sizes[level], isSigned,
                                 partial + '/' + name);
        for (std::uint64_t cz = 0; cz < writer.chunksAlong(0); ++cz)
            for (std::uint64_t cy = 0; cy < writer.chunksAlong(1); ++cy) {
                if (progress.stopRequested())
                    return giveUp(cancelledImport());
                if (std::optional<ImportRefusal> refusal = writer.writeBand(cz, cy))
                    return giveUp(*refusal);
                progress.report(double(++bandsDone) / double(totalBands));
            }
        input = readBack(partial, name, metadata, isSigned);
    }
    // The group's metadata last: until it is there, nothing reads the folder as an image.
    for (const auto& [name, bytes] :
         {std::pair{".zattrs", imageAttributes(volume, sizes)},
          std::pair{".zgroup", QJsonDocument(QJsonObject{{"zarr_format", 2}}).toJson()}})
        if (std::optional<ImportRefusal> refusal = writeDocument(partial + '/' + name, bytes))
            return giveUp(*refusal);
    if (target.exists() && !QDir(folder).removeRecursively())
        return giveUp({QStringLiteral("The store at %1 cannot be replaced.").arg(folder)});
    if (!QDir().rename(partial, folder))
        return giveUp({QStringLiteral("The store cannot be renamed to %1.").arg(folder)});
    return std::nullopt;
}
