#include "NrrdVolumeReader.h"

#include "NrrdDecoder.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <array>
#include <cmath>
#include <limits>

Q_LOGGING_CATEGORY(lcNrrd, "voxview.nrrd")

namespace {

constexpr std::int32_t kVolumeDimension = 3;
constexpr std::size_t kTexelBytes = 2;
constexpr float kFallbackSpacing = 1.0f;
constexpr std::array kAxisNames{'x', 'y', 'z'};
// "data file: <format> <first> <last> <step> [<subdim>]" names numbered files.
constexpr qsizetype kPatternTokens = 4;

QString sizeText(const std::array<std::int32_t, 3>& sizes) {
    return QStringLiteral("%1 x %2 x %3").arg(sizes[0]).arg(sizes[1]).arg(sizes[2]);
}

// The number of texel bytes, or nothing when it cannot be held in one buffer.
std::optional<std::size_t> texelBytes(const std::array<std::int32_t, 3>& sizes) {
    constexpr std::size_t kLimit = static_cast<std::size_t>(std::numeric_limits<qsizetype>::max());
    std::size_t bytes = kTexelBytes;
    for (const std::int32_t size : sizes) {
        const auto factor = static_cast<std::size_t>(size);
        if (bytes > kLimit / factor)
            return std::nullopt;
        bytes *= factor;
    }
    return bytes;
}

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
    if (sizes[0] <= 0 || sizes[1] <= 0 || sizes[2] <= 0)
        return NrrdRefusal{
            QStringLiteral("The volume size %1 is not positive along every axis.").arg(sizeText(sizes))};
    if (!texelBytes(sizes))
        return NrrdRefusal{
            QStringLiteral("The volume size %1 is too large to hold in memory.").arg(sizeText(sizes))};
    for (const std::int32_t size : sizes) {
        if (static_cast<std::uint32_t>(size) > options.maxTextureSize)
            return NrrdRefusal{
                QStringLiteral("The volume size %1 exceeds the largest 3-D texture the GPU takes "
                               "(%2 voxels per side).")
                    .arg(sizeText(sizes))
                    .arg(options.maxTextureSize)};
    }
    return std::nullopt;
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
std::array<float, 3> voxelSpacing(const NrrdHeader& header, const QString& headerName) {
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
    if (!fallbacks.isEmpty())
        qCInfo(lcNrrd).noquote() << QStringLiteral("%1 gives no usable voxel spacing along %2; using %3.")
                                        .arg(headerName, fallbacks.join(QStringLiteral(", ")))
                                        .arg(kFallbackSpacing, 0, 'f', 1);
    return spacing;
}

bool isInteger(QStringView token) {
    bool ok = false;
    static_cast<void>(token.toLongLong(&ok));
    return ok;
}

// "data file: LIST" and "data file: slice%03d.raw 1 90 1" spread the samples over
// several files.
bool namesSeveralFiles(const QString& dataFileText) {
    const QList<QStringView> tokens = QStringView(dataFileText).split(u' ', Qt::SkipEmptyParts);
    if (tokens.isEmpty())
        return false;
    if (tokens[0] == u"LIST")
        return true;
    return tokens.size() >= kPatternTokens && tokens[0].contains(u'%') && isInteger(tokens[1]) &&
           isInteger(tokens[2]) && isInteger(tokens[3]);
}

NrrdResult<NrrdDataSource> openDataFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists())
        return NrrdRefusal{QStringLiteral("The data file %1 does not exist.").arg(info.fileName())};
    // Devices and pipes (a header naming /dev/zero) would never end.
    if (!info.isFile())
        return NrrdRefusal{QStringLiteral("The data file %1 is not a regular file.").arg(info.fileName())};
    QString error;
    ByteBuffer bytes = ByteBuffer::mapFile(path, &error);
    if (bytes.isNull())
        return NrrdRefusal{QStringLiteral("Cannot read the data file %1: %2.").arg(info.fileName(), error)};
    return NrrdDataSource{path, false, std::move(bytes)};
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

    const std::array<float, 3> spacing = voxelSpacing(header, QFileInfo(file.path()).fileName());
    NRRDfmt record;
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
    const NrrdLayout& checkedLayout = std::get<NrrdLayout>(layout);
    record.sampleOffset = checkedLayout.sampleOffset();
    return NrrdVolumeReader(file, std::move(header), checkedLayout, std::move(record));
}

// Many writers end a detached header with a blank line and nothing after it: the data
// is attached only when bytes follow that line.
bool NrrdVolumeReader::hasAttachedData() const {
    return m_header.dataFileText.isEmpty() && m_file.attachedData().size() > 0;
}

QString NrrdVolumeReader::dataFilePath() const {
    if (m_header.dataFileText.isEmpty() || namesSeveralFiles(m_header.dataFileText))
        return {};
    return QDir::cleanPath(QFileInfo(m_file.path()).dir().filePath(m_header.dataFileText));
}

NrrdResult<NrrdDataSource> NrrdVolumeReader::resolveData(const NrrdDataChoice& choice) const {
    switch (choice.kind()) {
    case NrrdDataChoice::Kind::Cancelled:
        return NrrdRefusal{QStringLiteral("No data file was chosen.")};
    case NrrdDataChoice::Kind::File:
        return openDataFile(choice.path());
    case NrrdDataChoice::Kind::FromHeader:
        break;
    }
    if (hasAttachedData())
        return NrrdDataSource{m_file.path(), true, m_file.attachedData()};
    if (m_header.dataFileText.isEmpty())
        return NrrdRefusal{QStringLiteral("The header names no data file and has no data attached.")};
    if (namesSeveralFiles(m_header.dataFileText))
        return NrrdRefusal{
            QStringLiteral("Volumes stored in several data files (\"data file: %1\") are not supported.")
                .arg(m_header.dataFileText)};
    return openDataFile(dataFilePath());
}

NrrdResult<NRRDfmt> NrrdVolumeReader::readVolume(const NrrdDataSource& source,
                                                 const NrrdProgress& progress) const {
    const std::size_t samples = std::size_t{m_record.width} * m_record.height * m_record.depth;
    NrrdResult<NrrdDecoder::Voxels> voxels = NrrdDecoder(m_layout, samples, progress).decode(source.bytes);
    if (const auto* refusal = std::get_if<NrrdRefusal>(&voxels)) {
        // Whoever reports the refusal names the header; a separate data file is named here.
        if (source.attached)
            return *refusal;
        return NrrdRefusal{QStringLiteral("%1: %2").arg(QFileInfo(source.path).fileName(), refusal->reason)};
    }
    NRRDfmt record = m_record;
    record.data = std::get<NrrdDecoder::Voxels>(voxels).data;
    record.sampleOffset = std::get<NrrdDecoder::Voxels>(voxels).sampleOffset;
    return record;
}

NrrdResult<NRRDfmt> NrrdVolumeReader::readVolume(const NrrdDataChoice& choice,
                                                 const NrrdProgress& progress) const {
    NrrdResult<NrrdDataSource> source = resolveData(choice);
    if (const auto* refusal = std::get_if<NrrdRefusal>(&source))
        return *refusal;
    return readVolume(std::get<NrrdDataSource>(source), progress);
}
