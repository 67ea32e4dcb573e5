#include "volume/core/PatientOrientation.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr int kAxes = 3;
// Three directions whose box holds less volume than this (of unit vectors) do not span space.
constexpr double kLeastVolume = 1e-6;
// The sides of each patient axis, toward its negative and its positive end in LPS.
constexpr char16_t kSides[kAxes][2] = {{u'R', u'L'}, {u'A', u'P'}, {u'I', u'S'}};

} // namespace

std::optional<PatientOrientation> PatientOrientation::fromVectors(const std::array<Direction, 3>& vectors) {
    PatientOrientation orientation;
    for (int axis = 0; axis < kAxes; ++axis) {
        const Direction& v = vectors[axis];
        const double length = std::hypot(v[0], v[1], v[2]);
        if (!std::isfinite(length) || length <= 0.0)
            return std::nullopt;
        orientation.axes[axis] = {v[0] / length, v[1] / length, v[2] / length};
    }
    const auto& [a, b, c] = orientation.axes;
    const double volume = a[0] * (b[1] * c[2] - b[2] * c[1]) - a[1] * (b[0] * c[2] - b[2] * c[0]) +
                          a[2] * (b[0] * c[1] - b[1] * c[0]);
    if (!(std::abs(volume) >= kLeastVolume))
        return std::nullopt;
    return orientation;
}

PatientOrientation::Direction PatientOrientation::fromRas(const Direction& ras) {
    return {-ras[0], -ras[1], ras[2]};
}

std::array<int, 3> PatientOrientation::nearestPatientAxes() const {
    std::array<int, 3> permutation{0, 1, 2};
    std::array<int, 3> best = permutation;
    double bestSum = -1.0;
    do {
        double sum = 0.0;
        for (int axis = 0; axis < kAxes; ++axis)
            sum += std::abs(axes[axis][permutation[axis]]);
        if (sum > bestSum) {
            bestSum = sum;
            best = permutation;
        }
    } while (std::ranges::next_permutation(permutation).found);
    return best;
}

double PatientOrientation::obliquity(int voxelAxis) const {
    const double cosine = std::abs(axes[voxelAxis][nearestPatientAxes()[voxelAxis]]);
    return std::acos(std::clamp(cosine, 0.0, 1.0)) * 180.0 / std::numbers::pi;
}

QChar PatientOrientation::letter(const Direction& direction, int patientAxis) {
    return QChar(kSides[patientAxis][direction[patientAxis] > 0.0 ? 1 : 0]);
}

QString PatientOrientation::sides(const Direction& direction, int patientAxis) {
    QString sides(letter(direction, patientAxis));
    const double leaning = std::sin(kLeaningDegrees * std::numbers::pi / 180.0);
    std::array<int, 2> others{(patientAxis + 1) % kAxes, (patientAxis + 2) % kAxes};
    std::ranges::sort(others, std::greater{}, [&](int axis) { return std::abs(direction[axis]); });
    for (int axis : others) {
        if (std::abs(direction[axis]) >= leaning)
            sides += letter(direction, axis);
    }
    return sides;
}

QString PatientOrientation::code() const {
    const std::array<int, 3> nearest = nearestPatientAxes();
    QString letters;
    for (int axis = 0; axis < kAxes; ++axis)
        letters += letter(axes[axis], nearest[axis]);
    return letters;
}
