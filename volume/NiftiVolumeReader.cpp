#include "NiftiVolumeReader.h"

#include "NiftiHeaderCheck.h"
#include "TexelConverter.h"
#include "VolumeSize.h"

#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <cstdlib>
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

} // namespace

NrrdResult<NRRDfmt> NiftiVolumeReader::read(const QString& path, const NrrdReadOptions& options,
                                            const NrrdProgress& progress) {
    // nifticlib's messages go to stderr; its failures reach the user as refusals instead.
    static std::once_flag quiet;
    std::call_once(quiet, [] { nifti_set_debug_level(0); });

    const QString name = QFileInfo(path).fileName();
    if (!QFileInfo(path).isFile())
        return NrrdRefusal{QStringLiteral("%1 is not a regular file.").arg(name)};
    if (const std::optional<NrrdRefusal> refusal = NiftiHeaderCheck::check(path))
        return *refusal;
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
    void* samples = nullptr;
    const std::int64_t bytes = nifti_read_collapsed_image(image.get(), collapse, &samples);
    const std::unique_ptr<void, MallocFree> owned(samples);
    const std::size_t count = static_cast<std::size_t>(width * height * depth);
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
