#include "render/slice/SliceLabels.h"

namespace {

// Slices named by the patient axis nearest their normal: left-right, posterior-anterior,
// inferior-superior.
constexpr SliceAxis kNameOfPatientAxis[] = {SliceAxis::Sagittal, SliceAxis::Coronal, SliceAxis::Axial};

PatientOrientation::Direction opposite(const PatientOrientation::Direction& d) {
    return {-d[0], -d[1], -d[2]};
}

} // namespace

QString SliceLabels::name() const {
    if (!m_orientation)
        return SliceGeometry::name(m_axis);
    const int patientAxis = m_orientation->nearestPatientAxes()[SliceGeometry::across(m_axis)];
    return SliceGeometry::name(kNameOfPatientAxis[patientAxis]);
}

std::optional<SliceEdges> SliceLabels::edges() const {
    if (!m_orientation)
        return std::nullopt;
    const auto [u, v] = SliceGeometry::inPlane(m_axis);
    const std::array<int, 3> nearest = m_orientation->nearestPatientAxes();
    const PatientOrientation::Direction& columns = m_orientation->axes[u];
    const PatientOrientation::Direction& rows = m_orientation->axes[v];
    const QString rowsEnd = PatientOrientation::sides(rows, nearest[v]);
    const QString rowsStart = PatientOrientation::sides(opposite(rows), nearest[v]);
    const bool rise = SliceGeometry(m_axis, {}).rowsRise();
    return SliceEdges{PatientOrientation::sides(opposite(columns), nearest[u]),
                      PatientOrientation::sides(columns, nearest[u]), rise ? rowsEnd : rowsStart,
                      rise ? rowsStart : rowsEnd};
}

std::optional<double> SliceLabels::obliquity() const {
    if (!m_orientation)
        return std::nullopt;
    return m_orientation->obliquity(SliceGeometry::across(m_axis));
}
