#pragma once

#include "render/slice/SliceGeometry.h"

#include <QObject>
#include <cstdint>

// The voxel every view of one volume points at: each slice view shows the slice through
// it across its axis and marks it with a crosshair; moving it in one view moves the others'
// slices. Always inside the volume. GUI thread only.
class CrosshairModel : public QObject {
    Q_OBJECT

  public:
    using QObject::QObject;

    const VoxelPoint& point() const { return m_point; }
    const VolumeExtent& extent() const { return m_extent; }
    std::uint64_t slice(SliceAxis axis) const { return m_point[SliceGeometry::across(axis)]; }

    // A volume of `extent` was put on show: the point goes to its middle.
    void resetForVolume(const VolumeExtent& extent);
    // Clamped into the volume; tells only a real change.
    void setPoint(const VoxelPoint& point);
    void setSlice(SliceAxis axis, std::uint64_t index);
    // `slices` further along the axis (back where negative), stopping at the volume's ends.
    void step(SliceAxis axis, std::int64_t slices);

  signals:
    void pointChanged();

  private:
    VoxelPoint m_point{};
    VolumeExtent m_extent{};
};
