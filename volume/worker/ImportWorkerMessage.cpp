#include "volume/worker/ImportWorkerMessage.h"

#include <QDataStream>
#include <QIODevice>
#include <array>
#include <cstdint>

namespace {

// Both ends are built from the same source: the format only has to stay fixed within one build.
constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_6_0;

// The records below cross the process boundary field by field: a field added to one of them
// must be written and read here too, or the worker's reads would silently lose it.
static_assert(sizeof(VolumeRecord) == 336,
              "VolumeRecord changed: carry the new field in ImportWorkerMessage");
static_assert(sizeof(DicomSlice) == 176, "DicomSlice changed: carry the new field in ImportWorkerMessage");
static_assert(sizeof(DicomSeries) == 168, "DicomSeries changed: carry the new field in ImportWorkerMessage");

template <std::size_t N> void put(QDataStream& out, const std::optional<std::array<double, N>>& values) {
    out << values.has_value();
    if (values) {
        for (const double value : *values)
            out << value;
    }
}

template <std::size_t N> void take(QDataStream& in, std::optional<std::array<double, N>>& values) {
    bool present = false;
    in >> present;
    values.reset();
    if (present) {
        std::array<double, N> read{};
        for (double& value : read)
            in >> value;
        values = read;
    }
}

void put(QDataStream& out, const ImportWorkerMessage::Progress& progress) {
    out << progress.fraction;
}

void take(QDataStream& in, ImportWorkerMessage::Progress& progress) {
    in >> progress.fraction;
}

void put(QDataStream& out, const ImportWorkerMessage::Log& log) {
    out << static_cast<qint32>(log.type) << log.category << log.text;
}

void take(QDataStream& in, ImportWorkerMessage::Log& log) {
    qint32 type = 0;
    in >> type >> log.category >> log.text;
    log.type = static_cast<QtMsgType>(type);
}

void put(QDataStream& out, const ImportRefusal& refusal) {
    out << refusal.reason;
}

void take(QDataStream& in, ImportRefusal& refusal) {
    in >> refusal.reason;
}

void put(QDataStream& out, const VolumeRecord& record) {
    out << record.type << record.dimension << record.width << record.height << record.depth
        << record.cellspaceX << record.cellspaceY << record.cellspaceZ << record.encoding << record.dataFile
        << record.sampleOffset << record.valueScale << record.valueOffset << record.hounsfield
        << record.fileWindow.has_value();
    if (record.fileWindow)
        out << record.fileWindow->level << record.fileWindow->width;
    out << record.orientation.has_value();
    if (record.orientation) {
        for (const PatientOrientation::Direction& axis : record.orientation->axes)
            out << axis[0] << axis[1] << axis[2];
    }
    out << record.notes << record.format;
}

void take(QDataStream& in, VolumeRecord& record) {
    bool window = false;
    in >> record.type >> record.dimension >> record.width >> record.height >> record.depth >>
        record.cellspaceX >> record.cellspaceY >> record.cellspaceZ >> record.encoding >> record.dataFile >>
        record.sampleOffset >> record.valueScale >> record.valueOffset >> record.hounsfield >> window;
    record.fileWindow.reset();
    if (window) {
        VolumeRecord::Window read;
        in >> read.level >> read.width;
        record.fileWindow = read;
    }
    bool oriented = false;
    in >> oriented;
    record.orientation.reset();
    if (oriented) {
        PatientOrientation read;
        for (PatientOrientation::Direction& axis : read.axes)
            in >> axis[0] >> axis[1] >> axis[2];
        record.orientation = read;
    }
    in >> record.notes >> record.format;
}

void put(QDataStream& out, const DicomSlice& slice) {
    out << slice.path << slice.columns << slice.rows << slice.frames;
    put(out, slice.position);
    put(out, slice.orientation);
    put(out, slice.pixelSpacing);
    out << slice.slope << slice.intercept << slice.bitsAllocated << slice.signedSamples;
}

void take(QDataStream& in, DicomSlice& slice) {
    in >> slice.path >> slice.columns >> slice.rows >> slice.frames;
    take(in, slice.position);
    take(in, slice.orientation);
    take(in, slice.pixelSpacing);
    in >> slice.slope >> slice.intercept >> slice.bitsAllocated >> slice.signedSamples;
}

void put(QDataStream& out, const std::vector<DicomSeries>& found) {
    out << static_cast<quint32>(found.size());
    for (const DicomSeries& series : found) {
        out << series.uid << series.frameOfReference << series.description << series.modality
            << series.rescaleType;
        put(out, series.window);
        out << static_cast<quint32>(series.slices.size());
        for (const DicomSlice& slice : series.slices)
            put(out, slice);
    }
}

void take(QDataStream& in, std::vector<DicomSeries>& found) {
    quint32 count = 0;
    in >> count;
    found.clear();
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        DicomSeries& series = found.emplace_back();
        in >> series.uid >> series.frameOfReference >> series.description >> series.modality >>
            series.rescaleType;
        take(in, series.window);
        quint32 slices = 0;
        in >> slices;
        for (quint32 s = 0; s < slices && in.status() == QDataStream::Ok; ++s)
            take(in, series.slices.emplace_back());
    }
}

// The alternative of the variant whose index was read, default-constructed.
template <std::size_t I = 0> std::optional<ImportWorkerMessage::Body> alternative(std::size_t index) {
    if constexpr (I < std::variant_size_v<ImportWorkerMessage::Body>) {
        if (index == I)
            return ImportWorkerMessage::Body(std::in_place_index<I>);
        return alternative<I + 1>(index);
    } else {
        return std::nullopt;
    }
}

} // namespace

QByteArray ImportWorkerMessage::line(const Body& body) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(kStreamVersion);
    out << static_cast<quint8>(body.index());
    std::visit([&out](const auto& message) { put(out, message); }, body);
    return bytes.toBase64().append('\n');
}

std::optional<ImportWorkerMessage::Body> ImportWorkerMessage::parse(QByteArrayView line) {
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(line.trimmed().toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    QDataStream in(*decoded);
    in.setVersion(kStreamVersion);
    quint8 index = 0;
    in >> index;
    std::optional<Body> body = alternative(index);
    if (!body)
        return std::nullopt;
    std::visit([&in](auto& message) { take(in, message); }, *body);
    if (in.status() != QDataStream::Ok || !in.atEnd())
        return std::nullopt;
    return body;
}
