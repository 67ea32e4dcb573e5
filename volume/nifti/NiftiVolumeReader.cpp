// Index of this file: nifticlib's datatypes as sample types (sampleType); the header's facts
// read before nifticlib allocates (HeaderFacts, headerFacts); reading the samples
// (readSamples, refuseShortSamples) and their scaling (applyRescale); spatial units
// (millimetresPerUnit); the .hdr/.img partner check (refuseSpecialPartner);
// NiftiVolumeReader::read.

#include "volume/nifti/NiftiVolumeReader.h"

#include "volume/core/ByteBuffer.h"
#include "volume/core/VolumeSize.h"
#include "volume/files/RegularFile.h"
#include "volume/nifti/NiftiHeaderCheck.h"
#include "volume/samples/SampleTexels.h"
#include "volume/samples/TexelConverter.h"

#include <QFile>
#include <QFileInfo>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <nifti2_io.h>
#include <optional>
#include <span>

namespace {

constexpr float kFallbackSpacing = 1.0f;
constexpr int kAxes = 3;
constexpr int kTimeAxis = 4;
constexpr int kLastAxis = 7;
constexpr double kMillimetresPerMetre = 1000.0;
constexpr double kMillimetresPerMicron = 0.001;

struct ImageFree {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using Image = std::unique_ptr<nifti_image, ImageFree>;

struct MallocFree {
    void operator()(void* data) const { std::free(data); }
};

std::optional<SampleType> sampleType(int datatype) {
    switch (datatype) {
    case DT_UINT8:
        return SampleType::UInt8;
    case DT_INT8:
        return SampleType::Int8;
    case DT_UINT16:
        return SampleType::UInt16;
    case DT_INT16:
        return SampleType::Int16;
    case DT_UINT32:
        return SampleType::UInt32;
    case DT_INT32:
        return SampleType::Int32;
    case DT_UINT64:
        return SampleType::UInt64;
    case DT_INT64:
        return SampleType::Int64;
    case DT_FLOAT32:
        return SampleType::Float32;
    case DT_FLOAT64:
        return SampleType::Float64;
    default:
        return std::nullopt;
    }
}

// What the header says that nifticlib's image of it does not: where nifticlib may keep
// header extensions, which it reads whole along with the header (the space before the
// samples of a single file, vox_offset, or the header file of a pair), and whether the
// rescale and the display range are finite (nifticlib turns a NaN or an infinity there
// into 0, "none", without a word).
struct HeaderFacts {
    std::uint64_t extensionRoom = 0;
    bool finiteRescale = true;
    bool finiteRange = true;
};

template <typename Header> HeaderFacts factsOf(const Header& header) {
    HeaderFacts facts;
    facts.finiteRescale = std::isfinite(header.scl_slope) && std::isfinite(header.scl_inter);
    facts.finiteRange = std::isfinite(header.cal_min) && std::isfinite(header.cal_max);
    return facts;
}

// Nothing when the file has no NIfTI header or its data offset is no byte count.
std::optional<HeaderFacts> headerFacts(const QByteArray& nativePath) {
    const std::unique_ptr<char, MallocFree> headerName(nifti_findhdrname(nativePath.constData()));
    if (!headerName)
        return std::nullopt;
    int version = 0;
    const std::unique_ptr<void, MallocFree> header(nifti_read_header(headerName.get(), &version, 1));
    if (!header)
        return std::nullopt;
    HeaderFacts facts;
    double offset = 0.0;
    bool oneFile = false;
    if (version == 2) {
        const auto& nifti2 = *static_cast<const nifti_2_header*>(header.get());
        facts = factsOf(nifti2);
        offset = static_cast<double>(nifti2.vox_offset);
        oneFile = nifti2.magic[1] == '+';
    } else {
        const auto& nifti1 = *static_cast<const nifti_1_header*>(header.get());
        facts = factsOf(nifti1);
        offset = nifti1.vox_offset;
        oneFile = NIFTI_ONEFILE(nifti1);
    }
    if (!oneFile) {
        facts.extensionRoom =
            static_cast<std::uint64_t>(QFileInfo(QFile::decodeName(headerName.get())).size());
        return facts;
    }
    constexpr double kLargestOffset = 0x1p62;
    if (!(offset >= 0.0 && offset <= kLargestOffset))
        return std::nullopt;
    facts.extensionRoom = static_cast<std::uint64_t>(offset);
    return facts;
}

// Reads the first `bytes` of the samples (the first volume of a series) into `into`, in
// host byte order, through nifticlib's own reader. Short or unreadable data gives false.
bool readSamples(nifti_image& image, void* into, std::size_t bytes) {
    if (image.iname == nullptr || image.iname_offset < 0)
        return false;
    znzFile file = znzopen(image.iname, "rb", nifti_is_gzfile(image.iname));
    if (znz_isnull(file))
        return false;
    const bool read = znzseek(file, static_cast<long>(image.iname_offset), SEEK_SET) >= 0 &&
                      nifti_read_buffer(file, into, static_cast<std::int64_t>(bytes), &image) ==
                          static_cast<std::int64_t>(bytes);
    znzclose(file);
    return read;
}

// The file's values are scl_slope × stored + scl_inter, a slope of 0 meaning none. A
// rescale that is not finite, that would carry some texel's value beyond the largest
// double, or whose scale is too small for a double to hold (every value the same), is left
// out with a note: the stored values are shown as they are.
void applyRescale(const nifti_image& image, const QString& name, VolumeRecord& record) {
    const double slope = image.scl_slope;
    const double intercept = image.scl_inter;
    if (slope == 0.0)
        return;
    const double scale = record.valueScale * slope;
    const double offset = std::fma(record.valueOffset, slope, intercept);
    constexpr double kLargestTexel = 65535.0;
    const double low = std::fma(record.sampleOffset, scale, offset);
    const double high = std::fma(kLargestTexel + record.sampleOffset, scale, offset);
    if (scale != 0.0 && std::isfinite(scale) && std::isfinite(offset) && std::isfinite(low) &&
        std::isfinite(high)) {
        record.valueScale = scale;
        record.valueOffset = offset;
        return;
    }
    record.notes << QStringLiteral("%1's rescale (scl_slope %2, scl_inter %3) cannot be held in real "
                                   "numbers; the stored values are shown.")
                        .arg(name)
                        .arg(slope)
                        .arg(intercept);
}

double millimetresPerUnit(int xyzUnits) {
    switch (XYZT_TO_SPACE(xyzUnits)) {
    case NIFTI_UNITS_METER:
        return kMillimetresPerMetre;
    case NIFTI_UNITS_MICRON:
        return kMillimetresPerMicron;
    default:
        return 1.0; // millimetres, or no unit given: NIfTI's customary unit
    }
}

// The patient directions of the voxel axes from the affine that maps voxels into RAS+
// space: the sform where its code names a space, else the qform where its code does.
// With both codes 0 the file places its voxels nowhere in the patient.
std::optional<PatientOrientation> patientOrientation(const nifti_image& image) {
    const nifti_dmat44* affine = image.sform_code > 0   ? &image.sto_xyz
                                 : image.qform_code > 0 ? &image.qto_xyz
                                                        : nullptr;
    if (affine == nullptr)
        return std::nullopt;
    std::array<PatientOrientation::Direction, kAxes> vectors{};
    for (int axis = 0; axis < kAxes; ++axis)
        vectors[axis] =
            PatientOrientation::fromRas({affine->m[0][axis], affine->m[1][axis], affine->m[2][axis]});
    return PatientOrientation::fromVectors(vectors);
}

// The extensions nifticlib knows, plain and compressed, as it matches them: in lower
// or in upper case, not mixed.
constexpr std::array kExtensions{".nii", ".hdr", ".img", ".nia", ".nii.gz", ".hdr.gz", ".img.gz"};
// The names nifticlib tries, in order, taking the first that opens: for the header of
// an ".img", and for the samples of a one-file header and of a header with its own
// ".img" (which of the two the header's magic decides: both are checked).
constexpr std::array kHeaderOfImage{".hdr", ".hdr.gz", ".nii", ".nii.gz"};
constexpr std::array kImageOfOneFile{".nii", ".nii.gz", ".img", ".img.gz"};
constexpr std::array kImageOfPair{".img", ".img.gz", ".nii", ".nii.gz"};

// nifticlib finds the other file of a pair by name and opens it itself, and an open of
// a named pipe blocks until someone writes to it. Every name it may open before it
// reaches a regular file is checked here, before it is called.
std::optional<ImportRefusal> refuseSpecialPartner(const QString& path) {
    QString base = path;
    bool upper = false;
    for (const char* known : kExtensions) {
        const QString extension = path.right(static_cast<qsizetype>(std::strlen(known)));
        if (extension.compare(QLatin1String(known), Qt::CaseInsensitive) == 0 &&
            (extension == extension.toLower() || extension == extension.toUpper())) {
            base.chop(extension.size());
            upper = extension != extension.toLower();
        }
    }
    const auto firstRegular = [&](const auto& order) -> std::optional<ImportRefusal> {
        for (const char* suffix : order) {
            const QString candidate =
                base + (upper ? QString::fromLatin1(suffix).toUpper() : QLatin1String(suffix));
            if (!QFileInfo::exists(candidate))
                continue;
            const ImportResult<std::uint64_t> checked = RegularFile::sizeOf(candidate);
            if (const auto* refusal = std::get_if<ImportRefusal>(&checked))
                return *refusal;
            return std::nullopt;
        }
        return std::nullopt;
    };
    std::optional<ImportRefusal> refusal;
    if (path.right(4).compare(QLatin1String(".img"), Qt::CaseInsensitive) == 0 ||
        path.right(7).compare(QLatin1String(".img.gz"), Qt::CaseInsensitive) == 0)
        refusal = firstRegular(kHeaderOfImage);
    if (!refusal)
        refusal = firstRegular(kImageOfOneFile);
    if (!refusal)
        refusal = firstRegular(kImageOfPair);
    return refusal;
}

// nifticlib reads exactly the samples it needs, from a file that must hold them: one
// that tells fewer bytes (a file under /proc tells 0) is refused before it is read.
// A compressed file's size says nothing of what it inflates to.
std::optional<ImportRefusal> refuseShortSamples(const nifti_image& image, std::uint64_t sampleBytes) {
    if (image.iname == nullptr || nifti_is_gzfile(image.iname))
        return std::nullopt;
    const QString samplesPath = QFile::decodeName(image.iname);
    const ImportResult<std::uint64_t> size = RegularFile::sizeOf(samplesPath);
    if (const auto* refusal = std::get_if<ImportRefusal>(&size))
        return *refusal;
    const std::uint64_t end =
        static_cast<std::uint64_t>(std::max<std::int64_t>(image.iname_offset, 0)) + sampleBytes;
    if (std::get<std::uint64_t>(size) >= end)
        return std::nullopt;
    return ImportRefusal{QStringLiteral("The samples of %1 cannot be read: the file is short or damaged (%2 "
                                        "bytes, where its samples end at byte %3).")
                             .arg(QFileInfo(samplesPath).fileName())
                             .arg(std::get<std::uint64_t>(size))
                             .arg(end)};
}

} // namespace

ImportResult<VolumeRecord> NiftiVolumeReader::read(const QString& path, const ImportOptions& options,
                                                   const ImportProgress& progress) {
    // nifticlib's messages go to stderr; its failures reach the user as refusals instead.
    static std::once_flag quiet;
    std::call_once(quiet, [] { nifti_set_debug_level(0); });

    const QString name = QFileInfo(path).fileName();
    const ImportResult<std::uint64_t> checked = RegularFile::sizeOf(path);
    if (const auto* refusal = std::get_if<ImportRefusal>(&checked))
        return *refusal;
    if (std::optional<ImportRefusal> refusal = refuseSpecialPartner(path))
        return *refusal;
    if (progress.stopRequested())
        return cancelledImport();
    if (const std::optional<ImportRefusal> refusal = NiftiHeaderCheck::check(path))
        return *refusal;
    const QByteArray nativePath = QFile::encodeName(path);
    const std::optional<HeaderFacts> facts = headerFacts(nativePath);
    if (!facts)
        return ImportRefusal{QStringLiteral("%1 is not a NIfTI file that can be read.").arg(name)};
    if (facts->extensionRoom > options.ramBudgetBytes)
        return ImportRefusal{
            QStringLiteral("%1 leaves room for %2 MB of header extensions, which nifticlib "
                           "reads into memory: more than the RAM budget of %3 MB.")
                .arg(name, megabytesText(facts->extensionRoom), megabytesText(options.ramBudgetBytes))};
    const Image image(nifti_image_read(nativePath.constData(), 0));
    if (!image)
        return ImportRefusal{QStringLiteral("%1 is not a NIfTI file that can be read.").arg(name)};

    for (int axis = kTimeAxis + 1; axis <= kLastAxis; ++axis) {
        if (image->dim[axis] > 1)
            return ImportRefusal{
                QStringLiteral("%1 has %2 dimensions; only 3-D volumes and the first volume of a 4-D series "
                               "can be shown.")
                    .arg(name)
                    .arg(image->ndim)};
    }
    const std::optional<SampleType> type = sampleType(image->datatype);
    if (!type)
        return ImportRefusal{
            QStringLiteral("Samples of type %1 cannot be shown; integer and real samples can.")
                .arg(QString::fromLatin1(nifti_datatype_to_string(image->datatype)))};
    const std::int64_t width = image->nx;
    const std::int64_t height = image->ny;
    const std::int64_t depth = std::max<std::int64_t>(image->nz, 1);
    // 8- and 16-bit samples are read straight into the texels' memory and become texels
    // there; wider ones are held by nifticlib beside the texels made of them.
    const std::size_t sampleBytes = sampleTypeBytes(*type);
    const bool intoTexels = sampleBytes <= kTexelBytes;
    const DecodePeak peak{intoTexels ? kTexelBytes : sampleBytes + kTexelBytes, facts->extensionRoom};
    if (const std::optional<ImportRefusal> refusal = refuseVolumeSize(width, height, depth, options, peak))
        return *refusal;
    const std::size_t count = static_cast<std::size_t>(width * height * depth);
    if (const std::optional<ImportRefusal> refusal =
            refuseShortSamples(*image, count * sampleTypeBytes(*type)))
        return *refusal;

    VolumeRecord record;
    record.format = QStringLiteral("nifti");
    record.type = sampleTypeName(*type);
    record.dimension = static_cast<std::uint32_t>(image->ndim);
    record.width = static_cast<std::uint32_t>(width);
    record.height = static_cast<std::uint32_t>(height);
    record.depth = static_cast<std::uint32_t>(depth);
    record.encoding = QString::fromLocal8Bit(image->iname).endsWith(QLatin1String(".gz"))
                          ? QStringLiteral("gzip")
                          : QStringLiteral("raw");
    record.dataFile = QFile::decodeName(image->iname);
    record.orientation = patientOrientation(*image);

    const std::int64_t volumes = std::max<std::int64_t>(image->nt, 1);
    if (volumes > 1)
        record.notes
            << QStringLiteral("%1 holds a series of %2 volumes; the first is shown.").arg(name).arg(volumes);

    const double unit = millimetresPerUnit(image->xyz_units);
    float* const spacings[kAxes] = {&record.cellspaceX, &record.cellspaceY, &record.cellspaceZ};
    bool assumed = false;
    for (int axis = 0; axis < kAxes; ++axis) {
        const double spacing = std::fabs(image->pixdim[axis + 1]) * unit;
        // Kept by the record's float as a positive number (below float's smallest normal
        // value it would round to 0).
        const bool usable = std::isfinite(spacing) && spacing >= std::numeric_limits<float>::min() &&
                            spacing <= std::numeric_limits<float>::max();
        *spacings[axis] = usable ? static_cast<float>(spacing) : kFallbackSpacing;
        assumed = assumed || !usable;
    }
    if (assumed)
        record.notes
            << QStringLiteral("%1 gives no usable voxel spacing on every axis; 1.0 stands in.").arg(name);

    // Only the first volume of a series is read, never the rest.
    if (progress.stopRequested())
        return cancelledImport();
    const ImportRefusal damaged{
        QStringLiteral("The samples of %1 cannot be read: the file is short or damaged.").arg(name)};
    if (intoTexels) {
        QByteArray texels = ByteBuffer::allocate(count * kTexelBytes);
        // 8-bit samples land in the second half and widen forward into the first.
        std::byte* samples = reinterpret_cast<std::byte*>(texels.data()) + (sampleBytes == 1 ? count : 0);
        if (!readSamples(*image, samples, count * sampleBytes))
            return damaged;
        if (progress.stopRequested())
            return cancelledImport();
        samplesToTexels(*type, std::endian::native == std::endian::big, samples,
                        reinterpret_cast<std::byte*>(texels.data()), count);
        progress.report(1.0);
        record.data = ByteBuffer::fromByteArray(std::move(texels));
        record.sampleOffset = texelSampleOffset(*type);
    } else {
        QByteArray samples = ByteBuffer::allocate(count * sampleBytes);
        if (!readSamples(*image, samples.data(), count * sampleBytes))
            return damaged;
        if (progress.stopRequested())
            return cancelledImport();
        ImportResult<TexelConverter::Texels> texels =
            TexelConverter(*type, count, progress)
                .convert(
                    std::as_bytes(std::span(samples.constData(), static_cast<std::size_t>(samples.size()))));
        if (const auto* refusal = std::get_if<ImportRefusal>(&texels))
            return *refusal;
        TexelConverter::Texels& converted = std::get<TexelConverter::Texels>(texels);
        record.data = converted.data;
        record.sampleOffset = converted.sampleOffset;
        record.valueScale = converted.valueScale;
        record.valueOffset = converted.valueOffset;
        record.notes += converted.notes;
    }
    if (!facts->finiteRescale)
        record.notes << QStringLiteral("%1's rescale (scl_slope, scl_inter) is not a pair of finite numbers; "
                                       "the stored values are shown.")
                            .arg(name);
    applyRescale(*image, name, record);

    // The display range as a window: centre and width computed so that neither overflows.
    const double windowWidth = image->cal_max - image->cal_min;
    if (!facts->finiteRange)
        record.notes << QStringLiteral("%1's display range (cal_min, cal_max) is not a pair of finite "
                                       "numbers; it is not offered as a window.")
                            .arg(name);
    else if (std::isfinite(windowWidth) && windowWidth > 0.0)
        record.fileWindow = VolumeRecord::Window{image->cal_min / 2.0 + image->cal_max / 2.0, windowWidth};
    return record;
}
