#include "volume/dicom/DicomFrameAxes.h"

#include "volume/dicom/DecimalStrings.h"

#include <QStringList>
#include <algorithm>
#include <cmath>
#include <gdcmDataSet.h>
#include <gdcmSequenceOfItems.h>
#include <numbers>
#include <optional>

namespace {

using Vector = std::array<double, 3>;
using Items = gdcm::SmartPointer<gdcm::SequenceOfItems>;

const gdcm::Tag kSharedGroups(0x5200, 0x9229);
const gdcm::Tag kPerFrameGroups(0x5200, 0x9230);
const gdcm::Tag kPlaneOrientation(0x0020, 0x9116);
const gdcm::Tag kPlanePosition(0x0020, 0x9113);
const gdcm::Tag kImageOrientation(0x0020, 0x0037);
const gdcm::Tag kImagePosition(0x0020, 0x0032);

// A decimal string holds at most 16 characters a value; a longer text is no position or
// orientation, whatever it says.
constexpr std::size_t kMaxDecimalStringBytes = 16;
// Image Orientation (Patient) holds two perpendicular unit directions; written rounded,
// they are off by far less than this.
constexpr double kUnitTolerance = 0.01;
// Frames closer than this (mm) lie at the same place.
constexpr double kSamePosition = 1e-3;
// Frames that run off the planes' normal by less than this angle are not called sheared.
constexpr double kTiltToleranceDegrees = 0.1;

double dot(const Vector& a, const Vector& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// The items of the sequence `tag`; none where the data set holds no such sequence.
Items sequenceOf(const gdcm::DataSet* dataSet, const gdcm::Tag& tag) {
    if (!dataSet || !dataSet->FindDataElement(tag))
        return nullptr;
    return dataSet->GetDataElement(tag).GetValueAsSQ();
}

// Item `number` (counted from 1) of a sequence; none where it has no such item.
const gdcm::DataSet* itemOf(const Items& items, std::size_t number) {
    if (!items || number < 1 || number > items->GetNumberOfItems())
        return nullptr;
    return &items->GetItem(number).GetNestedDataSet();
}

// The N finite numbers of the decimal string `tag` ("-10\-20\30"); none unless it holds
// exactly N.
template <std::size_t N>
std::optional<std::array<double, N>> numbers(const gdcm::DataSet* dataSet, const gdcm::Tag& tag) {
    if (!dataSet || !dataSet->FindDataElement(tag))
        return std::nullopt;
    const gdcm::ByteValue* bytes = dataSet->GetDataElement(tag).GetByteValue();
    if (!bytes || bytes->GetLength() > N * (kMaxDecimalStringBytes + 1))
        return std::nullopt;
    const std::optional<std::array<double, N>> values =
        decimalStrings<N>(QString::fromLatin1(bytes->GetPointer(), static_cast<qsizetype>(bytes->GetLength()))
                              .remove(QChar(u'\0')));
    if (!values || !std::ranges::all_of(*values, [](double value) { return std::isfinite(value); }))
        return std::nullopt;
    return values;
}

// The N numbers of `tag` in the first item of the macro `macro` inside item `number` of
// the functional groups `groups`.
template <std::size_t N>
std::optional<std::array<double, N>> numbersInGroup(const gdcm::DataSet& dataSet, const gdcm::Tag& groups,
                                                    std::size_t number, const gdcm::Tag& macro,
                                                    const gdcm::Tag& tag) {
    const Items group = sequenceOf(&dataSet, groups);
    const Items macros = sequenceOf(itemOf(group, number), macro);
    return numbers<N>(itemOf(macros, 1), tag);
}

// The position of frame `number` (counted from 1) in the per-frame functional groups.
std::optional<Vector> framePosition(const gdcm::DataSet& dataSet, std::size_t number) {
    return numbersInGroup<3>(dataSet, kPerFrameGroups, number, kPlanePosition, kImagePosition);
}

} // namespace

std::variant<DicomFrameAxes::Axes, QString> DicomFrameAxes::read(const gdcm::DataSet& dataSet,
                                                                 std::uint32_t frames) {
    std::optional<std::array<double, 6>> cosines =
        numbersInGroup<6>(dataSet, kSharedGroups, 1, kPlaneOrientation, kImageOrientation);
    if (!cosines)
        cosines = numbers<6>(&dataSet, kImageOrientation);
    if (!cosines)
        return QStringLiteral("the file gives no Image Orientation (Patient) shared by its frames");
    const Vector row{(*cosines)[0], (*cosines)[1], (*cosines)[2]};
    const Vector column{(*cosines)[3], (*cosines)[4], (*cosines)[5]};
    if (std::abs(std::sqrt(dot(row, row)) - 1.0) > kUnitTolerance ||
        std::abs(std::sqrt(dot(column, column)) - 1.0) > kUnitTolerance ||
        std::abs(dot(row, column)) > kUnitTolerance)
        return QStringLiteral("its Image Orientation (Patient) is not two perpendicular unit directions");
    const Vector cross{row[1] * column[2] - row[2] * column[1], row[2] * column[0] - row[0] * column[2],
                       row[0] * column[1] - row[1] * column[0]};
    // Row and column are near unit and perpendicular: their cross product is near unit too.
    const double crossLength = std::sqrt(dot(cross, cross));
    const Vector normal{cross[0] / crossLength, cross[1] / crossLength, cross[2] / crossLength};

    if (const Items perFrame = sequenceOf(&dataSet, kPerFrameGroups);
        !perFrame || perFrame->GetNumberOfItems() != frames)
        return QStringLiteral("its per-frame functional groups do not describe each of its %1 frames")
            .arg(frames);
    const std::optional<Vector> first = framePosition(dataSet, 1);
    const std::optional<Vector> last = framePosition(dataSet, frames);
    if (!first || !last)
        return QStringLiteral("its first or last frame has no finite Image Position (Patient)");
    const Vector run{(*last)[0] - (*first)[0], (*last)[1] - (*first)[1], (*last)[2] - (*first)[2]};
    const double length = std::sqrt(dot(run, run));
    if (!std::isfinite(length))
        return QStringLiteral("its first and last frames lie too far apart to be placed");
    if (length < kSamePosition)
        return QStringLiteral("its first and last frames lie at the same position");
    // The cosine of the angle between the frames' run and the normal; its sign says which
    // way along the normal the frames run.
    const double along = dot(run, normal) / length;
    const double tilt = std::acos(std::min(std::abs(along), 1.0)) * 180.0 / std::numbers::pi;
    if (tilt > kTiltToleranceDegrees)
        return QStringLiteral("its frames run %1° off the normal of their planes (a gantry tilt or a shear)")
            .arg(tilt, 0, 'f', 1);
    const double sign = along > 0.0 ? 1.0 : -1.0;
    return Axes{row, column, Vector{sign * normal[0], sign * normal[1], sign * normal[2]}};
}
