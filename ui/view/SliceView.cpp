// Index of this file: the volume, options and reads (setVolume, setOptions, requestSlice, show,
// recolour); where the picture lies (placement, toPicture, fromPicture); what the view tells
// (heading, describe, rulerMillimetres); painting (paintEvent, paintOverlay); the pointer and
// the keys (mouse*, wheelEvent, keyPressEvent).

#include "ui/view/SliceView.h"

#include "render/display/CrosshairModel.h"
#include "render/display/DisplayModel.h"
#include "render/slice/SliceSampler.h"
#include "ui/view/ViewController.h"
#include "volume/core/VolumeSource.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace {

// One notch of a mouse wheel, in eighths of a degree.
constexpr int kWheelNotch = 120;
constexpr int kShiftSteps = 10;
constexpr double kZoomPerNotch = 1.25;
constexpr double kLeastZoom = 0.25;
constexpr double kMostZoom = 64.0;
constexpr int kTextMargin = 4;
constexpr int kMillimetreDecimals = 1;
constexpr int kBackdropAlpha = 160;
// Slices turned further than this from the patient axis they are named by say so.
constexpr double kNotableObliquityDegrees = 10.0;
const QColor kCrosshairColour(80, 220, 120);
const QColor kClipColour(240, 200, 60);
const QColor kRulerColour(90, 190, 255);

} // namespace

SliceView::SliceView(SliceAxis axis, DisplayModel& display, CrosshairModel& crosshair, QWidget* parent)
    : QWidget(parent), m_axis(axis), m_display(display), m_crosshair(crosshair) {
    setObjectName(SliceGeometry::name(axis).toLower() + QStringLiteral("Slice"));
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(64, 64);
    describeInToolTip();
    connect(&m_crosshair, &CrosshairModel::pointChanged, this, [this] {
        requestSlice();
        update();
    });
    connect(&m_display, &DisplayModel::windowChanged, this, &SliceView::recolour);
    connect(&m_display, &DisplayModel::lookupChanged, this, &SliceView::recolour);
    connect(&m_display, &DisplayModel::clipChanged, this, qOverload<>(&QWidget::update));
    connect(&m_loader, &SliceLoader::loaded, this, &SliceView::showSlice);
    connect(&m_loader, &SliceLoader::failed, this, &SliceView::message);
}

void SliceView::setVolume(const VolumeState& volume) {
    m_volume = volume;
    describeInToolTip();
    m_slice.reset();
    m_picture = QImage();
    m_requested.reset();
    resetView();
    requestSlice();
}

void SliceView::describeInToolTip() {
    const QString axis = SliceGeometry::axisName(SliceGeometry::across(m_axis));
    const SliceLabels named = labels();
    QString where =
        tr("Slices across the volume's voxel %1 axis (the file names no patient orientation).").arg(axis);
    if (const std::optional<double> obliquity = named.obliquity()) {
        where = tr("%1 slices, across the volume's voxel %2 axis.").arg(named.name(), axis);
        if (*obliquity > kNotableObliquityDegrees)
            where += tr(" Their normal lies %1° from the patient's axis.").arg(*obliquity, 0, 'f', 0);
    }
    setToolTip(where + tr(" Click to move the crosshair, wheel to step, Shift+drag to measure, Ctrl+wheel to "
                          "zoom."));
}

void SliceView::setOptions(const SliceOptions& options) {
    m_options = options;
    requestSlice();
    recolour();
}

void SliceView::resetView() {
    m_zoom = 1.0;
    m_pan = {};
    m_ruler.reset();
    requestSlice();
    update();
}

void SliceView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    requestSlice();
}

SliceGeometry SliceView::geometry() const {
    return {m_axis, {m_volume.width, m_volume.height, m_volume.depth}};
}

VoxelSpacing SliceView::spacing() const {
    return {m_volume.cellspaceX, m_volume.cellspaceY, m_volume.cellspaceZ};
}

SliceRequest SliceView::wanted() const {
    const double across = spacing()[SliceGeometry::across(m_axis)];
    return {m_axis, m_crosshair.slice(m_axis), SliceSampler::slabSlices(m_options.slabMillimetres, across),
            m_options.slab, neededLevel()};
}

std::uint32_t SliceView::neededLevel() const {
    const std::uint32_t held = m_volume.source ? m_volume.source->storedLevels() : 0;
    const QRectF rect = placement();
    const SliceGeometry shape = geometry();
    if (held == 0 || rect.isEmpty()) {
        return 0;
    }
    // The coarsest level that still has a texel for every device pixel along both axes.
    const double ratio = devicePixelRatioF();
    const std::array<int, 2> axes = SliceGeometry::inPlane(m_axis);
    const std::array<double, 2> perPixel{static_cast<double>(shape.columns()) / (rect.width() * ratio),
                                         static_cast<double>(shape.rows()) / (rect.height() * ratio)};
    std::uint32_t level = 0;
    for (std::uint32_t next = 1; next <= held; ++next) {
        const VolumeSource::LevelShifts shifts = m_volume.source->levelShifts(next);
        for (std::size_t i = 0; i < axes.size(); ++i) {
            if (static_cast<double>(std::uint64_t{1} << shifts[axes[i]]) > perPixel[i]) {
                return level;
            }
        }
        level = next;
    }
    return level;
}

void SliceView::requestSlice() {
    if (!m_volume.source || geometry().slices() == 0) {
        return;
    }
    const SliceRequest request = wanted();
    if (m_requested != request) {
        // A slice not on show yet comes first from the coarsest level the source holds (a
        // store's few chunks), then at the level the view needs.
        const std::uint32_t coarsest = m_volume.source->storedLevels();
        if (request.level < coarsest && (!m_slice || m_slice->request.index != request.index)) {
            SliceRequest coarse = request;
            coarse.level = coarsest;
            m_loader.request(m_volume.source, geometry().extent(), coarse);
        }
        m_requested = request;
        m_loader.request(m_volume.source, geometry().extent(), request);
    }
}

bool SliceView::settled() const {
    return m_slice && m_slice->request == wanted() && m_loader.idle();
}

void SliceView::showSlice(std::shared_ptr<const SliceImage> slice) {
    if (!m_volume.source) {
        return;
    }
    const SliceGeometry shape(
        m_axis, levelVoxels(geometry().extent(), m_volume.source->levelShifts(slice->request.level)));
    if (slice->width != shape.columns() || slice->height != shape.rows()) {
        return; // of the volume shown before
    }
    m_slice = std::move(slice);
    recolour();
}

void SliceView::recolour() {
    if (!m_slice) {
        return;
    }
    m_colouring.emplace(
        SliceColouring::Window{m_display.windowLevel(), m_display.windowWidth(), m_volume.sampleOffset},
        m_options.viewColours ? m_display.colourMap() : ColourMap::blackAndWhite());
    m_picture = m_colouring->colour(*m_slice);
    update();
}

QRectF SliceView::placement() const {
    return geometry().placement(QSizeF(size()), spacing(), m_zoom, m_pan);
}

// A coarse level's texels each cover 2^level voxels: where an axis's voxels do not fill its
// last texel, the picture reaches that far past the volume's end (the top of rising rows).
QRectF SliceView::slicePlacement() const {
    QRectF rect = placement();
    if (!m_slice || m_slice->request.level == 0) {
        return rect;
    }
    const SliceGeometry shape = geometry();
    const double texel = static_cast<double>(std::uint64_t{1} << m_slice->request.level);
    const double bottom = rect.bottom();
    rect.setWidth(rect.width() * static_cast<double>(m_slice->width) * texel /
                  static_cast<double>(shape.columns()));
    rect.setHeight(rect.height() * static_cast<double>(m_slice->height) * texel /
                   static_cast<double>(shape.rows()));
    if (shape.rowsRise()) {
        rect.moveBottom(bottom);
    }
    return rect;
}

QPointF SliceView::toPicture(QPointF point) const {
    const QRectF rect = placement();
    if (rect.isEmpty()) {
        return {};
    }
    const SliceGeometry shape = geometry();
    return {(point.x() - rect.left()) / rect.width() * static_cast<double>(shape.columns()),
            (point.y() - rect.top()) / rect.height() * static_cast<double>(shape.rows())};
}

QPointF SliceView::fromPicture(QPointF picture) const {
    const QRectF rect = placement();
    const SliceGeometry shape = geometry();
    return {rect.left() + picture.x() / static_cast<double>(shape.columns()) * rect.width(),
            rect.top() + picture.y() / static_cast<double>(shape.rows()) * rect.height()};
}

QString SliceView::heading() const {
    const int across = SliceGeometry::across(m_axis);
    const std::uint64_t index = m_crosshair.slice(m_axis);
    return QStringLiteral("%1 · %2 %3/%4 · %5 mm")
        .arg(labels().name(), SliceGeometry::axisName(across))
        .arg(index)
        .arg(geometry().slices())
        .arg(static_cast<double>(index) * spacing()[across], 0, 'f', kMillimetreDecimals);
}

std::optional<double> SliceView::rulerMillimetres() const {
    if (!m_ruler) {
        return std::nullopt;
    }
    const auto [u, v] = SliceGeometry::inPlane(m_axis);
    const QPointF span = m_ruler->second - m_ruler->first;
    return std::hypot(span.x() * spacing()[u], span.y() * spacing()[v]);
}

void SliceView::describe(QPointF point) {
    const std::optional<VoxelPoint> voxel = geometry().voxelAt(m_crosshair.slice(m_axis), toPicture(point));
    if (!voxel) {
        return;
    }
    const VoxelSpacing mm = spacing();
    QString text = QStringLiteral("x %1, y %2, z %3 · %4, %5, %6 mm")
                       .arg((*voxel)[0])
                       .arg((*voxel)[1])
                       .arg((*voxel)[2])
                       .arg(static_cast<double>((*voxel)[0]) * mm[0], 0, 'f', 2)
                       .arg(static_cast<double>((*voxel)[1]) * mm[1], 0, 'f', 2)
                       .arg(static_cast<double>((*voxel)[2]) * mm[2], 0, 'f', 2);
    // The value is the slice's on show: of that voxel alone, or of the slab through it; from
    // a coarse level, the mean of the voxels its texel stands for, said as such.
    if (m_slice && m_slice->request.index == m_crosshair.slice(m_axis)) {
        const std::uint32_t level = m_slice->request.level;
        const VolumeSource::LevelShifts shifts = m_volume.source->levelShifts(level);
        const VoxelPoint coarse{(*voxel)[0] >> shifts[0], (*voxel)[1] >> shifts[1], (*voxel)[2] >> shifts[2]};
        const auto [column, row] =
            SliceGeometry(m_axis, levelVoxels(geometry().extent(), shifts)).pixel(coarse);
        const std::int64_t sample = std::int64_t{m_slice->at(column, row)} + m_volume.sampleOffset;
        text += QStringLiteral(" · %1%2%3%4")
                    .arg(level > 0 ? QStringLiteral("≈ ") : QString(),
                         ViewController::fileValue(sample, m_volume.valueScale, m_volume.valueOffset),
                         m_volume.hounsfield ? QStringLiteral(" HU") : QString(),
                         level > 0 ? tr(" (mean of %1 × %2 × %3 voxels)")
                                         .arg(std::uint64_t{1} << shifts[0])
                                         .arg(std::uint64_t{1} << shifts[1])
                                         .arg(std::uint64_t{1} << shifts[2])
                                   : QString());
    }
    emit message(text);
}

void SliceView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (m_options.linear && m_slice && m_colouring) {
        const qreal ratio = devicePixelRatioF();
        painter.drawImage(QPointF(0, 0), m_resampler.resample(*m_slice, *m_colouring, slicePlacement(),
                                                              (QSizeF(size()) * ratio).toSize(), ratio));
    } else if (!m_picture.isNull()) {
        painter.drawImage(slicePlacement(), m_picture);
    }
    paintOverlay(painter);
}

void SliceView::paintOverlay(QPainter& painter) const {
    const SliceGeometry shape = geometry();
    if (shape.columns() > 0 && shape.rows() > 0) {
        const QRectF rect = placement();
        // The crosshair through the middle of the pointed-at voxel.
        const auto [column, row] = shape.pixel(m_crosshair.point());
        const QPointF centre =
            fromPicture({static_cast<double>(column) + 0.5, static_cast<double>(row) + 0.5});
        painter.setPen(QPen(kCrosshairColour, 1.0));
        painter.drawLine(QPointF(centre.x(), rect.top()), QPointF(centre.x(), rect.bottom()));
        painter.drawLine(QPointF(rect.left(), centre.y()), QPointF(rect.right(), centre.y()));
        // The clip box where it cuts anything away.
        const ClipBox& clip = m_display.clip();
        if (!(clip == ClipBox{})) {
            const auto [u, v] = SliceGeometry::inPlane(m_axis);
            const double columns = static_cast<double>(shape.columns());
            const double rows = static_cast<double>(shape.rows());
            const double top = shape.rowsRise() ? 1.0 - clip.high[v] : clip.low[v];
            const double bottom = shape.rowsRise() ? 1.0 - clip.low[v] : clip.high[v];
            painter.setPen(QPen(kClipColour, 1.0, Qt::DashLine));
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(QRectF(fromPicture({clip.low[u] * columns, top * rows}),
                                    fromPicture({clip.high[u] * columns, bottom * rows})));
        }
        if (m_ruler) {
            const QPointF from = fromPicture(m_ruler->first);
            const QPointF to = fromPicture(m_ruler->second);
            painter.setPen(QPen(kRulerColour, 2.0));
            painter.drawLine(from, to);
            painter.drawText(to + QPointF(kTextMargin, -kTextMargin),
                             QStringLiteral("%1 mm").arg(*rulerMillimetres(), 0, 'f', kMillimetreDecimals));
        }
    }
    const QString text = heading();
    const QRect box = painter.fontMetrics().boundingRect(text).adjusted(-kTextMargin, 0, kTextMargin, 0);
    const QRect at = box.translated(kTextMargin - box.left(), kTextMargin - box.top());
    painter.fillRect(at, QColor(0, 0, 0, kBackdropAlpha));
    painter.setPen(Qt::white);
    painter.drawText(at, Qt::AlignCenter, text);
    paintEdges(painter);
}

// Each edge's patient side in the middle of that edge of the view, on a backdrop like the
// heading's so that it reads on bright and dark pictures alike; the top one below the heading.
void SliceView::paintEdges(QPainter& painter) const {
    const std::optional<SliceEdges> sides = edges();
    if (!sides)
        return;
    const QFontMetrics metrics = painter.fontMetrics();
    const int side = metrics.height() + kTextMargin;
    const QRect view = rect().adjusted(kTextMargin, kTextMargin, -kTextMargin, -kTextMargin);
    const int belowHeading = kTextMargin + metrics.height() + kTextMargin;
    // Wide enough for an oblique slice's two or three letters.
    const auto wide = [&](const QString& text) {
        return std::max(side, metrics.horizontalAdvance(text) + kTextMargin);
    };
    const std::pair<QString, QRect> letters[] = {
        {sides->left, QRect(view.left(), view.center().y() - side / 2, wide(sides->left), side)},
        {sides->right, QRect(view.right() - wide(sides->right) + 1, view.center().y() - side / 2,
                             wide(sides->right), side)},
        {sides->top,
         QRect(view.center().x() - wide(sides->top) / 2, view.top() + belowHeading, wide(sides->top), side)},
        {sides->bottom, QRect(view.center().x() - wide(sides->bottom) / 2, view.bottom() - side + 1,
                              wide(sides->bottom), side)},
    };
    for (const auto& [text, box] : letters) {
        painter.fillRect(box, QColor(0, 0, 0, kBackdropAlpha));
        painter.drawText(box, Qt::AlignCenter, text);
    }
}

void SliceView::moveCrosshair(QPointF point) {
    const SliceGeometry shape = geometry();
    if (shape.columns() == 0 || shape.rows() == 0) {
        return;
    }
    // A drag past the picture's edge holds the crosshair at the edge.
    const QPointF picture = toPicture(point);
    const QPointF inside(std::clamp(picture.x(), 0.0, static_cast<double>(shape.columns()) - 0.5),
                         std::clamp(picture.y(), 0.0, static_cast<double>(shape.rows()) - 0.5));
    if (const std::optional<VoxelPoint> voxel = shape.voxelAt(m_crosshair.slice(m_axis), inside)) {
        m_crosshair.setPoint(*voxel);
    }
}

void SliceView::mousePressEvent(QMouseEvent* event) {
    const QPointF point = event->position();
    m_dragFrom = point;
    const bool ctrl = event->modifiers().testFlag(Qt::ControlModifier);
    if (event->button() == Qt::MiddleButton || (event->button() == Qt::LeftButton && ctrl)) {
        m_drag = Drag::Pan;
    } else if (event->button() == Qt::LeftButton && event->modifiers().testFlag(Qt::ShiftModifier)) {
        m_drag = Drag::Ruler;
        m_ruler = {toPicture(point), toPicture(point)};
        update();
    } else if (event->button() == Qt::LeftButton) {
        m_drag = Drag::Crosshair;
        moveCrosshair(point);
    }
}

void SliceView::mouseMoveEvent(QMouseEvent* event) {
    const QPointF point = event->position();
    switch (m_drag) {
    case Drag::Crosshair:
        moveCrosshair(point);
        break;
    case Drag::Pan:
        m_pan += point - m_dragFrom;
        m_dragFrom = point;
        update();
        break;
    case Drag::Ruler:
        m_ruler->second = toPicture(point);
        emit message(tr("Distance: %1 mm").arg(*rulerMillimetres(), 0, 'f', kMillimetreDecimals + 1));
        update();
        break;
    case Drag::None:
        describe(point);
        break;
    }
}

void SliceView::mouseReleaseEvent(QMouseEvent* event) {
    if (m_drag == Drag::Ruler) {
        m_ruler->second = toPicture(event->position());
        emit message(tr("Distance: %1 mm").arg(*rulerMillimetres(), 0, 'f', kMillimetreDecimals + 1));
        update();
    }
    m_drag = Drag::None;
}

void SliceView::wheelEvent(QWheelEvent* event) {
    const int angle = event->angleDelta().y();
    if (event->modifiers().testFlag(Qt::ControlModifier)) {
        const QPointF point = event->position();
        const QPointF under = toPicture(point);
        m_zoom =
            std::clamp(m_zoom * std::pow(kZoomPerNotch, angle / double(kWheelNotch)), kLeastZoom, kMostZoom);
        m_pan += point - fromPicture(under);
        requestSlice();
        update();
        event->accept();
        return;
    }
    m_wheelAngle += angle;
    const int notches = m_wheelAngle / kWheelNotch;
    m_wheelAngle -= notches * kWheelNotch;
    if (notches != 0) {
        m_crosshair.step(m_axis,
                         notches * (event->modifiers().testFlag(Qt::ShiftModifier) ? kShiftSteps : 1));
    }
    event->accept();
}

void SliceView::keyPressEvent(QKeyEvent* event) {
    const int steps = event->modifiers().testFlag(Qt::ShiftModifier) ? kShiftSteps : 1;
    if (event->key() == Qt::Key_PageUp) {
        m_crosshair.step(m_axis, steps);
    } else if (event->key() == Qt::Key_PageDown) {
        m_crosshair.step(m_axis, -steps);
    } else {
        QWidget::keyPressEvent(event);
    }
}
