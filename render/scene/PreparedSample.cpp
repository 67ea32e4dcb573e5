#include "render/scene/PreparedSample.h"

#include "volume/core/ByteBuffer.h"
#include "volume/core/VolumeSource.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtEndian>
#include <algorithm>
#include <string_view>

namespace {

constexpr char kMagic[] = "voxview prepared sample 2";
constexpr int kMagicBytes = sizeof(kMagic) - 1;

QDataStream& littleEndian(QDataStream& stream) {
    stream.setByteOrder(QDataStream::LittleEndian);
    return stream;
}

bool plausible(const SampleStatistics::Summary& texels) {
    return texels.min <= texels.lowPercentile && texels.lowPercentile <= texels.highPercentile &&
           texels.highPercentile <= texels.max;
}

// Reads `count` little-endian 16-bit values in one block; false when the stream runs short.
bool readValues(QDataStream& stream, std::vector<std::uint16_t>& values, std::uint64_t count) {
    values.resize(count);
    const auto bytes = static_cast<qint64>(count * sizeof(std::uint16_t));
    if (stream.readRawData(reinterpret_cast<char*>(values.data()), bytes) != bytes) {
        return false;
    }
    qFromLittleEndian<std::uint16_t>(values.data(), static_cast<qsizetype>(count), values.data());
    return true;
}

void writeValues(QDataStream& stream, const std::vector<std::uint16_t>& values) {
    std::vector<std::uint16_t> little(values.size());
    qToLittleEndian<std::uint16_t>(values.data(), static_cast<qsizetype>(values.size()), little.data());
    stream.writeRawData(reinterpret_cast<const char*>(little.data()),
                        static_cast<int>(little.size() * sizeof(std::uint16_t)));
}

} // namespace

QString PreparedSample::besideData(const QString& dataPath) {
    if (dataPath.isEmpty()) {
        return {};
    }
    const QFileInfo data(dataPath);
    return data.dir().filePath(data.completeBaseName() + QStringLiteral(".prepared"));
}

PreparedSample::Contents PreparedSample::prepare(const ByteBuffer& data, std::array<std::uint64_t, 3> size,
                                                 const BrickLayout& layout) {
    Contents contents;
    contents.survey = VolumeSurvey::survey(data, size);
    const DecodedVolumeSource source(data, size[0], size[1]);
    const std::uint32_t base = layout.baseLevel();
    for (std::uint64_t index = 0; index < layout.brickCount(base); ++index) {
        if (std::optional<BrickTexels> brick = buildBrick(source, layout, size, layout.key(base, index))) {
            contents.baseBricks.push_back(std::move(*brick));
        }
    }
    return contents;
}

std::optional<QString> PreparedSample::write(const QString& path, const Contents& contents,
                                             std::array<std::uint64_t, 3> size, std::uint64_t dataBytes,
                                             const BrickLayout& layout) {
    if (!contents.survey.bricks || contents.baseBricks.size() != layout.brickCount(layout.baseLevel())) {
        return QStringLiteral("the survey or the base level is missing");
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());
    }
    QDataStream stream(&file);
    littleEndian(stream).writeRawData(kMagic, kMagicBytes);
    stream << quint64{size[0]} << quint64{size[1]} << quint64{size[2]} << quint64{dataBytes};
    const SampleStatistics::Summary& texels = contents.survey.texels;
    stream << texels.min << texels.max << texels.lowPercentile << texels.highPercentile;
    const BrickGrid::Level& cells = contents.survey.bricks->level(0);
    stream << quint64{cells.maxima.size()};
    writeValues(stream, cells.maxima);
    writeValues(stream, cells.minima);
    stream << quint64{layout.brickSide()} << quint64{contents.baseBricks.size()};
    for (const BrickTexels& brick : contents.baseBricks) {
        writeValues(stream, brick.texels);
    }
    if (stream.status() != QDataStream::Ok || !file.commit()) {
        return QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());
    }
    return std::nullopt;
}

std::optional<PreparedSample::Contents> PreparedSample::read(const QString& path,
                                                             std::array<std::uint64_t, 3> size,
                                                             std::uint64_t dataBytes,
                                                             const BrickLayout& layout) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QDataStream stream(&file);
    char magic[kMagicBytes];
    if (littleEndian(stream).readRawData(magic, kMagicBytes) != kMagicBytes ||
        std::string_view(magic, kMagicBytes) != std::string_view(kMagic, kMagicBytes)) {
        return std::nullopt;
    }
    quint64 width = 0, height = 0, depth = 0, bytes = 0, cells = 0;
    Contents contents;
    SampleStatistics::Summary& texels = contents.survey.texels;
    stream >> width >> height >> depth >> bytes;
    stream >> texels.min >> texels.max >> texels.lowPercentile >> texels.highPercentile;
    stream >> cells;
    auto grid = std::make_shared<BrickGrid>(size[0], size[1], size[2]);
    std::vector<std::uint16_t> maxima, minima;
    if (stream.status() != QDataStream::Ok || std::array<std::uint64_t, 3>{width, height, depth} != size ||
        bytes != dataBytes || !plausible(texels) || cells != grid->level(0).maxima.size() ||
        !readValues(stream, maxima, cells) || !readValues(stream, minima, cells) ||
        !grid->adoptLevelZero(std::move(maxima), std::move(minima))) {
        return std::nullopt;
    }
    grid->finish();
    contents.survey.bricks = std::move(grid);

    quint64 brickSide = 0, brickCount = 0;
    stream >> brickSide >> brickCount;
    const std::uint32_t base = layout.baseLevel();
    if (stream.status() != QDataStream::Ok || brickSide != layout.brickSide() ||
        brickCount != layout.brickCount(base)) {
        return std::nullopt;
    }
    for (std::uint64_t index = 0; index < brickCount; ++index) {
        BrickTexels brick;
        brick.key = layout.key(base, index);
        if (!readValues(stream, brick.texels, layout.slotTexels())) {
            return std::nullopt;
        }
        const auto [minimum, maximum] = std::minmax_element(brick.texels.begin(), brick.texels.end());
        brick.minimum = *minimum;
        brick.maximum = *maximum;
        contents.baseBricks.push_back(std::move(brick));
    }
    if (!stream.atEnd()) {
        return std::nullopt;
    }
    return contents;
}
