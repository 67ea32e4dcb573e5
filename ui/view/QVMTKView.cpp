#include "ui/view/QVMTKView.h"

#include <QColor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// One notch of a classic mouse wheel, in QWheelEvent::angleDelta() units (1/8 degree).
constexpr double kAngleDeltaPerNotch = 120.0;

// Drops the fraction of a pointer movement (toward zero). Movements are a few
// hundred pixels at most; the guards only keep a broken event from being undefined
// behaviour in the conversion.
std::int64_t truncated(double delta) {
    if (!std::isfinite(delta)) {
        return 0;
    }
    constexpr double kLimit = 9.0e18;
    return static_cast<std::int64_t>(std::trunc(std::clamp(delta, -kLimit, kLimit)));
}

// The zoom level of a scroll event's movement in steps: whole steps toward zero, but
// never less than one step for a movement that is there at all.
std::int64_t zoomLevel(double steps) {
    const std::int64_t level = truncated(steps);
    if (level != 0 || steps == 0.0 || !std::isfinite(steps)) {
        return level;
    }
    return steps > 0.0 ? 1 : -1;
}

} // namespace

QVMTKView::QVMTKView(QWidget* parent) : QOpenGLWidget(parent) {
    // Takes keyboard focus when clicked, like any focusable document view.
    setFocusPolicy(Qt::ClickFocus);
    // The framebuffer keeps its picture once it has been composed into the window, so a
    // frame that changes nothing leaves it alone and an expose shows it again as it is.
    setUpdateBehavior(QOpenGLWidget::PartialUpdate);
    connect(&m_displayLink, &DisplayLink::refreshed, this, &QVMTKView::displayRefreshed);
    // Qt makes a new framebuffer when the size or the screen's pixel ratio changes: whatever
    // it shows must be drawn anew.
    connect(this, &QOpenGLWidget::resized, this, &QVMTKView::forgetPicture);
    m_wheelGestureEnd.setSingleShot(true);
    connect(&m_wheelGestureEnd, &QTimer::timeout, this, &QVMTKView::wheelIntervalElapsed);
    connect(this, &QVMTKView::frameCompleted, this, &QVMTKView::frameShown);
}

void QVMTKView::forgetPicture() {
    m_framebufferCurrent = false;
    m_pictureKept = false;
}

QVMTKView::~QVMTKView() = default;

void QVMTKView::setDevice(std::shared_ptr<gpu::Device> device) {
    m_device = std::move(device);
}

DrawableSize QVMTKView::drawableSize() const {
    // The same rounding QOpenGLWidget uses for its framebuffer.
    const QSize pixels = size() * devicePixelRatioF();
    return {static_cast<double>(pixels.width()), static_cast<double>(pixels.height())};
}

const gpu::RenderPassDescriptor* QVMTKView::currentRenderPassDescriptor() {
    if (!m_inFrame) {
        return nullptr;
    }
    if (!m_renderPass) {
        const DrawableSize pixels = drawableSize();
        gpu::RenderPassDescriptor pass;
        pass.nativeTarget = defaultFramebufferObject();
        pass.width = static_cast<std::uint32_t>(pixels.width);
        pass.height = static_cast<std::uint32_t>(pixels.height);
        pass.clear = true;
        pass.clearColor = kClearColor;
        m_renderPass = pass;
    }
    return &*m_renderPass;
}

gpu::Drawable* QVMTKView::currentDrawable() {
    if (m_inFrame && !m_drawable) {
        m_drawable.emplace();
    }
    return m_drawable ? &*m_drawable : nullptr;
}

void QVMTKView::setDelegate(MTKViewDelegate* delegate) {
    m_delegate = delegate;
}

bool QVMTKView::userIsInteracting() const {
    return QGuiApplication::mouseButtons() != Qt::NoButton || wheelGestureInProgress();
}

void QVMTKView::showEvent(QShowEvent* event) {
    QOpenGLWidget::showEvent(event);
    m_displayLink.start();
}

void QVMTKView::hideEvent(QHideEvent* event) {
    // Nobody sees the frames of a hidden (or minimised) view; speeds resume when it is shown.
    m_displayLink.stop();
    QOpenGLWidget::hideEvent(event);
}

void QVMTKView::initializeGL() {
    forgetPicture();
}

void QVMTKView::resizeGL(int, int) {
    if (m_delegate) {
        m_delegate->mtkView_drawableSizeWillChange(*this, drawableSize());
    }
}

void QVMTKView::paintGL() {
    // Qt composes the window: after a display refresh that drew, or for an expose, the
    // framebuffer already holds the picture.
    if (m_framebufferCurrent) {
        return;
    }
    drawFrame(true);
    // The next refresh is a whole interval after this frame, not a second frame at once.
    m_displayLink.restartInterval();
}

void QVMTKView::displayRefreshed() {
    if (!isValid()) {
        return; // not shown yet: its first frame comes with its first paint
    }
    makeCurrent();
    if (drawFrame(!m_framebufferCurrent)) {
        update();
    }
}

bool QVMTKView::drawFrame(bool mustFill) {
    m_inFrame = true;
    if (m_delegate) {
        m_delegate->drawInMTKView(*this);
    }
    m_inFrame = false;
    const bool passTaken = m_renderPass.has_value();
    const bool presented = m_drawable && m_drawable->presented() > 0;
    m_renderPass.reset();
    m_drawable.reset();
    if (presented) {
        m_pictureKept = true;
    } else if (passTaken || mustFill) {
        // A frame that wrote the framebuffer but presented nothing (no delegate yet,
        // nothing to draw) would show whatever it held before; show the clear colour.
        fillWithClearColor();
        m_pictureKept = false;
    }
    const bool wrote = presented || passTaken || mustFill;
    m_framebufferCurrent = m_framebufferCurrent || wrote;
    emit frameCompleted();
    return wrote;
}

void QVMTKView::fillWithClearColor() {
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), QColor::fromRgbF(static_cast<float>(kClearColor.red),
                                              static_cast<float>(kClearColor.green),
                                              static_cast<float>(kClearColor.blue),
                                              static_cast<float>(kClearColor.alpha)));
}

void QVMTKView::mousePressEvent(QMouseEvent* event) {
    m_lastPointerPosition = event->position();
    if (!isActiveWindow()) {
        // Without a window manager nothing else would activate the window, and every
        // later click would count as an activating one.
        m_inActivationClick = true;
        activateWindow();
        event->accept();
        return;
    }
    m_inActivationClick = false;
    QOpenGLWidget::mousePressEvent(event);
    if (event->button() == Qt::LeftButton) {
        m_deltaX = 0;
        m_deltaY = 0;
        m_rdeltaX = 0;
        m_rdeltaY = 0;
    }
    event->accept();
}

void QVMTKView::mouseMoveEvent(QMouseEvent* event) {
    const QPointF movement = event->position() - m_lastPointerPosition;
    m_lastPointerPosition = event->position();
    if (m_inActivationClick) {
        return;
    }
    if (event->buttons() & Qt::LeftButton) {
        m_deltaX = truncated(movement.x());
        m_deltaY = truncated(movement.y());
    } else if (event->buttons() & Qt::RightButton) {
        m_rdeltaX = truncated(movement.x());
        m_rdeltaY = truncated(movement.y());
    }
}

void QVMTKView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->buttons() == Qt::NoButton) {
        m_inActivationClick = false;
    }
}

void QVMTKView::wheelEvent(QWheelEvent* event) {
    const bool pixels = !event->pixelDelta().isNull();
    const double steps =
        pixels ? event->pixelDelta().y() / kPixelsPerZoomStep : event->angleDelta().y() / kAngleDeltaPerNotch;
    event->accept();
    if (event->phase() == Qt::ScrollEnd) {
        endWheelGesture();
        return;
    }
    m_zoom = zoomLevel(steps);
    m_wheelGesture = event->phase() == Qt::NoScrollPhase ? WheelGesture::Wheel : WheelGesture::Phased;
    m_frameShownSinceWheel = false;
    m_wheelIntervalElapsed = false;
    m_wheelGestureEnd.start(m_wheelGesture == WheelGesture::Wheel ? kWheelGestureEnd : kPhasedGestureSilence);
}

void QVMTKView::wheelIntervalElapsed() {
    if (m_frameShownSinceWheel) {
        endWheelGesture();
    } else {
        m_wheelIntervalElapsed = true;
    }
}

void QVMTKView::frameShown() {
    m_frameShownSinceWheel = true;
    if (m_wheelIntervalElapsed) {
        endWheelGesture();
    }
}

void QVMTKView::endWheelGesture() {
    m_wheelGestureEnd.stop();
    m_wheelGesture = WheelGesture::None;
    m_wheelIntervalElapsed = false;
    m_zoom = 0;
}

void QVMTKView::clearPointerValues() {
    m_deltaX = 0;
    m_deltaY = 0;
    m_rdeltaX = 0;
    m_rdeltaY = 0;
    endWheelGesture();
}
