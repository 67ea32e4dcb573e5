#pragma once

#include "render/slice/SliceGeometry.h"
#include "volume/core/PatientOrientation.h"

#include <QString>
#include <optional>

// The patient sides a slice's picture faces at its four edges: R, L, A, P, S or I, with the
// sides an oblique slice leans toward after the nearest ("LP").
struct SliceEdges {
    QString left;
    QString right;
    QString top;
    QString bottom;
};

// What a slice across one voxel axis is called, and which patient sides its picture's edges
// face, where the volume's orientation is known. The slice is named by the patient axis
// nearest its normal (superior-inferior: axial, anterior-posterior: coronal, left-right:
// sagittal); without an orientation, by the voxel axis it lies across, as a file in
// patient order would name it.
class SliceLabels {
  public:
    SliceLabels(SliceAxis axis, const std::optional<PatientOrientation>& orientation)
        : m_axis(axis), m_orientation(orientation) {}

    QString name() const;
    // None without an orientation.
    std::optional<SliceEdges> edges() const;
    // The angle in degrees between the slice's normal and the patient axis it is named by;
    // none without an orientation.
    std::optional<double> obliquity() const;

  private:
    SliceAxis m_axis;
    std::optional<PatientOrientation> m_orientation;
};
