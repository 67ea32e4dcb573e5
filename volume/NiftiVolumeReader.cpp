#include "NiftiVolumeReader.h"

#include "RegularFile.h"
#include "TexelConverter.h"
#include "VolumeSize.h"

#include <QFile>
#include <QFileInfo>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <nifti2_io.h>
#include <optional>

namespace {

constexpr float kFallbackSpacing = 1.0f;
constexpr int kAxes = 3;
constexpr int kTimeAxis = 4;
constexpr int kLastAxis = 7;
// nifti_read_collapsed_image: -1 takes every index of an axis.
constexpr std::int64_t kWholeAxis = -1;
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
std::optional<NrrdRefusal> refuseSpecialPartner(const QString& path) {
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
    const auto firstRegular = [&](const auto& order) -> std::optional<NrrdRefusal> {
        for (const char* suffix : order) {
            const QString candidate =
                base + (upper ? QString::fromLatin1(suffix).toUpper() : QLatin1String(suffix));
            if (!QFileInfo::exists(candidate))
                continue;
            const NrrdResult<std::uint64_t> checked = RegularFile::sizeOf(candidate);
            if (const auto* refusal = std::get_if<NrrdRefusal>(&checked))
                return *refusal;
            return std::nullopt;
        }
        return std::nullopt;
    };
    std::optional<NrrdRefusal> refusal;
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
std::optional<NrrdRefusal> refuseShortSamples(const nifti_image& image, std::uint64_t sampleBytes) {
    if (image.iname == nullptr || nifti_is_gzfile(image.iname))
        return std::nullopt;
    const QString samplesPath = QFile::decodeName(image.iname);
    const NrrdResult<std::uint64_t> size = RegularFile::sizeOf(samplesPath);
    if (const auto* refusal = std::get_if<NrrdRefusal>(&size))
        return *refusal;
    const std::uint64_t end =
        static_cast<std::uint64_t>(std::max<std::int64_t>(image.iname_offset, 0)) + sampleBytes;
    if (std::get<std::uint64_t>(size) >= end)
        return std::nullopt;
    return NrrdRefusal{QStringLiteral("The samples of %1 cannot be read: the file is short or damaged (%2 "
                                      "bytes, where its samples end at byte %3).")
                           .arg(QFileInfo(samplesPath).fileName())
                           .arg(std::get<std::uint64_t>(size))
                           .arg(end)};
}

} // namespace

NrrdResult<NRRDfmt> NiftiVolumeReader::read(const QString& path, const NrrdReadOptions& options,
                                            const NrrdProgress& progress) {
    // nifticlib's messages go to stderr; its failures reach the user as refusals instead.
    static std::once_flag quiet;
    std::call_once(quiet, [] { nifti_set_debug_level(0); });

    const QString name = QFileInfo(path).fileName();
    const NrrdResult<std::uint64_t> checked = RegularFile::sizeOf(path);
    if (const auto* refusal = std::get_if<NrrdRefusal>(&checked))
        return *refusal;
    if (std::optional<NrrdRefusal> refusal = refuseSpecialPartner(path))
        return *refusal;
    if (progress.stopRequested())
        return cancelledImport();
    const QByteArray nativePath = QFile::encodeName(path);
    const Image image(nifti_image_read(nativePath.constData(), 0));
    if (!image)
        return NrrdRefusal{QStringLiteral("%1 is not a NIfTI file that can be read.").arg(name)};

    for (int axis = kTimeAxis + 1; axis <= kLastAxis; ++axis) {
        if (image->dim[axis] > 1)
            return NrrdRefusal{
                QStringLiteral("%1 has %2 dimensions; only 3-D volumes and the first volume of a 4-D series "
                               "can be shown.")
                    .arg(name)
                    .arg(image->ndim)};
    }
    const std::optional<SampleType> type = sampleType(image->datatype);
    if (!type)
        return NrrdRefusal{QStringLiteral("Samples of type %1 cannot be shown; integer and real samples can.")
                               .arg(QString::fromLatin1(nifti_datatype_to_string(image->datatype)))};
    const std::int64_t width = image->nx;
    const std::int64_t height = image->ny;
    const std::int64_t depth = std::max<std::int64_t>(image->nz, 1);
    if (const std::optional<NrrdRefusal> refusal = refuseVolumeSize(width, height, depth, options))
        return *refusal;
    const std::size_t count = static_cast<std::size_t>(width * height * depth);
    if (const std::optional<NrrdRefusal> refusal = refuseShortSamples(*image, count * sampleTypeBytes(*type)))
        return *refusal;

    NRRDfmt record;
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

    const std::int64_t volumes = std::max<std::int64_t>(image->nt, 1);
    if (volumes > 1)
        record.notes
            << QStringLiteral("%1 holds a series of %2 volumes; the first is shown.").arg(name).arg(volumes);

    const double unit = millimetresPerUnit(image->xyz_units);
    float* const spacings[kAxes] = {&record.cellspaceX, &record.cellspaceY, &record.cellspaceZ};
    bool assumed = false;
    for (int axis = 0; axis < kAxes; ++axis) {
        const double spacing = std::fabs(image->pixdim[axis + 1]) * unit;
        const bool usable =
            std::isfinite(spacing) && spacing > 0.0 && spacing <= std::numeric_limits<float>::max();
        *spacings[axis] = usable ? static_cast<float>(spacing) : kFallbackSpacing;
        assumed = assumed || !usable;
    }
    if (assumed)
        record.notes
            << QStringLiteral("%1 gives no usable voxel spacing on every axis; 1.0 stands in.").arg(name);

    // Only the first volume of a series is read, never the rest.
    std::int64_t collapse[kLastAxis + 1];
    std::fill(std::begin(collapse), std::end(collapse), kWholeAxis);
    if (volumes > 1)
        collapse[kTimeAxis] = 0;
    if (progress.stopRequested())
        return cancelledImport();
    void* samples = nullptr;
    const std::int64_t bytes = nifti_read_collapsed_image(image.get(), collapse, &samples);
    const std::unique_ptr<void, MallocFree> owned(samples);
    if (progress.stopRequested())
        return cancelledImport();
    if (bytes < 0 || samples == nullptr || static_cast<std::size_t>(bytes) < count * sampleTypeBytes(*type))
        return NrrdRefusal{
            QStringLiteral("The samples of %1 cannot be read: the file is short or damaged.").arg(name)};

    NrrdResult<TexelConverter::Texels> texels =
        TexelConverter(*type, count, progress)
            .convert(std::span<const std::byte>(static_cast<const std::byte*>(samples),
                                                count * sampleTypeBytes(*type)));
    if (const auto* refusal = std::get_if<NrrdRefusal>(&texels))
        return *refusal;
    TexelConverter::Texels& converted = std::get<TexelConverter::Texels>(texels);
    record.data = converted.data;
    record.sampleOffset = converted.sampleOffset;
    record.valueScale = converted.valueScale;
    record.valueOffset = converted.valueOffset;
    record.notes += converted.notes;

    // The file's values are slope × stored + intercept; a slope of 0 means unscaled.
    const double slope = image->scl_slope;
    const double intercept = std::isfinite(image->scl_inter) ? image->scl_inter : 0.0;
    if (std::isfinite(slope) && slope != 0.0) {
        record.valueScale *= slope;
        record.valueOffset = record.valueOffset * slope + intercept;
    }
    if (std::isfinite(image->cal_min) && std::isfinite(image->cal_max) && image->cal_max > image->cal_min)
        record.fileWindow =
            NRRDfmt::Window{(image->cal_min + image->cal_max) / 2.0, image->cal_max - image->cal_min};
    return record;
}
