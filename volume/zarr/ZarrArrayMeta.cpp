// Index of this file: reading JSON numbers and shapes safely (count, counts); the sample
// types of both formats (typeOfV2, typeOfV3); the fill value; the v2 compressor and the v3
// codec chain (codecOf, parseV3Codecs, with sharding); ZarrArrayMeta::parse.

#include "volume/zarr/ZarrArrayMeta.h"

#include "volume/core/VolumeSize.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <limits>

namespace {

using Parsed = std::variant<ZarrArrayMeta, QString>;

// The largest length any axis may have: one coordinate of the volume's index type.
constexpr double kMaxAxisLength = static_cast<double>(kMaxVolumeSide);

// A whole number in 1 ... kMaxAxisLength, or nothing.
std::optional<std::uint64_t> count(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number < 1.0 || number > kMaxAxisLength || std::floor(number) != number)
        return std::nullopt;
    return static_cast<std::uint64_t>(number);
}

std::optional<std::vector<std::uint64_t>> counts(const QJsonValue& value, std::size_t rank) {
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.isEmpty() ||
        static_cast<std::size_t>(array.size()) > ZarrArrayMeta::kMaxRank ||
        (rank != 0 && static_cast<std::size_t>(array.size()) != rank))
        return std::nullopt;
    std::vector<std::uint64_t> out;
    for (const QJsonValue& item : array) {
        const std::optional<std::uint64_t> n = count(item);
        if (!n)
            return std::nullopt;
        out.push_back(*n);
    }
    return out;
}

std::optional<SampleType> typeNamed(const QString& name) {
    static const std::pair<const char*, SampleType> kTypes[] = {
        {"uint8", SampleType::UInt8},     {"int8", SampleType::Int8},       {"uint16", SampleType::UInt16},
        {"int16", SampleType::Int16},     {"uint32", SampleType::UInt32},   {"int32", SampleType::Int32},
        {"float32", SampleType::Float32}, {"float64", SampleType::Float64},
    };
    for (const auto& [text, type] : kTypes)
        if (name == QLatin1String(text))
            return type;
    return std::nullopt;
}

// "<u2", ">f4", "|u1": byte order, kind and size.
std::optional<SampleType> typeOfV2(const QString& dtype, bool& bigEndian) {
    if (dtype.size() != 3 || !QStringLiteral("<>|").contains(dtype[0]))
        return std::nullopt;
    bigEndian = dtype[0] == QLatin1Char('>');
    const int bytes = dtype[2].digitValue();
    const QChar kind = dtype[1];
    const QString bits = QString::number(bytes * 8);
    if (kind == QLatin1Char('u'))
        return typeNamed(QStringLiteral("uint") + bits);
    if (kind == QLatin1Char('i'))
        return typeNamed(QStringLiteral("int") + bits);
    if (kind == QLatin1Char('f') && bytes >= 4)
        return typeNamed(QStringLiteral("float") + bits);
    return std::nullopt;
}

// A number, or the names both formats give to the special floating-point values.
std::optional<double> fillOf(const QJsonValue& value) {
    if (value.isNull() || value.isUndefined())
        return 0.0;
    if (value.isDouble())
        return value.toDouble();
    if (value.isBool())
        return value.toBool() ? 1.0 : 0.0;
    const QString text = value.toString();
    if (text == QLatin1String("NaN"))
        return std::numeric_limits<double>::quiet_NaN();
    if (text == QLatin1String("Infinity"))
        return std::numeric_limits<double>::infinity();
    if (text == QLatin1String("-Infinity"))
        return -std::numeric_limits<double>::infinity();
    return std::nullopt;
}

std::optional<ZarrCodec> codecNamed(const QString& name) {
    static const std::pair<const char*, ZarrCodec::Kind> kKinds[] = {
        {"blosc", ZarrCodec::Kind::Blosc},   {"zstd", ZarrCodec::Kind::Zstd},
        {"gzip", ZarrCodec::Kind::Gzip},     {"zlib", ZarrCodec::Kind::Zlib},
        {"crc32c", ZarrCodec::Kind::Crc32c},
    };
    for (const auto& [text, kind] : kKinds)
        if (name == QLatin1String(text))
            return ZarrCodec{kind};
    return std::nullopt;
}

QString unknownCodec(const QString& name) {
    return QStringLiteral("its codec \"%1\" is not supported (blosc, zstd, gzip, zlib and crc32c are)")
        .arg(name);
}

// The one bytes codec of a v3 chain: its byte order. Single bytes have none.
std::optional<bool> endianOf(const QJsonObject& configuration) {
    const QString endian = configuration.value(QLatin1String("endian")).toString(QStringLiteral("little"));
    if (endian == QLatin1String("little"))
        return false;
    if (endian == QLatin1String("big"))
        return true;
    return std::nullopt;
}

bool isIdentity(const std::vector<std::size_t>& axes) {
    for (std::size_t axis = 0; axis < axes.size(); ++axis)
        if (axes[axis] != axis)
            return false;
    return true;
}

std::vector<std::size_t> reversedAxes(std::size_t rank) {
    std::vector<std::size_t> axes(rank);
    for (std::size_t axis = 0; axis < rank; ++axis)
        axes[axis] = rank - 1 - axis;
    return axes;
}

// A transposition's order: each axis once, or "C" and "F" as early writers put it.
std::optional<std::vector<std::size_t>> permutationOf(const QJsonValue& order, std::size_t rank) {
    if (order.toString() == QLatin1String("C"))
        return std::vector<std::size_t>{};
    if (order.toString() == QLatin1String("F"))
        return reversedAxes(rank);
    const QJsonArray axes = order.toArray();
    if (static_cast<std::size_t>(axes.size()) != rank)
        return std::nullopt;
    std::vector<std::size_t> permutation;
    std::vector<bool> seen(rank, false);
    for (const QJsonValue& axis : axes) {
        const double position = axis.toDouble(-1.0);
        if (!(position >= 0.0 && position < static_cast<double>(rank)) || position != std::floor(position) ||
            seen[static_cast<std::size_t>(position)])
            return std::nullopt;
        seen[static_cast<std::size_t>(position)] = true;
        permutation.push_back(static_cast<std::size_t>(position));
    }
    return isIdentity(permutation) ? std::vector<std::size_t>{} : permutation;
}

// A v3 chain without sharding: transpositions, the bytes codec, then bytes-to-bytes steps.
// `storedAxes` takes the transpositions; none are allowed where it is null (a shard index).
std::optional<QString> parseChain(const QJsonArray& chain, std::size_t rank,
                                  std::vector<std::size_t>* storedAxes, bool& bigEndian,
                                  std::vector<ZarrCodec>& codecs) {
    bool sawBytes = false;
    for (const QJsonValue& item : chain) {
        const QJsonObject codec = item.toObject();
        const QString name = codec.value(QLatin1String("name")).toString();
        const QJsonObject configuration = codec.value(QLatin1String("configuration")).toObject();
        if (name == QLatin1String("transpose")) {
            const std::optional<std::vector<std::size_t>> order =
                permutationOf(configuration.value(QLatin1String("order")), rank);
            if (sawBytes || !order || (!storedAxes && !order->empty()))
                return QStringLiteral("its transposition is not an order of its %1 axes").arg(rank);
            // A second transposition reorders the axes the first one stored.
            if (!order->empty()) {
                std::vector<std::size_t> composed(*order);
                for (std::size_t axis = 0; axis < rank; ++axis)
                    composed[axis] = storedAxes->empty() ? (*order)[axis] : (*storedAxes)[(*order)[axis]];
                *storedAxes = isIdentity(composed) ? std::vector<std::size_t>{} : composed;
            }
        } else if (name == QLatin1String("bytes")) {
            const std::optional<bool> big = endianOf(configuration);
            if (!big || sawBytes)
                return QStringLiteral("its bytes codec is not little or big endian");
            bigEndian = *big;
            sawBytes = true;
        } else if (const std::optional<ZarrCodec> known = codecNamed(name); known && sawBytes) {
            codecs.push_back(*known);
        } else {
            return unknownCodec(name);
        }
    }
    if (!sawBytes)
        return QStringLiteral("its codecs have no bytes codec");
    return std::nullopt;
}

std::optional<QString> parseSharding(const QJsonObject& configuration, ZarrArrayMeta& meta) {
    const std::optional<std::vector<std::uint64_t>> inner =
        counts(configuration.value(QLatin1String("chunk_shape")), meta.rank());
    if (!inner)
        return QStringLiteral("its shards' chunk shape is not one length per axis");
    ZarrArrayMeta::Sharding sharding{meta.chunks, false, false};
    std::uint64_t perShard = 1;
    for (std::size_t axis = 0; axis < meta.rank(); ++axis) {
        if ((*inner)[axis] == 0 || meta.chunks[axis] % (*inner)[axis] != 0)
            return QStringLiteral("its shards do not hold a whole number of chunks");
        perShard *= meta.chunks[axis] / (*inner)[axis];
        if (perShard > ZarrArrayMeta::kMaxShardChunks)
            return QStringLiteral("its shards hold more than %1 chunks each")
                .arg(ZarrArrayMeta::kMaxShardChunks);
    }
    const QString location =
        configuration.value(QLatin1String("index_location")).toString(QStringLiteral("end"));
    if (location != QLatin1String("end") && location != QLatin1String("start"))
        return QStringLiteral("its shard index location \"%1\" is neither start nor end").arg(location);
    sharding.indexAtStart = location == QLatin1String("start");
    bool indexBig = false;
    std::vector<ZarrCodec> indexCodecs;
    if (std::optional<QString> refusal = parseChain(
            configuration.value(QLatin1String("index_codecs")).toArray(), 2, nullptr, indexBig, indexCodecs))
        return QStringLiteral("shard index: %1").arg(*refusal);
    if (indexBig || indexCodecs.size() > 1 ||
        (indexCodecs.size() == 1 && indexCodecs.front().kind != ZarrCodec::Kind::Crc32c))
        return QStringLiteral("its shard index is not little-endian with an optional crc32c checksum");
    sharding.indexChecksum = indexCodecs.size() == 1;
    meta.chunks = *inner;
    meta.sharding = sharding;
    return parseChain(configuration.value(QLatin1String("codecs")).toArray(), meta.rank(), &meta.storedAxes,
                      meta.bigEndian, meta.codecs);
}

std::optional<QString> parseV2(const QJsonObject& root, ZarrArrayMeta& meta) {
    const std::optional<SampleType> type =
        typeOfV2(root.value(QLatin1String("dtype")).toString(), meta.bigEndian);
    if (!type)
        return QStringLiteral("its sample type %1 is not supported (u1, i1, u2, i2, u4, i4, f4, f8 are)")
            .arg(QString::fromUtf8(QJsonDocument(QJsonArray{root.value(QLatin1String("dtype"))})
                                       .toJson(QJsonDocument::Compact)));
    meta.type = *type;
    const QString order = root.value(QLatin1String("order")).toString(QStringLiteral("C"));
    if (order != QLatin1String("C") && order != QLatin1String("F"))
        return QStringLiteral("its order \"%1\" is neither C nor F").arg(order);
    if (order == QLatin1String("F") && meta.rank() > 1)
        meta.storedAxes = reversedAxes(meta.rank());
    const QJsonArray filters = root.value(QLatin1String("filters")).toArray();
    if (!filters.isEmpty())
        return QStringLiteral("its filter \"%1\" is not supported")
            .arg(filters.first().toObject().value(QLatin1String("id")).toString());
    const QJsonValue compressor = root.value(QLatin1String("compressor"));
    if (!compressor.isNull() && !compressor.isUndefined()) {
        const QString id = compressor.toObject().value(QLatin1String("id")).toString();
        const std::optional<ZarrCodec> codec = codecNamed(id);
        if (!codec || codec->kind == ZarrCodec::Kind::Crc32c)
            return unknownCodec(id);
        meta.codecs.push_back(*codec);
    }
    const QString separator = root.value(QLatin1String("dimension_separator")).toString(QStringLiteral("."));
    if (separator != QLatin1String(".") && separator != QLatin1String("/"))
        return QStringLiteral("its dimension separator \"%1\" is neither \".\" nor \"/\"").arg(separator);
    meta.separator = separator[0];
    return std::nullopt;
}

std::optional<QString> parseV3(const QJsonObject& root, ZarrArrayMeta& meta) {
    const QString typeName = root.value(QLatin1String("data_type")).toString();
    const std::optional<SampleType> type = typeNamed(typeName);
    if (!type)
        return QStringLiteral("its data type \"%1\" is not supported").arg(typeName);
    meta.type = *type;
    const QJsonObject keys = root.value(QLatin1String("chunk_key_encoding")).toObject();
    const QString encoding = keys.value(QLatin1String("name")).toString(QStringLiteral("default"));
    if (encoding != QLatin1String("default") && encoding != QLatin1String("v2"))
        return QStringLiteral("its chunk key encoding \"%1\" is not supported").arg(encoding);
    meta.keyPrefix = encoding == QLatin1String("default");
    const QString separator = keys.value(QLatin1String("configuration"))
                                  .toObject()
                                  .value(QLatin1String("separator"))
                                  .toString(meta.keyPrefix ? QStringLiteral("/") : QStringLiteral("."));
    if (separator != QLatin1String(".") && separator != QLatin1String("/"))
        return QStringLiteral("its chunk key separator \"%1\" is neither \".\" nor \"/\"").arg(separator);
    meta.separator = separator[0];
    const QJsonArray codecs = root.value(QLatin1String("codecs")).toArray();
    if (codecs.size() == 1 && codecs.first().toObject().value(QLatin1String("name")).toString() ==
                                  QLatin1String("sharding_indexed"))
        return parseSharding(codecs.first().toObject().value(QLatin1String("configuration")).toObject(),
                             meta);
    return parseChain(codecs, meta.rank(), &meta.storedAxes, meta.bigEndian, meta.codecs);
}

} // namespace

std::variant<ZarrArrayMeta, QString> ZarrArrayMeta::parse(const QByteArray& metadata, int zarrFormat) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(metadata, &error);
    if (!document.isObject())
        return QStringLiteral("its metadata is not a JSON object (%1)").arg(error.errorString());
    const QJsonObject root = document.object();
    ZarrArrayMeta meta;
    meta.zarrFormat = zarrFormat;
    const std::optional<std::vector<std::uint64_t>> shape = counts(root.value(QLatin1String("shape")), 0);
    if (!shape)
        return QStringLiteral("its shape is not 1 to %1 positive lengths").arg(kMaxRank);
    meta.shape = *shape;
    const QJsonValue chunks = zarrFormat == 2 ? root.value(QLatin1String("chunks"))
                                              : root.value(QLatin1String("chunk_grid"))
                                                    .toObject()
                                                    .value(QLatin1String("configuration"))
                                                    .toObject()
                                                    .value(QLatin1String("chunk_shape"));
    if (zarrFormat == 3 && root.value(QLatin1String("chunk_grid")).toObject().value(QLatin1String("name")) !=
                               QLatin1String("regular"))
        return QStringLiteral("its chunk grid is not regular");
    const std::optional<std::vector<std::uint64_t>> chunkShape = counts(chunks, meta.rank());
    if (!chunkShape)
        return QStringLiteral("its chunk shape is not one positive length per axis");
    meta.chunks = *chunkShape;
    if (std::optional<QString> refusal = zarrFormat == 2 ? parseV2(root, meta) : parseV3(root, meta))
        return *refusal;
    const std::optional<double> fill = fillOf(root.value(QLatin1String("fill_value")));
    if (!fill)
        return QStringLiteral("its fill value is not a number");
    meta.fillValue = *fill;
    if (meta.chunkBytes() > kMaxChunkBytes)
        return QStringLiteral("its chunks of %1 MB are larger than the %2 MB the viewer decodes at once")
            .arg(megabytesText(meta.chunkBytes()), megabytesText(kMaxChunkBytes));
    return meta;
}

std::uint64_t ZarrArrayMeta::chunkBytes() const {
    // Each length is below 2^31 and there are at most five: the product is checked step by step.
    std::uint64_t bytes = sampleTypeBytes(type);
    for (const std::uint64_t length : chunks) {
        if (bytes > kMaxChunkBytes)
            return std::numeric_limits<std::uint64_t>::max();
        bytes *= length;
    }
    return bytes;
}

QString ZarrArrayMeta::key(const std::vector<std::uint64_t>& gridCoordinates) const {
    QStringList parts;
    if (keyPrefix)
        parts << QStringLiteral("c");
    for (const std::uint64_t coordinate : gridCoordinates)
        parts << QString::number(coordinate);
    return parts.join(separator);
}

QString ZarrArrayMeta::codecNames() const {
    QStringList names;
    if (sharding)
        names << QStringLiteral("sharded");
    for (const ZarrCodec& codec : codecs)
        names << codec.name();
    return names.isEmpty() ? QStringLiteral("raw") : names.join(QLatin1Char('+'));
}
