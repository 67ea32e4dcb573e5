#pragma once

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

// Which voxel axis a slice lies across: sagittal slices lie across x, coronal across y,
// axial across z (the names a file in patient order gives them).
enum class SliceAxis : std::uint8_t { Sagittal = 0, Coronal = 1, Axial = 2 };

using VoxelPoint = std::array<std::uint64_t, 3>; // x, y, z
using VolumeExtent = std::array<std::uint64_t, 3>;
using VoxelSpacing = std::array<double, 3>; // millimetres per voxel along x, y, z

// How a slice's picture lies over the volume. Columns run along the first in-plane axis
// (x for axial and coronal slices, y for sagittal ones); rows along the second, downwards
// for axial slices as the file's rows lie, upwards for the other two so that z, the
// order of a scan's slices, rises up the picture.
class SliceGeometry {
  public:
    SliceGeometry(SliceAxis axis, VolumeExtent extent) : m_axis(axis), m_extent(extent) {}

    static constexpr std::array<SliceAxis, 3> kAxes{SliceAxis::Axial, SliceAxis::Coronal,
                                                    SliceAxis::Sagittal};
    static int across(SliceAxis axis) { return static_cast<int>(axis); }
    // The voxel axes of the picture's columns and rows.
    static std::array<int, 2> inPlane(SliceAxis axis);
    // "Axial", "Coronal", "Sagittal".
    static QString name(SliceAxis axis);
    // "x", "y", "z".
    static QString axisName(int axis);

    SliceAxis axis() const { return m_axis; }
    const VolumeExtent& extent() const { return m_extent; }
    std::uint64_t slices() const { return m_extent[across(m_axis)]; }
    std::uint64_t columns() const { return m_extent[inPlane(m_axis)[0]]; }
    std::uint64_t rows() const { return m_extent[inPlane(m_axis)[1]]; }
    bool rowsRise() const { return m_axis != SliceAxis::Axial; }

    // The voxel a picture's pixel shows in slice `index`, the pixel a voxel lies on.
    VoxelPoint voxel(std::uint64_t index, std::uint64_t column, std::uint64_t row) const;
    std::array<std::uint64_t, 2> pixel(const VoxelPoint& voxel) const;
    // The voxel under a point of the picture (pixels, fractions within), or none outside it.
    std::optional<VoxelPoint> voxelAt(std::uint64_t index, QPointF picture) const;
    // The picture's extent in millimetres.
    QSizeF physicalSize(const VoxelSpacing& spacing) const;
    // Where the picture lies, at `zoom` and moved by `pan` (pixels of the view), in a view of
    // `view`, its voxels drawn in their true proportions.
    QRectF placement(QSizeF view, const VoxelSpacing& spacing, double zoom, QPointF pan) const;

  private:
    SliceAxis m_axis;
    VolumeExtent m_extent;
};
