#include "volume/zarr/OmeZarrLayout.h"

#include "volume/zarr/DirectoryStore.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

namespace {

using Opened = std::variant<OmeZarrLayout, QString>;

// A metadata document: its bytes, or nothing when the key is absent, or why it cannot be read.
std::variant<QByteArray, ChunkStore::Missing, QString> metadata(const ChunkStore& store, const QString& key) {
    return store.read(key, OmeZarrLayout::kMaxMetadataBytes);
}

QString joined(const QString& path, const QString& name) {
    return path.isEmpty() ? name : path + QLatin1Char('/') + name;
}

// The array at `path` in the given format.
std::variant<ZarrArrayMeta, QString> arrayAt(const ChunkStore& store, const QString& path, int format) {
    const QString key = joined(path, format == 3 ? QStringLiteral("zarr.json") : QStringLiteral(".zarray"));
    auto bytes = metadata(store, key);
    if (std::holds_alternative<ChunkStore::Missing>(bytes))
        return QStringLiteral("%1 is missing").arg(key);
    if (const auto* reason = std::get_if<QString>(&bytes))
        return *reason;
    std::variant<ZarrArrayMeta, QString> meta = ZarrArrayMeta::parse(std::get<QByteArray>(bytes), format);
    if (const auto* refusal = std::get_if<QString>(&meta))
        return QStringLiteral("%1: %2").arg(key, *refusal);
    return meta;
}

QJsonObject objectOf(const QByteArray& bytes) {
    return QJsonDocument::fromJson(bytes).object();
}

// The voxel size of a level that states none (OME-NGFF 0.3) from how its shape shrinks level
// 0's: 2^k where it holds ceil or floor of 1 / 2^k of level 0's voxels along an axis, as
// writers that halve do, else the plain ratio.
std::array<double, 3> scaleByShape(const OmeZarrLayout::Level& finest, const ZarrArrayMeta& array) {
    std::array<double, 3> scale = finest.scale;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const std::uint64_t size = finest.meta.shape[finest.meta.rank() - 3 + axis];
        const std::uint64_t levelSize = array.shape[array.rank() - 3 + axis];
        if (levelSize == 0 || size <= levelSize)
            continue;
        const double ratio = static_cast<double>(size) / static_cast<double>(levelSize);
        const int halvings = std::min(static_cast<int>(std::lround(std::log2(ratio))), 62);
        const std::uint64_t span = std::uint64_t{1} << halvings;
        const bool halves = levelSize == (size + span - 1) / span || levelSize == size / span;
        scale[axis] *= halves ? static_cast<double>(span) : ratio;
    }
    return scale;
}

// The levels an OME-NGFF image names, each array read and checked against the first.
Opened openImage(const ChunkStore& store, const QJsonObject& attributes, int format) {
    const QString firstPath =
        (attributes.contains(QLatin1String("ome")) ? attributes.value(QLatin1String("ome")).toObject()
                                                   : attributes)
            .value(QLatin1String("multiscales"))
            .toArray()
            .first()
            .toObject()
            .value(QLatin1String("datasets"))
            .toArray()
            .first()
            .toObject()
            .value(QLatin1String("path"))
            .toString();
    if (!DirectoryStore::isSafeKey(firstPath))
        return QStringLiteral("its dataset path \"%1\" does not lie within the store").arg(firstPath);
    std::variant<ZarrArrayMeta, QString> first = arrayAt(store, firstPath, format);
    if (const auto* refusal = std::get_if<QString>(&first))
        return *refusal;
    const std::size_t rank = std::get<ZarrArrayMeta>(first).rank();
    std::variant<OmeMultiscales, QString> image = OmeMultiscales::parse(attributes, rank);
    if (const auto* refusal = std::get_if<QString>(&image))
        return *refusal;
    OmeZarrLayout layout;
    layout.image = std::get<OmeMultiscales>(std::move(image));
    for (OmeMultiscales::Level& level : layout.image->levels) {
        std::variant<ZarrArrayMeta, QString> meta =
            layout.levels.empty() ? first : arrayAt(store, level.path, format);
        if (const auto* refusal = std::get_if<QString>(&meta))
            return *refusal;
        const ZarrArrayMeta& array = std::get<ZarrArrayMeta>(meta);
        if (array.rank() != rank || array.type != std::get<ZarrArrayMeta>(first).type)
            return QStringLiteral("its level %1 differs from level 0 in its axes or sample type")
                .arg(level.path);
        if (!level.scaled && !layout.levels.empty())
            level.scale = scaleByShape(layout.levels.front(), array);
        layout.levels.push_back({level.path, array, level.scale});
    }
    return layout;
}

Opened bareArray(std::variant<ZarrArrayMeta, QString> meta) {
    if (const auto* refusal = std::get_if<QString>(&meta))
        return *refusal;
    OmeZarrLayout layout;
    layout.levels.push_back({QString(), std::get<ZarrArrayMeta>(std::move(meta)), {1.0, 1.0, 1.0}});
    return layout;
}

} // namespace

namespace {

constexpr const char* kMetadataNames[] = {"zarr.json", ".zarray", ".zgroup", ".zattrs"};

} // namespace

bool OmeZarrLayout::isStoreFolder(const QString& folder) {
    for (const char* name : kMetadataNames)
        if (QFileInfo(folder + QLatin1Char('/') + QLatin1String(name)).isFile())
            return true;
    return false;
}

bool OmeZarrLayout::isMetadataName(const QString& fileName) {
    for (const char* name : kMetadataNames)
        if (fileName == QLatin1String(name))
            return true;
    return false;
}

std::variant<OmeZarrLayout, QString> OmeZarrLayout::open(const ChunkStore& store) {
    auto v3 = metadata(store, QStringLiteral("zarr.json"));
    if (const auto* reason = std::get_if<QString>(&v3))
        return *reason;
    if (const auto* bytes = std::get_if<QByteArray>(&v3)) {
        const QJsonObject root = objectOf(*bytes);
        const QString node = root.value(QLatin1String("node_type")).toString();
        if (node == QLatin1String("array"))
            return bareArray(ZarrArrayMeta::parse(*bytes, 3));
        const QJsonObject attributes = root.value(QLatin1String("attributes")).toObject();
        if (node != QLatin1String("group") || !OmeMultiscales::present(attributes))
            return QStringLiteral("its zarr.json describes neither an array nor an OME-NGFF image");
        return openImage(store, attributes, 3);
    }
    auto array = metadata(store, QStringLiteral(".zarray"));
    if (const auto* reason = std::get_if<QString>(&array))
        return *reason;
    if (const auto* bytes = std::get_if<QByteArray>(&array))
        return bareArray(ZarrArrayMeta::parse(*bytes, 2));
    auto attributes = metadata(store, QStringLiteral(".zattrs"));
    if (const auto* reason = std::get_if<QString>(&attributes))
        return *reason;
    const QJsonObject parsed = std::holds_alternative<QByteArray>(attributes)
                                   ? objectOf(std::get<QByteArray>(attributes))
                                   : QJsonObject();
    if (!OmeMultiscales::present(parsed))
        return QStringLiteral("it is a Zarr group without an OME-NGFF image (multiscales) or an array");
    return openImage(store, parsed, 2);
}
