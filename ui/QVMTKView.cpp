#include "QVMTKView.h"

#include <QColor>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
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
    m_clock.start();
    m_nextFrame.setSingleShot(true);
    m_nextFrame.setTimerType(Qt::PreciseTimer);
    connect(&m_nextFrame, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    m_wheelGestureEnd.setSingleShot(true);
    connect(&m_wheelGestureEnd, &QTimer::timeout, this, &QVMTKView::wheelIntervalElapsed);
    connect(this, &QOpenGLWidget::frameSwapped, this, &QVMTKView::frameShown);
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
    return m_renderPass ? &*m_renderPass : nullptr;
}

gpu::Drawable* QVMTKView::currentDrawable() {
    return m_drawable ? &*m_drawable : nullptr;
}

void QVMTKView::setDelegate(MTKViewDelegate* delegate) {
    m_delegate = delegate;
}

void QVMTKView::resizeGL(int, int) {
    if (m_delegate) {
        m_delegate->mtkView_drawableSizeWillChange(*this, drawableSize());
    }
}

void QVMTKView::paintGL() {
    m_pacer.frameStarted(m_clock.elapsed());
    const DrawableSize pixels = drawableSize();
    gpu::RenderPassDescriptor pass;
    pass.nativeTarget = defaultFramebufferObject();
    pass.width = static_cast<std::uint32_t>(pixels.width);
    pass.height = static_cast<std::uint32_t>(pixels.height);
    pass.clear = true;
    pass.clearColor = kClearColor;
    m_renderPass = pass;
    m_drawable.emplace();

    if (m_delegate) {
        m_delegate->drawInMTKView(*this);
    }
    // A frame nobody presented (no delegate yet, nothing to draw) would show
    // whatever the framebuffer held before; show the clear colour instead.
    if (!m_drawable->presented()) {
        fillWithClearColor();
    }

    m_renderPass.reset();
    m_drawable.reset();
    scheduleNextFrame();
}

void QVMTKView::scheduleNextFrame() {
    if (const QScreen* display = screen()) {
        m_pacer.setRefreshRate(display->refreshRate());
    }
    const std::int64_t delay = m_pacer.delayBeforeNextFrame(m_clock.elapsed());
    if (delay == 0) {
        update();
    } else {
        m_nextFrame.start(static_cast<int>(delay));
    }
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
