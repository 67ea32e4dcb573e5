#include "ImportReport.h"

#include "SampleOverview.h"
#include "volume/http/HttpLocation.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonValue>
#include <charconv>
#include <cmath>
#include <utility>

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

// A sample in the file's units: whole samples stay JSON integers where the map keeps
// them whole.
QJsonValue fileValue(double sample, const VolumeRecord& volume) {
    // Without an intermediate product that could overflow where the value does not.
    const double value = std::fma(sample, volume.valueScale, volume.valueOffset);
    if (std::trunc(value) == value && std::fabs(value) < static_cast<double>(std::int64_t{1} << 53))
        return static_cast<qint64>(value);
    return value;
}

// Fields every format reports.
QJsonObject volumeFields(const VolumeRecord& volume, const QStringList& notes) {
    const SampleOverview statistics = SampleOverview::of(volume.data, volume.sampleOffset);
    QJsonValue low = fileValue(statistics.min, volume);
    QJsonValue high = fileValue(statistics.max, volume);
    if (volume.valueScale < 0.0)
        std::swap(low, high);
    QStringList allNotes = volume.notes;
    for (const QString& note : notes) {
        if (!allNotes.contains(note))
            allNotes << note;
    }
    QJsonObject report{
        {"format", volume.format},
        {"width", static_cast<qint64>(volume.width)},
        {"height", static_cast<qint64>(volume.height)},
        {"depth", static_cast<qint64>(volume.depth)},
        {"dimension", static_cast<qint64>(volume.dimension)},
        {"spacing", QJsonArray{shortestDecimal(volume.cellspaceX), shortestDecimal(volume.cellspaceY),
                               shortestDecimal(volume.cellspaceZ)}},
        {"encoding", volume.encoding},
        {"sample_offset", volume.sampleOffset},
        {"value_scale", volume.valueScale},
        {"value_offset", volume.valueOffset},
        {"min", low},
        {"max", high},
        {"mean", std::fma(statistics.mean, volume.valueScale, volume.valueOffset)},
        {"notes", QJsonArray::fromStringList(allNotes)},
    };
    if (volume.fileWindow)
        report.insert("file_window", QJsonArray{volume.fileWindow->level, volume.fileWindow->width});
    // The patient directions (LPS) of +x, +y, +z voxel axes, and their nearest sides as a
    // code ("LPS", "RAS", "SLP"); null where the file names none.
    report.insert("orientation", volume.orientation ? QJsonValue(volume.orientation->code()) : QJsonValue());
    if (volume.orientation) {
        QJsonArray axes;
        for (const PatientOrientation::Direction& axis : volume.orientation->axes)
            axes.append(QJsonArray{axis[0], axis[1], axis[2]});
        report.insert("orientation_axes", axes);
    }
    // A volume read in place is never read whole, here neither: its statistics stay unknown.
    const bool inPlace = volume.data.isNull() && volume.source;
    report.insert("read_in_place", inPlace);
    if (inPlace) {
        for (const char* unknown : {"min", "max", "mean"})
            report.insert(unknown, QJsonValue());
    }
    return report;
}

// A file's absolute path; a web store's URL without the credentials it may carry.
QString located(const QString& path) {
    return HttpLocation::isHttpUrl(path) ? HttpLocation::withoutCredentials(path)
                                         : QFileInfo(path).absoluteFilePath();
}

} // namespace

QJsonObject inspectReport(const NrrdVolumeReader& reader, const NrrdDataSource& source,
                          const VolumeRecord& volume, const QStringList& notes) {
    QJsonObject report = volumeFields(volume, notes);
    const NrrdLayout& layout = reader.layout();
    report.insert("header", QFileInfo(reader.headerPath()).absoluteFilePath());
    report.insert("type", reader.header().typeText.simplified());
    report.insert("sample_type", layout.sampleTypeName());
    report.insert("endian", layout.bigEndian ? QStringLiteral("big") : QStringLiteral("little"));
    report.insert("data_source", source.attached ? QStringLiteral("attached") : QStringLiteral("file"));
    report.insert("data_file", QFileInfo(source.path).absoluteFilePath());
    return report;
}

QJsonObject inspectReport(const QString& path, const VolumeRecord& volume, const QStringList& notes) {
    QJsonObject report = volumeFields(volume, notes);
    report.insert("header", located(path));
    report.insert("type", volume.type);
    report.insert("sample_type", volume.type);
    // The reader turned the samples into host order itself; the file's order is not kept.
    report.insert("endian", QJsonValue());
    report.insert("data_source", QStringLiteral("file"));
    report.insert("data_file", located(volume.dataFile.isEmpty() ? path : volume.dataFile));
    return report;
}

QJsonObject inspectReport(const QString& path, const DicomSeries& series, const VolumeRecord& volume,
                          const QStringList& notes) {
    QJsonObject report = inspectReport(path, volume, notes);
    report.insert("series", series.uid);
    report.insert("data_source", QStringLiteral("series"));
    return report;
}

QJsonObject inspectReport(const QString& path, const OmeZarrLayout& layout, const VolumeRecord& volume,
                          const QStringList& notes) {
    QJsonObject report = inspectReport(path, volume, notes);
    const auto numbers = [](const auto& values) {
        QJsonArray array;
        for (const auto value : values)
            array.append(static_cast<double>(value));
        return array;
    };
    QJsonArray levels;
    for (const OmeZarrLayout::Level& level : layout.levels)
        levels.append(QJsonObject{
            {"path", level.path}, {"shape", numbers(level.meta.shape)}, {"scale", numbers(level.scale)}});
    const ZarrArrayMeta& finest = layout.levels.front().meta;
    report.insert("levels", levels);
    report.insert("chunks", numbers(finest.chunks));
    report.insert("codec", finest.codecNames());
    report.insert("zarr_format", finest.zarrFormat);
    report.insert("data_source", QStringLiteral("store"));
    return report;
}
