#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <variant>

namespace gdcm {
class DataSet;
}

// The patient directions (LPS) of a multi-frame file's rows, columns and frames, read from
// its data set as GDCM parsed it. Row and column are the planes' Image Orientation
// (Patient), given once for all frames: in the Plane Orientation of the shared functional
// groups (an enhanced file) or at the top level (a legacy one). The frames are shown in the
// order they are stored, which may run either way along the planes' normal, so z points
// from the first frame's Image Position (Patient) toward the last one's, both from the
// per-frame functional groups.
//
// Where the file does not say (no orientation, a position missing or not finite, first
// and last frame at one place) or its frames do not run along the normal (a gantry tilt
// or a shear), the frames name no patient direction: the reason says why, in the user's
// words.
class DicomFrameAxes {
  public:
    using Axes = std::array<std::array<double, 3>, 3>;

    static std::variant<Axes, QString> read(const gdcm::DataSet& dataSet, std::uint32_t frames);
};
