#include "NrrdVolumeReader.h"

#include "NrrdDataFiles.h"
#include "NrrdDecoder.h"
#include "VolumeSize.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <array>
#include <cmath>
#include <limits>

Q_LOGGING_CATEGORY(lcNrrd, "voxview.nrrd")

namespace {

constexpr std::int32_t kVolumeDimension = 3;
constexpr float kFallbackSpacing = 1.0f;
// Of an import's progress, reading the files into memory takes about this share.
constexpr double kReadShare = 0.3;
constexpr std::array kAxisNames{'x', 'y', 'z'};

std::optional<NrrdRefusal> checkShape(const NrrdHeader& header, const NrrdReadOptions& options) {
    if (!header.dimension)
        return NrrdRefusal{QStringLiteral("The header has no \"dimension:\" line.")};
    if (*header.dimension != kVolumeDimension)
        return NrrdRefusal{QStringLiteral("The data has %1 dimensions; only 3-D volumes can be shown.")
                               .arg(*header.dimension)};
    if (!header.sizes)
        return NrrdRefusal{QStringLiteral("The header has no \"sizes:\" line with three sizes.")};
    const std::array<std::int32_t, 3>& sizes = *header.sizes;
    if (header.sizeCount != kVolumeDimension)
        return NrrdRefusal{
            QStringLiteral("The \"sizes:\" line lists %1 sizes for a 3-D volume.").arg(header.sizeCount)};
    return refuseVolumeSize(sizes[0], sizes[1], sizes[2], options);
}

std::optional<float> usableSpacing(const std::optional<NrrdHeader::AxisSpacing>& spacing, int axis) {
    if (!spacing)
        return std::nullopt;
    const double value = (*spacing)[axis];
    if (!std::isfinite(value) || value <= 0.0 || value > std::numeric_limits<float>::max())
        return std::nullopt;
    const auto single = static_cast<float>(value);
    if (single <= 0.0f)
        return std::nullopt;
    return single;
}

// Voxel spacing per axis: from the direction vectors, else from "spacings:", else 1 so
// that the volume keeps its voxel proportions instead of collapsing to nothing.
std::array<float, 3> voxelSpacing(const NrrdHeader& header, const QString& headerName, QStringList& notes) {
    std::array<float, 3> spacing{};
    QStringList fallbacks;
    for (int axis = 0; axis < kVolumeDimension; ++axis) {
        std::optional<float> value = usableSpacing(header.directionSpacing, axis);
        if (!value)
            value = usableSpacing(header.spacings, axis);
        if (!value)
            fallbacks << QString(QChar::fromLatin1(kAxisNames[axis]));
        spacing[axis] = value.value_or(kFallbackSpacing);
    }
    if (!fallbacks.isEmpty()) {
        notes << QStringLiteral("%1 gives no usable voxel spacing along %2; using %3.")
                     .arg(headerName, fallbacks.join(QStringLiteral(", ")))
                     .arg(kFallbackSpacing, 0, 'f', 1);
        qCInfo(lcNrrd).noquote() << notes.back();
    }
    return spacing;
}

NrrdResult<NrrdDataSource> openDataFile(const QString& path, const NrrdProgress& progress = {}) {
    const QFileInfo info(path);
    if (!info.exists())
        return NrrdRefusal{QStringLiteral("The data file %1 does not exist.").arg(info.fileName())};
    // Devices and pipes (a header naming /dev/zero) would never end.
    if (!info.isFile())
        return NrrdRefusal{QStringLiteral("The data file %1 is not a regular file.").arg(info.fileName())};
    QString error;
    ByteBuffer bytes = ByteBuffer::readFile(path, &error, progress);
    if (bytes.isNull())
        return NrrdRefusal{QStringLiteral("Cannot read the data file %1: %2.").arg(info.fileName(), error)};
    return NrrdDataSource{path, false, {std::move(bytes)}};
}

} // namespace

NrrdVolumeReader::NrrdVolumeReader(NrrdHeaderFile file, NrrdHeader header, NrrdLayout layout, NRRDfmt record)
    : m_file(std::move(file)), m_header(std::move(header)), m_layout(layout), m_record(std::move(record)) {}

NrrdResult<NrrdVolumeReader> NrrdVolumeReader::open(const QString& headerPath,
                                                    const NrrdReadOptions& options) {
    NrrdResult<NrrdHeaderFile> file = NrrdHeaderFile::read(headerPath);
    if (const auto* refusal = std::get_if<NrrdRefusal>(&file))
        return *refusal;
    return fromHeaderFile(std::get<NrrdHeaderFile>(file), options);
}

NrrdResult<NrrdVolumeReader> NrrdVolumeReader::fromHeaderFile(const NrrdHeaderFile& file,
                                                              const NrrdReadOptions& options) {
    NrrdHeader header = NrrdHeader::parse(file.text());
    if (const std::optional<NrrdRefusal> refusal = checkShape(header, options))
        return *refusal;
    NrrdResult<NrrdLayout> layout = NrrdLayout::fromHeader(header);
    if (const auto* refusal = std::get_if<NrrdRefusal>(&layout))
        return *refusal;

    NRRDfmt record;
    const std::array<float, 3> spacing =
        voxelSpacing(header, QFileInfo(file.path()).fileName(), record.notes);
    record.type = header.type;
    record.dimension = static_cast<std::uint32_t>(*header.dimension);
    record.width = static_cast<std::uint32_t>((*header.sizes)[0]);
    record.height = static_cast<std::uint32_t>((*header.sizes)[1]);
    record.depth = static_cast<std::uint32_t>((*header.sizes)[2]);
    record.cellspaceX = spacing[0];
    record.cellspaceY = spacing[1];
    record.cellspaceZ = spacing[2];
    record.encoding = header.encoding;
    record.dataFile = header.dataFile;
    return NrrdVolumeReader(file, std::move(header), std::get<NrrdLayout>(layout), std::move(record));
}

bool NrrdVolumeReader::hasAttachedData() const {
    return m_header.dataFileText.isEmpty() && m_file.hasAttachedData();
}

bool NrrdVolumeReader::hasSeveralDataFiles() const {
    return NrrdDataFiles::namesSeveral(m_header.dataFileText);
}

QString NrrdVolumeReader::dataFilePath() const {
    if (m_header.dataFileText.isEmpty() || hasSeveralDataFiles())
        return {};
    return QDir::cleanPath(QFileInfo(m_file.path()).dir().filePath(m_header.dataFileText));
}

NrrdResult<NrrdDataSource> NrrdVolumeReader::resolveData(const NrrdDataChoice& choice,
                                                         const NrrdProgress& progress) const {
    switch (choice.kind()) {
    case NrrdDataChoice::Kind::Cancelled:
        return NrrdRefusal{QStringLiteral("No data file was chosen.")};
    case NrrdDataChoice::Kind::File:
        return openDataFile(choice.path(), progress);
    case NrrdDataChoice::Kind::FromHeader:
        break;
    }
    if (hasAttachedData()) {
        NrrdResult<ByteBuffer> attached = m_file.readAttachedData(progress);
        if (const auto* refusal = std::get_if<NrrdRefusal>(&attached))
            return *refusal;
        return NrrdDataSource{m_file.path(), true, {std::get<ByteBuffer>(std::move(attached))}};
    }
    if (m_header.dataFileText.isEmpty())
        return NrrdRefusal{QStringLiteral("The header names no data file and has no data attached.")};
    if (!hasSeveralDataFiles())
        return openDataFile(dataFilePath(), progress);

    NrrdResult<QStringList> paths =
        NrrdDataFiles::list(m_header, *m_header.sizes, QFileInfo(m_file.path()).absolutePath());
    if (const auto* refusal = std::get_if<NrrdRefusal>(&paths))
        return *refusal;
    NrrdDataSource source;
    const QStringList& files = std::get<QStringList>(paths);
    const double share = 1.0 / static_cast<double>(files.size());
    for (const QString& path : files) {
        NrrdResult<NrrdDataSource> file =
            openDataFile(path, progress.part(share * static_cast<double>(source.files.size()), share));
        if (const auto* refusal = std::get_if<NrrdRefusal>(&file))
            return *refusal;
        source.files.push_back(std::get<NrrdDataSource>(file).files.front());
    }
    source.path = std::get<QStringList>(paths).front();
    return source;
}

NrrdResult<NRRDfmt> NrrdVolumeReader::readVolume(const NrrdDataSource& source,
                                                 const NrrdProgress& progress) const {
    const std::size_t samples = std::size_t{m_record.width} * m_record.height * m_record.depth;
    NrrdResult<NrrdDecoder::Voxels> voxels = NrrdDecoder(m_layout, samples, progress).decode(source.files);
    if (const auto* refusal = std::get_if<NrrdRefusal>(&voxels)) {
        // Whoever reports the refusal names the header; a separate data file is named here.
        if (source.attached)
            return *refusal;
        return NrrdRefusal{QStringLiteral("%1: %2").arg(QFileInfo(source.path).fileName(), refusal->reason)};
    }
    const NrrdDecoder::Voxels& decoded = std::get<NrrdDecoder::Voxels>(voxels);
    NRRDfmt record = m_record;
    record.data = decoded.data;
    record.sampleOffset = decoded.sampleOffset;
    record.valueScale = decoded.valueScale;
    record.valueOffset = decoded.valueOffset;
    record.notes += decoded.notes;
    return record;
}

NrrdResult<NRRDfmt> NrrdVolumeReader::readVolume(const NrrdDataChoice& choice,
                                                 const NrrdProgress& progress) const {
    NrrdResult<NrrdDataSource> source = resolveData(choice, progress.part(0.0, kReadShare));
    if (const auto* refusal = std::get_if<NrrdRefusal>(&source))
        return *refusal;
    return readVolume(std::get<NrrdDataSource>(source), progress.part(kReadShare, 1.0 - kReadShare));
}
