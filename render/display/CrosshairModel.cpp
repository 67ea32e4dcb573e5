#include "render/display/CrosshairModel.h"

#include <algorithm>

void CrosshairModel::resetForVolume(const VolumeExtent& extent) {
    m_extent = extent;
    for (std::size_t axis = 0; axis < m_point.size(); ++axis) {
        m_point[axis] = extent[axis] / 2;
    }
    emit pointChanged();
}

void CrosshairModel::setPoint(const VoxelPoint& point) {
    VoxelPoint clamped{};
    for (std::size_t axis = 0; axis < point.size(); ++axis) {
        clamped[axis] = std::min(point[axis], m_extent[axis] > 0 ? m_extent[axis] - 1 : 0);
    }
    if (clamped != m_point) {
        m_point = clamped;
        emit pointChanged();
    }
}

void CrosshairModel::setSlice(SliceAxis axis, std::uint64_t index) {
    VoxelPoint point = m_point;
    point[SliceGeometry::across(axis)] = index;
    setPoint(point);
}

void CrosshairModel::step(SliceAxis axis, std::int64_t slices) {
    const std::uint64_t index = slice(axis);
    const std::uint64_t distance = static_cast<std::uint64_t>(slices < 0 ? -slices : slices);
    setSlice(axis, slices < 0 ? index - std::min(index, distance) : index + distance);
}
