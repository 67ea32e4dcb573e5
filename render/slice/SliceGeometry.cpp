#include "render/slice/SliceGeometry.h"

#include <algorithm>

std::array<int, 2> SliceGeometry::inPlane(SliceAxis axis) {
    switch (axis) {
    case SliceAxis::Sagittal:
        return {1, 2};
    case SliceAxis::Coronal:
        return {0, 2};
    case SliceAxis::Axial:
        break;
    }
    return {0, 1};
}

QString SliceGeometry::name(SliceAxis axis) {
    switch (axis) {
    case SliceAxis::Sagittal:
        return QStringLiteral("Sagittal");
    case SliceAxis::Coronal:
        return QStringLiteral("Coronal");
    case SliceAxis::Axial:
        break;
    }
    return QStringLiteral("Axial");
}

QString SliceGeometry::axisName(int axis) {
    return QString(QChar(u'x' + axis));
}

VoxelPoint SliceGeometry::voxel(std::uint64_t index, std::uint64_t column, std::uint64_t row) const {
    const auto [u, v] = inPlane(m_axis);
    VoxelPoint point{};
    point[across(m_axis)] = index;
    point[u] = column;
    point[v] = rowsRise() ? rows() - 1 - row : row;
    return point;
}

std::array<std::uint64_t, 2> SliceGeometry::pixel(const VoxelPoint& voxel) const {
    const auto [u, v] = inPlane(m_axis);
    return {voxel[u], rowsRise() ? rows() - 1 - voxel[v] : voxel[v]};
}

std::optional<VoxelPoint> SliceGeometry::voxelAt(std::uint64_t index, QPointF picture) const {
    if (picture.x() < 0.0 || picture.y() < 0.0 || picture.x() >= static_cast<double>(columns()) ||
        picture.y() >= static_cast<double>(rows())) {
        return std::nullopt;
    }
    return voxel(index, static_cast<std::uint64_t>(picture.x()), static_cast<std::uint64_t>(picture.y()));
}

QSizeF SliceGeometry::physicalSize(const VoxelSpacing& spacing) const {
    const auto [u, v] = inPlane(m_axis);
    return {static_cast<double>(columns()) * spacing[u], static_cast<double>(rows()) * spacing[v]};
}

QRectF SliceGeometry::placement(QSizeF view, const VoxelSpacing& spacing, double zoom, QPointF pan) const {
    const QSizeF physical = physicalSize(spacing);
    if (physical.isEmpty() || view.isEmpty()) {
        return {};
    }
    const double scale = std::min(view.width() / physical.width(), view.height() / physical.height()) * zoom;
    const QSizeF size = physical * scale;
    const QPointF topLeft((view.width() - size.width()) / 2.0, (view.height() - size.height()) / 2.0);
    return {topLeft + pan, size};
}
