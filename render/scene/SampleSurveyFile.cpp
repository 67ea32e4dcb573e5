#include "render/scene/SampleSurveyFile.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <string_view>

namespace {

constexpr char kMagic[] = "voxview survey 1";
constexpr int kMagicBytes = sizeof(kMagic) - 1;

QDataStream& littleEndian(QDataStream& stream) {
    stream.setByteOrder(QDataStream::LittleEndian);
    return stream;
}

bool plausible(const SampleStatistics::Summary& texels) {
    return texels.min <= texels.lowPercentile && texels.lowPercentile <= texels.highPercentile &&
           texels.highPercentile <= texels.max;
}

} // namespace

QString SampleSurveyFile::besideData(const QString& dataPath) {
    if (dataPath.isEmpty()) {
        return {};
    }
    const QFileInfo data(dataPath);
    return data.dir().filePath(data.completeBaseName() + QStringLiteral(".survey"));
}

std::optional<QString> SampleSurveyFile::write(const QString& path, const VolumeSurvey::Survey& survey,
                                               std::array<std::uint64_t, 3> size, std::uint64_t dataBytes) {
    if (!survey.bricks) {
        return QStringLiteral("there is no brick grid to write");
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());
    }
    QDataStream stream(&file);
    littleEndian(stream).writeRawData(kMagic, kMagicBytes);
    stream << quint64{size[0]} << quint64{size[1]} << quint64{size[2]} << quint64{dataBytes};
    stream << survey.texels.min << survey.texels.max << survey.texels.lowPercentile
           << survey.texels.highPercentile;
    const std::vector<std::uint16_t>& maxima = survey.bricks->level(0).maxima;
    stream << quint64{maxima.size()};
    for (const std::uint16_t maximum : maxima) {
        stream << maximum;
    }
    if (stream.status() != QDataStream::Ok || !file.commit()) {
        return QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());
    }
    return std::nullopt;
}

std::optional<VolumeSurvey::Survey>
SampleSurveyFile::read(const QString& path, std::array<std::uint64_t, 3> size, std::uint64_t dataBytes) {
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
    SampleStatistics::Summary texels;
    stream >> width >> height >> depth >> bytes;
    stream >> texels.min >> texels.max >> texels.lowPercentile >> texels.highPercentile;
    stream >> cells;
    auto bricks = std::make_shared<BrickGrid>(size[0], size[1], size[2]);
    if (stream.status() != QDataStream::Ok || std::array<std::uint64_t, 3>{width, height, depth} != size ||
        bytes != dataBytes || !plausible(texels) || cells != bricks->level(0).maxima.size()) {
        return std::nullopt;
    }
    std::vector<std::uint16_t> maxima(cells);
    for (std::uint16_t& maximum : maxima) {
        stream >> maximum;
    }
    if (stream.status() != QDataStream::Ok || !stream.atEnd() || !bricks->adoptLevelZero(std::move(maxima))) {
        return std::nullopt;
    }
    bricks->finish();
    return VolumeSurvey::Survey{std::move(bricks), texels};
}
