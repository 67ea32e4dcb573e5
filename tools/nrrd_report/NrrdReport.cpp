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

// What every format reports alike: size, spacing, offset, statistics in the file's
// units, notes.
QJsonObject volumeFields(const NRRDfmt& volume, const QStringList& notes) {
    const SampleStatistics statistics = SampleStatistics::of(volume.data, volume.sampleOffset);
    QJsonObject fields{
        {"format", volume.format},
        {"width", static_cast<qint64>(volume.width)},
        {"height", static_cast<qint64>(volume.height)},
        {"depth", static_cast<qint64>(volume.depth)},
        {"dimension", static_cast<qint64>(volume.dimension)},
        {"spacing", QJsonArray{shortestDecimal(volume.cellspaceX), shortestDecimal(volume.cellspaceY),
                               shortestDecimal(volume.cellspaceZ)}},
        {"encoding", volume.encoding},
        {"sample_offset", volume.sampleOffset},
        {"notes", QJsonArray::fromStringList(volume.notes + notes)},
    };
    // Rescaled samples report decimals; the others their whole sample values.
    if (volume.valueScale == 1.0 && volume.valueOffset == 0.0) {
        fields.insert("min", statistics.min);
        fields.insert("max", statistics.max);
        fields.insert("mean", statistics.mean);
    } else {
        const auto value = [&volume](double sample) {
            return sample * volume.valueScale + volume.valueOffset;
        };
        fields.insert("min", value(statistics.min));
        fields.insert("max", value(statistics.max));
        fields.insert("mean", value(statistics.mean));
    }
    return fields;
}

} // namespace

QJsonObject inspectReport(const NrrdVolumeReader& reader, const NrrdDataSource& source, const NRRDfmt& volume,
                          const QStringList& notes) {
    const NrrdLayout& layout = reader.layout();
    QJsonObject report = volumeFields(volume, notes);
    report.insert("header", QFileInfo(reader.headerPath()).absoluteFilePath());
    report.insert("type", reader.header().typeText.simplified());
    report.insert("sample_type", layout.sampleTypeName());
    report.insert("endian", layout.bigEndian ? QStringLiteral("big") : QStringLiteral("little"));
    report.insert("data_source", source.attached ? QStringLiteral("attached") : QStringLiteral("file"));
    report.insert("data_file", QFileInfo(source.path).absoluteFilePath());
    return report;
}

QJsonObject inspectReport(const QString& path, const DicomSeries& series, const NRRDfmt& volume,
                          const QStringList& notes) {
    QJsonObject report = volumeFields(volume, notes);
    report.insert("header", QFileInfo(path).absoluteFilePath());
    report.insert("series", series.uid);
    report.insert("type", volume.type);
    report.insert("sample_type", volume.type);
    report.insert("endian", QStringLiteral("little"));
    report.insert("data_source", QStringLiteral("series"));
    report.insert("data_file", QFileInfo(volume.dataFile).absoluteFilePath());
    return report;
}
