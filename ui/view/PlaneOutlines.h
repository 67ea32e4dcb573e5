#pragma once

#include "render/Math.h"
#include "render/slice/SliceGeometry.h"

#include <QPolygonF>
#include <QWidget>
#include <array>

class CrosshairModel;
class QVRenderer;
class QVMTKView;

// The outlines of the three slices through the crosshair, drawn over the 3-D view: each
// plane's corners projected with the matrices of the view's last frame. A widget of its own
// over the OpenGL view, which lets the pointer through; repainted only when the camera or
// the crosshair moved, so a still window composes nothing.
class PlaneOutlines : public QWidget {
    Q_OBJECT

  public:
    PlaneOutlines(QVMTKView& view, const QVRenderer& renderer, const CrosshairModel& crosshair);

    // The outline of the slice across `axis`, in the view's coordinates.
    QPolygonF outline(SliceAxis axis) const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // After each frame of the view: repaints when what the outlines depend on changed.
    void frameShown();

    const QVRenderer& m_renderer;
    const CrosshairModel& m_crosshair;
    std::array<float4x4, 3> m_drawnMatrices{};
    VoxelPoint m_drawnPoint{};
};
