#include "volume/dicom/DicomSliceOrder.h"

#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <numeric>
#include <optional>
#include <span>

namespace {

using Vector = std::array<double, 3>;

// Direction cosines of files written by one scanner agree to far better than this.
constexpr double kOrientationTolerance = 1e-3;
// Slices closer than this (mm) lie at the same place.
constexpr double kSamePosition = 1e-3;
// A slice may sit this fraction of the spacing away from its place on an even grid:
// positions are written rounded, and the error stays well below a voxel.
constexpr double kEvenTolerance = 0.05;
// A gap this close to a whole multiple (2, 3, ...) of the usual one is a missing slice.
constexpr double kMultipleTolerance = 0.1;
constexpr double kSeveralGaps = 1.5;
// Stacks whose slices are shifted by less than this angle are not called sheared.
constexpr double kTiltToleranceDegrees = 0.1;
constexpr double kSingleSliceSpacing = 1.0;
// Image Orientation (Patient) holds two perpendicular unit directions; written rounded,
// they are off by far less than this.
constexpr double kUnitTolerance = 0.01;

double dot(const Vector& a, const Vector& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

Vector cross(const Vector& a, const Vector& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

Vector normalized(const Vector& v) {
    const double length = std::sqrt(dot(v, v));
    return length > 0.0 ? Vector{v[0] / length, v[1] / length, v[2] / length} : v;
}

// Along a patient axis: one cosine is (nearly) 1.
bool alongAxis(const Vector& direction) {
    return std::ranges::any_of(direction, [](double c) { return std::abs(c) > 1.0 - kOrientationTolerance; });
}

QString name(const DicomSlice& slice) {
    return QFileInfo(slice.path).fileName();
}

QString mm(double value) {
    return QString::number(value, 'g', 6);
}

QString listed(std::span<const double> values) {
    QStringList texts;
    for (const double value : values)
        texts << QString::number(value, 'g', 6);
    return texts.join(QLatin1Char('\\'));
}

// Why a slice's place in space cannot be known from its header, if it cannot: a position
// or orientation that is not finite, or directions that are not perpendicular unit
// vectors (a zero vector, or the row along the column), would order the slices by
// NaN or by nothing at all.
std::optional<ImportRefusal> refuseGeometry(const DicomSlice& slice) {
    if (!slice.position || !slice.orientation)
        return ImportRefusal{QStringLiteral("%1 has no Image Position or Image Orientation (Patient): the "
                                            "slices cannot be put in order.")
                                 .arg(name(slice))};
    const std::array<double, 3>& position = *slice.position;
    if (!std::ranges::all_of(position, [](double c) { return std::isfinite(c); }))
        return ImportRefusal{
            QStringLiteral("%1 has an Image Position (Patient) of %2, not a finite position: the "
                           "slices cannot be put in order.")
                .arg(name(slice), listed(position))};
    const std::array<double, 6>& cosines = *slice.orientation;
    const Vector row{cosines[0], cosines[1], cosines[2]};
    const Vector column{cosines[3], cosines[4], cosines[5]};
    const bool unit = std::abs(std::sqrt(dot(row, row)) - 1.0) <= kUnitTolerance &&
                      std::abs(std::sqrt(dot(column, column)) - 1.0) <= kUnitTolerance;
    // NaN fails every comparison: such cosines are refused here too.
    if (!unit || !(std::abs(dot(row, column)) <= kUnitTolerance))
        return ImportRefusal{
            QStringLiteral("%1 has an Image Orientation (Patient) of %2, not two perpendicular "
                           "unit directions: the slices cannot be put in order.")
                .arg(name(slice), listed(cosines))};
    return std::nullopt;
}

// Row, column and their normal: the directions of x, y and z of slices stacked along the normal.
std::array<Vector, 3> axesOf(const std::array<double, 6>& cosines) {
    const Vector row{cosines[0], cosines[1], cosines[2]};
    const Vector column{cosines[3], cosines[4], cosines[5]};
    return {row, column, normalized(cross(row, column))};
}

} // namespace

ImportResult<DicomStack> DicomSliceOrder::arrange(const std::vector<DicomSlice>& slices) {
    DicomStack stack;
    stack.order.resize(slices.size());
    std::iota(stack.order.begin(), stack.order.end(), std::size_t{0});
    if (slices.size() == 1) {
        stack.spacing = kSingleSliceSpacing;
        stack.notes
            << QStringLiteral("A single slice: its thickness is shown as %1 mm.").arg(kSingleSliceSpacing);
        if (!refuseGeometry(slices[0]))
            stack.axes = axesOf(*slices[0].orientation);
        return stack;
    }
    for (const DicomSlice& slice : slices) {
        if (std::optional<ImportRefusal> refusal = refuseGeometry(slice))
            return *refusal;
        for (std::size_t i = 0; i < 6; ++i) {
            if (std::abs((*slice.orientation)[i] - (*slices[0].orientation)[i]) > kOrientationTolerance)
                return ImportRefusal{QStringLiteral("The slices are not parallel: %1 and %2 differ in Image "
                                                    "Orientation (Patient).")
                                         .arg(name(slices[0]), name(slice))};
        }
    }
    stack.axes = axesOf(*slices[0].orientation);
    const auto& [row, column, normal] = *stack.axes;

    std::vector<double> along(slices.size());
    for (std::size_t i = 0; i < slices.size(); ++i) {
        along[i] = dot(*slices[i].position, normal);
        if (!std::isfinite(along[i]))
            return ImportRefusal{
                QStringLiteral("%1 lies too far away (Image Position (Patient) %2): the slices "
                               "cannot be put in order.")
                    .arg(name(slices[i]), listed(*slices[i].position))};
    }
    std::ranges::sort(stack.order, [&along](std::size_t a, std::size_t b) { return along[a] < along[b]; });

    std::vector<double> gaps;
    for (std::size_t i = 1; i < stack.order.size(); ++i) {
        const std::size_t previous = stack.order[i - 1];
        const std::size_t current = stack.order[i];
        const double gap = along[current] - along[previous];
        if (gap < kSamePosition)
            return ImportRefusal{
                QStringLiteral("%1 and %2 lie at the same position (%3 mm): the series holds "
                               "more than one volume (phases, echoes or repeated scans).")
                    .arg(name(slices[previous]), name(slices[current]), mm(along[current]))};
        gaps.push_back(gap);
    }

    const double usual = *std::ranges::min_element(gaps);
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        const double multiple = gaps[i] / usual;
        if (multiple > kSeveralGaps && std::abs(multiple - std::round(multiple)) < kMultipleTolerance) {
            return ImportRefusal{
                QStringLiteral("Slices are missing between %1 and %2 mm: the gap there is %3 "
                               "mm, the spacing elsewhere %4 mm.")
                    .arg(mm(along[stack.order[i]]), mm(along[stack.order[i + 1]]), mm(gaps[i]), mm(usual))};
        }
    }
    const double first = along[stack.order.front()];
    stack.spacing = (along[stack.order.back()] - first) / static_cast<double>(gaps.size());
    // Finite positions can lie farther apart than the volume's float spacing can say.
    if (!(stack.spacing <= std::numeric_limits<float>::max()))
        return ImportRefusal{QStringLiteral("The slices lie %1 mm apart, farther than a volume can be drawn.")
                                 .arg(mm(stack.spacing))};
    for (std::size_t i = 0; i < stack.order.size(); ++i) {
        const double even = first + static_cast<double>(i) * stack.spacing;
        if (std::abs(along[stack.order[i]] - even) > kEvenTolerance * stack.spacing)
            return ImportRefusal{QStringLiteral("The slice spacing is uneven: gaps range from %1 to %2 mm.")
                                     .arg(mm(usual), mm(*std::ranges::max_element(gaps)))};
    }

    if (!alongAxis(row) || !alongAxis(column))
        stack.notes << QStringLiteral("The slices are oblique to the patient's axes: shown in voxel order, "
                                      "not turned upright.");
    const Vector& start = *slices[stack.order.front()].position;
    const Vector& end = *slices[stack.order.back()].position;
    const Vector direction = normalized({end[0] - start[0], end[1] - start[1], end[2] - start[2]});
    const double tilt = std::acos(std::clamp(dot(direction, normal), -1.0, 1.0)) * 180.0 / std::numbers::pi;
    if (tilt > kTiltToleranceDegrees)
        stack.notes << QStringLiteral("The slices are sheared (gantry tilt of %1°): shown in voxel order, "
                                      "without correcting the tilt.")
                           .arg(tilt, 0, 'f', 1);
    return stack;
}
