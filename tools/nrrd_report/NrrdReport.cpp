#include "NrrdReport.h"

#include "SampleStatistics.h"

#include <QFileInfo>
#include <QJsonArray>
#include <charconv>

namespace {

// The shortest decimal that reads back as the same float: 0.1f is reported as 0.1,
// not as the double 0.10000000149011612 it widens to.
double shortestDecimal(float value) {
    char text[32];
    const auto end = std::to_chars(std::begin(text), std::end(text), value).ptr;
    double decimal = 0.0;
    std::from_chars(std::begin(text), end, decimal);
    return decimal;
}

} // namespace

QJsonObject inspectReport(const NrrdVolumeReader& reader, const NrrdDataSource& source, const NRRDfmt& volume,
                          const QStringList& notes) {
    const SampleStatistics statistics = SampleStatistics::of(volume.data, volume.sampleOffset);
    const NrrdLayout& layout = reader.layout();
    return QJsonObject{
        {"header", QFileInfo(reader.headerPath()).absoluteFilePath()},
        {"width", static_cast<qint64>(volume.width)},
        {"height", static_cast<qint64>(volume.height)},
        {"depth", static_cast<qint64>(volume.depth)},
        {"dimension", static_cast<qint64>(volume.dimension)},
        {"spacing", QJsonArray{shortestDecimal(volume.cellspaceX), shortestDecimal(volume.cellspaceY),
                               shortestDecimal(volume.cellspaceZ)}},
        {"type", reader.header().typeText.simplified()},
        {"sample_type", layout.sampleTypeName()},
        {"encoding", volume.encoding},
        {"endian", layout.bigEndian ? QStringLiteral("big") : QStringLiteral("little")},
        {"data_source", source.attached ? QStringLiteral("attached") : QStringLiteral("file")},
        {"data_file", QFileInfo(source.path).absoluteFilePath()},
        {"sample_offset", volume.sampleOffset},
        {"min", statistics.min},
        {"max", statistics.max},
        {"mean", statistics.mean},
        {"notes", QJsonArray::fromStringList(notes)},
    };
}
