#include "ui/view/PlaneOutlines.h"

#include "render/QVRenderer.h"
#include "render/display/CrosshairModel.h"
#include "ui/view/QVMTKView.h"

#include <QEvent>
#include <QPainter>

namespace {

// The slice views' colours for their axes: sagittal, coronal, axial.
const std::array<QColor, 3> kPlaneColours{QColor(240, 120, 90), QColor(110, 200, 110), QColor(90, 160, 240)};

} // namespace

PlaneOutlines::PlaneOutlines(QVMTKView& view, const QVRenderer& renderer, const CrosshairModel& crosshair)
    : QWidget(&view), m_renderer(renderer), m_crosshair(crosshair) {
    setObjectName(QStringLiteral("planeOutlines"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setGeometry(view.rect());
    view.installEventFilter(this);
    connect(&view, &QVMTKView::frameCompleted, this, &PlaneOutlines::frameShown);
}

bool PlaneOutlines::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize) {
        setGeometry(static_cast<QWidget*>(watched)->rect());
    }
    return QWidget::eventFilter(watched, event);
}

void PlaneOutlines::frameShown() {
    const Uniforms& uniforms = m_renderer.uniforms();
    const std::array<float4x4, 3> matrices{uniforms.modelMatrix, uniforms.viewMatrix,
                                           uniforms.projectionMatrix};
    if (matrices != m_drawnMatrices || m_crosshair.point() != m_drawnPoint) {
        m_drawnMatrices = matrices;
        m_drawnPoint = m_crosshair.point();
        update();
    }
}

QPolygonF PlaneOutlines::outline(SliceAxis axis) const {
    const Uniforms& uniforms = m_renderer.uniforms();
    const float4x4 toClip = uniforms.projectionMatrix * (uniforms.viewMatrix * uniforms.modelMatrix);
    const VolumeExtent& extent = m_crosshair.extent();
    const int across = SliceGeometry::across(axis);
    const auto [u, v] = SliceGeometry::inPlane(axis);
    QPolygonF polygon;
    if (extent[across] == 0) {
        return polygon;
    }
    // The cube's model coordinates run from −0.5 to 0.5 over the volume; the plane lies
    // through the middle of its slice's voxels.
    const float at =
        (static_cast<float>(m_crosshair.slice(axis)) + 0.5f) / static_cast<float>(extent[across]) - 0.5f;
    for (const auto& [a, b] : {std::pair{-0.5f, -0.5f}, {0.5f, -0.5f}, {0.5f, 0.5f}, {-0.5f, 0.5f}}) {
        float model[3]{};
        model[across] = at;
        model[u] = a;
        model[v] = b;
        const float4 clip = toClip * float4{model[0], model[1], model[2], 1.0f};
        if (clip.w <= 0.0f) {
            return {}; // behind the camera
        }
        polygon << QPointF((clip.x / clip.w + 1.0f) * 0.5f * static_cast<float>(width()),
                           (1.0f - clip.y / clip.w) * 0.5f * static_cast<float>(height()));
    }
    return polygon;
}

void PlaneOutlines::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    for (SliceAxis axis : SliceGeometry::kAxes) {
        painter.setPen(QPen(kPlaneColours[SliceGeometry::across(axis)], 1.5));
        painter.drawPolygon(outline(axis));
    }
}
