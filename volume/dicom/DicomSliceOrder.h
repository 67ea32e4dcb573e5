#pragma once

#include "volume/core/ImportRefusal.h"
#include "volume/dicom/DicomSeries.h"

#include <QStringList>
#include <array>
#include <cstddef>
#include <optional>
#include <vector>

// The slices of a series put in order along their normal, with the distance between
// their planes.
struct DicomStack {
    std::vector<std::size_t> order; // indices into the series' slices, nearest first
    double spacing = 1.0;           // mm between neighbouring slice planes
    QStringList notes;              // what the user should know about the geometry
    // The patient directions (LPS) of a row, a column and the order of the slices (along the
    // normal of row and column, as they were put in order); none where a slice lacks them.
    std::optional<std::array<std::array<double, 3>, 3>> axes;
};

// Orders slices by Image Position (Patient) projected on the normal of Image
// Orientation (Patient): file names and Instance Numbers are not trusted, as writers
// number and name slices in either direction or not at all. A stack the viewer would
// draw wrongly at even spacing (a missing slice, uneven gaps, two volumes in one
// series, slices that are not parallel) is refused with its reason, and so is a slice
// whose position or orientation cannot place it (not finite, or directions that are not
// perpendicular unit vectors). Oblique and sheared (gantry-tilted) stacks are shown in
// voxel order with a note.
class DicomSliceOrder {
  public:
    static ImportResult<DicomStack> arrange(const std::vector<DicomSlice>& slices);
};
