// Index of this file: the shape and peak-memory checks (checkShape, decodedBytesPerVoxel,
// headerPeak); voxel spacing from "space directions" or "spacings" (usableSpacing,
// voxelSpacing); NrrdVolumeReader: open and fromHeaderFile (the header and its record),
// locateData and resolveData (which data files the volume lies in), readIntoMemory, then
// readVolume, which either decodes (decode) or reads the raw samples in place (readInPlace).

#include "volume/nrrd/NrrdVolumeReader.h"

#include "volume/core/VolumeSize.h"
#include "volume/files/RegularFile.h"
#include "volume/nrrd/NrrdDataFiles.h"
#include "volume/nrrd/NrrdDecoder.h"
#include "volume/samples/SampleTexels.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

Q_LOGGING_CATEGORY(lcNrrd, "voxview.nrrd")

namespace {

constexpr std::int32_t kVolumeDimension = 3;
constexpr float kFallbackSpacing = 1.0f;
// Directions turned less than this from the axes of space are written rounded, not oblique.
constexpr double kTiltToleranceDegrees = 0.1;
// Of an import's progress, reading the files into memory takes about this share.
constexpr double kReadShare = 0.3;
constexpr std::array kAxisNames{'x', 'y', 'z'};

std::optional<ImportRefusal> checkShape(const NrrdHeader& header) {
    if (!header.dimension)
        return ImportRefusal{QStringLiteral("The header has no \"dimension:\" line.")};
    if (*header.dimension != kVolumeDimension)
        return ImportRefusal{QStringLiteral("The data has %1 dimensions; only 3-D volumes can be shown.")
                                 .arg(*header.dimension)};
    if (!header.sizes)
        return ImportRefusal{QStringLiteral("The header has no \"sizes:\" line with three sizes.")};
    const std::array<std::int32_t, 3>& sizes = *header.sizes;
    if (header.sizeCount != kVolumeDimension)
        return ImportRefusal{
            QStringLiteral("The \"sizes:\" line lists %1 sizes for a 3-D volume.").arg(header.sizeCount)};
    return refuseVolumeShape(sizes[0], sizes[1], sizes[2]);
}

// What decoding holds for each voxel beside the data read from the files (NrrdDecoder):
// the decoded samples unless raw ones are used where they lie, the samples of several
// files gathered into one array (and one file's decoded share, at most as large), a
// byte-swapped copy of raw wide samples, and the texels unless 16-bit samples become
// texels where they lie.
std::size_t decodedBytesPerVoxel(const NrrdLayout& layout, bool severalFiles) {
    const auto sampleBytes = static_cast<std::size_t>(layout.bytesPerSample());
    const bool raw = layout.encoding == NrrdLayout::Encoding::Raw;
    const bool owned = !raw || severalFiles;
    std::size_t bytes = 0;
    if (severalFiles)
        bytes += raw ? sampleBytes : 2 * sampleBytes;
    else if (!raw)
        bytes += sampleBytes;
    const bool swapped = layout.isBinary() && layout.bigEndian != (std::endian::native == std::endian::big);
    if (!isTextureSampleType(layout.sampleType))
        return bytes + (!owned && swapped ? sampleBytes : 0) + kTexelBytes;
    const bool texelsInPlace =
        sampleBytes == kTexelBytes && (owned || (layout.sampleType == SampleType::UInt16 && !swapped));
    return bytes + (texelsInPlace ? 0 : kTexelBytes);
}

// The peak of decoding as far as the header tells: raw data read into memory is the
// samples themselves; compressed or text data is counted once its size is known.
DecodePeak headerPeak(const NrrdLayout& layout, bool severalFiles) {
    const bool raw = layout.encoding == NrrdLayout::Encoding::Raw;
    return {decodedBytesPerVoxel(layout, severalFiles) +
                (raw ? static_cast<std::size_t>(layout.bytesPerSample()) : 0),
            0};
}

// Whether a volume of this shape and layout is read in place: too large to decode within
// the RAM budget or for one texture, with samples that can be read as they lie.
bool isReadInPlace(const std::array<std::int32_t, 3>& sizes, const NrrdLayout& layout, bool severalFiles,
                   const ImportOptions& options) {
    if (!InPlaceVolumeSource::canRead(layout))
        return false;
    const auto [width, height, depth] = sizes;
    const std::optional<std::uint64_t> peak =
        peakBytes(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height),
                  static_cast<std::uint64_t>(depth), headerPeak(layout, severalFiles));
    return !peak || *peak > options.ramBudgetBytes ||
           static_cast<std::uint64_t>(std::max({width, height, depth})) > options.maxTextureSize;
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
    if (header.directionSpacing && header.directionTilt > kTiltToleranceDegrees) {
        notes << QStringLiteral("The space directions of %1 are oblique to the axes of space (up to %2°): "
                                "shown in voxel order, not turned upright.")
                     .arg(headerName)
                     .arg(header.directionTilt, 0, 'f', 1);
        qCInfo(lcNrrd).noquote() << notes.back();
    }
    return spacing;
}

// The patient directions of the voxel axes, where the header's space names patient axes
// (LPS, RAS, LAS, long or short) and gives a vector for every axis. Scanner and
// right-handed spaces name no side of the patient.
std::optional<PatientOrientation> patientOrientation(const NrrdHeader& header) {
    if (!header.directionVectors)
        return std::nullopt;
    const QString space = header.space.toLower();
    // The signs that carry the space's x and y into LPS (superior is +z in all three).
    double toLeft = 0.0;
    double toPosterior = 0.0;
    if (space == u"left-posterior-superior" || space == u"lps") {
        toLeft = toPosterior = 1.0;
    } else if (space == u"right-anterior-superior" || space == u"ras") {
        toLeft = toPosterior = -1.0;
    } else if (space == u"left-anterior-superior" || space == u"las") {
        toLeft = 1.0;
        toPosterior = -1.0;
    } else {
        return std::nullopt;
    }
    std::array<PatientOrientation::Direction, 3> vectors{};
    for (int axis = 0; axis < kVolumeDimension; ++axis) {
        const NrrdHeader::AxisSpacing& v = (*header.directionVectors)[axis];
        vectors[axis] = {v[0] * toLeft, v[1] * toPosterior, v[2]};
    }
    return PatientOrientation::fromVectors(vectors);
}

// A data file named or chosen, before anything is read from it. Devices and pipes (a
// header naming /dev/zero) would never end; every encoding needs at least a byte, so an
// empty file, or a file under /proc that tells no size, holds no volume.
ImportResult<InPlaceVolumeSource::DataFile> locateDataFile(const QString& path) {
    const ImportResult<std::uint64_t> size = RegularFile::sizeOf(path);
    if (const auto* refusal = std::get_if<ImportRefusal>(&size))
        return ImportRefusal{QStringLiteral("The data file %1").arg(refusal->reason)};
    if (std::get<std::uint64_t>(size) == 0)
        return ImportRefusal{QStringLiteral("The data file %1 is empty.").arg(QFileInfo(path).fileName())};
    return InPlaceVolumeSource::DataFile{path, 0};
}

} // namespace

NrrdVolumeReader::NrrdVolumeReader(NrrdHeaderFile file, NrrdHeader header, NrrdLayout layout,
                                   VolumeRecord record, const ImportOptions& options)
    : m_file(std::move(file)), m_header(std::move(header)), m_layout(layout), m_record(std::move(record)),
      m_options(options),
      m_readsInPlace(isReadInPlace(*m_header.sizes, m_layout, hasSeveralDataFiles(), options)) {}

ImportResult<NrrdVolumeReader> NrrdVolumeReader::open(const QString& headerPath,
                                                      const ImportOptions& options) {
    ImportResult<NrrdHeaderFile> file = NrrdHeaderFile::read(headerPath);
    if (const auto* refusal = std::get_if<ImportRefusal>(&file))
        return *refusal;
    return fromHeaderFile(std::get<NrrdHeaderFile>(file), options);
}

ImportResult<NrrdVolumeReader> NrrdVolumeReader::fromHeaderFile(const NrrdHeaderFile& file,
                                                                const ImportOptions& options) {
    NrrdHeader header = NrrdHeader::parse(file.text());
    if (const std::optional<ImportRefusal> refusal = checkShape(header))
        return *refusal;
    ImportResult<NrrdLayout> layout = NrrdLayout::fromHeader(header);
    if (const auto* refusal = std::get_if<ImportRefusal>(&layout))
        return *refusal;
    const NrrdLayout& samples = std::get<NrrdLayout>(layout);
    const std::array<std::int32_t, 3>& sizes = *header.sizes;
    const bool severalFiles = NrrdDataFiles::namesSeveral(header.dataFileText);
    if (!isReadInPlace(sizes, samples, severalFiles, options)) {
        if (const std::optional<ImportRefusal> refusal =
                refuseVolumeSize(sizes[0], sizes[1], sizes[2], options, headerPeak(samples, severalFiles)))
            return *refusal;
    }

    VolumeRecord record;
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
    record.orientation = patientOrientation(header);
    record.encoding = header.encoding;
    record.dataFile = header.dataFile;
    return NrrdVolumeReader(file, std::move(header), samples, std::move(record), options);
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

ImportResult<NrrdDataSource> NrrdVolumeReader::locateData(const NrrdDataChoice& choice,
                                                          const ImportProgress& progress) const {
    std::vector<QString> paths;
    switch (choice.kind()) {
    case NrrdDataChoice::Kind::Cancelled:
        return ImportRefusal{QStringLiteral("No data file was chosen.")};
    case NrrdDataChoice::Kind::File:
        paths.push_back(choice.path());
        break;
    case NrrdDataChoice::Kind::FromHeader:
        if (hasAttachedData())
            return NrrdDataSource{m_file.path(), true, {}, {{m_file.path(), *m_file.dataStart()}}};
        if (m_header.dataFileText.isEmpty())
            return ImportRefusal{QStringLiteral("The header names no data file and has no data attached.")};
        if (!hasSeveralDataFiles()) {
            paths.push_back(dataFilePath());
            break;
        }
        ImportResult<QStringList> listed =
            NrrdDataFiles::list(m_header, *m_header.sizes, QFileInfo(m_file.path()).absolutePath());
        if (const auto* refusal = std::get_if<ImportRefusal>(&listed))
            return *refusal;
        for (const QString& path : std::get<QStringList>(listed))
            paths.push_back(path);
        break;
    }
    NrrdDataSource source{paths.front(), false, {}, {}};
    for (const QString& path : paths) {
        if (progress.stopRequested())
            return cancelledImport();
        ImportResult<InPlaceVolumeSource::DataFile> file = locateDataFile(path);
        if (const auto* refusal = std::get_if<ImportRefusal>(&file))
            return *refusal;
        source.located.push_back(std::get<InPlaceVolumeSource::DataFile>(file));
    }
    return source;
}

ImportResult<NrrdDataSource> NrrdVolumeReader::resolveData(const NrrdDataChoice& choice,
                                                           const ImportProgress& progress) const {
    ImportResult<NrrdDataSource> located = locateData(choice, progress);
    if (const auto* refusal = std::get_if<ImportRefusal>(&located))
        return *refusal;
    if (m_readsInPlace)
        return located;
    return readIntoMemory(std::get<NrrdDataSource>(std::move(located)), progress);
}

ImportResult<NrrdDataSource> NrrdVolumeReader::readIntoMemory(NrrdDataSource source,
                                                              const ImportProgress& progress) const {
    std::uint64_t input = 0;
    for (const InPlaceVolumeSource::DataFile& file : source.located)
        input += static_cast<std::uint64_t>(QFileInfo(file.path).size()) - file.dataStart;
    // The data read stays in memory while it is decoded.
    const std::uint64_t decoded = peakBytes(m_record.width, m_record.height, m_record.depth,
                                            {decodedBytesPerVoxel(m_layout, source.located.size() > 1), 0})
                                      .value_or(std::numeric_limits<std::uint64_t>::max());
    if (input > m_options.ramBudgetBytes || decoded > m_options.ramBudgetBytes - input)
        return ImportRefusal{
            QStringLiteral("The data of %1 needs %2 MB read into memory and %3 MB decoded beside it, more "
                           "than the RAM budget of %4 MB; only raw 8- and 16-bit samples are read in place.")
                .arg(QFileInfo(source.path).fileName(), megabytesText(input), megabytesText(decoded),
                     megabytesText(m_options.ramBudgetBytes))};
    if (source.attached) {
        ImportResult<ByteBuffer> attached = m_file.readAttachedData(progress);
        if (const auto* refusal = std::get_if<ImportRefusal>(&attached))
            return *refusal;
        source.files.push_back(std::get<ByteBuffer>(std::move(attached)));
        return source;
    }
    const double share = 1.0 / static_cast<double>(source.located.size());
    for (const InPlaceVolumeSource::DataFile& file : source.located) {
        QString error;
        const ByteBuffer bytes = ByteBuffer::readFile(
            file.path, &error, progress.part(share * static_cast<double>(source.files.size()), share));
        if (progress.stopRequested())
            return cancelledImport();
        if (bytes.isNull())
            return ImportRefusal{QStringLiteral("Cannot read the data file %1: %2.")
                                     .arg(QFileInfo(file.path).fileName(), error)};
        source.files.push_back(bytes);
    }
    return source;
}

ImportResult<VolumeRecord> NrrdVolumeReader::readInPlace(const NrrdDataSource& source) const {
    ImportResult<std::shared_ptr<const InPlaceVolumeSource>> opened =
        InPlaceVolumeSource::open(source.located, m_layout, m_record.width, m_record.height, m_record.depth);
    if (const auto* refusal = std::get_if<ImportRefusal>(&opened))
        return *refusal;
    VolumeRecord record = m_record;
    record.source = std::get<std::shared_ptr<const InPlaceVolumeSource>>(std::move(opened));
    record.sampleOffset = texelSampleOffset(m_layout.sampleType);
    return record;
}

ImportResult<VolumeRecord> NrrdVolumeReader::readVolume(const NrrdDataSource& source,
                                                        const ImportProgress& progress) const {
    const std::size_t samples = std::size_t{m_record.width} * m_record.height * m_record.depth;
    ImportResult<VolumeRecord> read =
        m_readsInPlace ? readInPlace(source) : decode(source, samples, progress);
    if (const auto* refusal = std::get_if<ImportRefusal>(&read)) {
        // Whoever reports the refusal names the header; a separate data file is named here.
        if (source.attached || progress.stopRequested())
            return *refusal;
        return ImportRefusal{
            QStringLiteral("%1: %2").arg(QFileInfo(source.path).fileName(), refusal->reason)};
    }
    return read;
}

ImportResult<VolumeRecord> NrrdVolumeReader::decode(const NrrdDataSource& source, std::size_t samples,
                                                    const ImportProgress& progress) const {
    ImportResult<NrrdDecoder::Voxels> voxels = NrrdDecoder(m_layout, samples, progress).decode(source.files);
    if (const auto* refusal = std::get_if<ImportRefusal>(&voxels))
        return *refusal;
    const NrrdDecoder::Voxels& decoded = std::get<NrrdDecoder::Voxels>(voxels);
    VolumeRecord record = m_record;
    record.data = decoded.data;
    record.sampleOffset = decoded.sampleOffset;
    record.valueScale = decoded.valueScale;
    record.valueOffset = decoded.valueOffset;
    record.notes += decoded.notes;
    return record;
}

ImportResult<VolumeRecord> NrrdVolumeReader::readVolume(const NrrdDataChoice& choice,
                                                        const ImportProgress& progress) const {
    ImportResult<NrrdDataSource> source = resolveData(choice, progress.part(0.0, kReadShare));
    if (const auto* refusal = std::get_if<ImportRefusal>(&source))
        return *refusal;
    return readVolume(std::get<NrrdDataSource>(source), progress.part(kReadShare, 1.0 - kReadShare));
}
