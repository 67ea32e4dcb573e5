#include "ui/transfer/TransferFunctionEditor.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace {

constexpr int kMargin = 8;
constexpr int kBarHeight = 14;
constexpr int kLabelHeight = 16;
constexpr double kPointRadius = 4.5;
// A press this close to a point (in pixels) takes the point rather than adding one.
constexpr double kHitRadius = 7.0;
// The arrow keys move the selected point by this share of the window or of full opacity.
constexpr double kKeyStep = 0.01;
constexpr std::size_t kFewestPoints = 2;
constexpr QSize kPreferredSize(320, 180);
constexpr QSize kSmallestSize(160, 100);
// The square rise of a map without its own curve, as points to edit.
constexpr int kSquareRisePoints = 5;
constexpr int kLabelDigits = 6;

const QColor kBackground(32, 32, 32);
const QColor kHistogramColour(110, 110, 110);
const QColor kCurveColour(240, 240, 240);
const QColor kSelectedColour(255, 196, 0);

} // namespace

TransferFunctionEditor::TransferFunctionEditor(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAccessibleName(tr("Opacity curve"));
    setAccessibleDescription(tr("How opaque the volume's values are across the display window, over the "
                                "histogram of the values. Click to add a point, drag to move one, right "
                                "click or Delete to remove it; Tab selects the next point and the arrow "
                                "keys move it."));
    setMap(ColourMap::warmDefault());
}

void TransferFunctionEditor::setMap(const ColourMap& map) {
    if (map.hasOpacity()) {
        m_points = map.opacity();
    } else {
        m_points.clear();
        for (int n = 0; n < kSquareRisePoints; ++n) {
            const double x = static_cast<double>(n) / (kSquareRisePoints - 1);
            m_points.push_back({x, x * x});
        }
    }
    m_colours = map.table();
    if (m_selected >= static_cast<int>(m_points.size())) {
        m_selected = -1;
    }
    update();
}

void TransferFunctionEditor::setWindow(double floor, double top) {
    m_floor = floor;
    m_top = top;
    update();
}

void TransferFunctionEditor::setHistogram(std::shared_ptr<const TexelHistogram> histogram,
                                          const TexelHistogram::FileUnits& units) {
    m_histogram = std::move(histogram);
    m_units = units;
    update();
}

QSize TransferFunctionEditor::sizeHint() const {
    return kPreferredSize;
}

QSize TransferFunctionEditor::minimumSizeHint() const {
    return kSmallestSize;
}

QRectF TransferFunctionEditor::plotRect() const {
    return QRectF(rect()).adjusted(kMargin, kMargin, -kMargin, -(kMargin + kBarHeight + kLabelHeight));
}

QRectF TransferFunctionEditor::barRect() const {
    const QRectF plot = plotRect();
    return {plot.left(), plot.bottom() + 1.0, plot.width(), static_cast<double>(kBarHeight)};
}

QPointF TransferFunctionEditor::toWidget(const ColourMap::OpacityPoint& point) const {
    const QRectF plot = plotRect();
    return {plot.left() + point.x * plot.width(), plot.bottom() - point.opacity * plot.height()};
}

ColourMap::OpacityPoint TransferFunctionEditor::toCurve(QPointF position) const {
    const QRectF plot = plotRect();
    return {std::clamp((position.x() - plot.left()) / std::max(plot.width(), 1.0), 0.0, 1.0),
            std::clamp((plot.bottom() - position.y()) / std::max(plot.height(), 1.0), 0.0, 1.0)};
}

QPoint TransferFunctionEditor::pointPosition(int index) const {
    return toWidget(m_points.at(static_cast<std::size_t>(index))).toPoint();
}

int TransferFunctionEditor::pointAt(QPointF position) const {
    int nearest = -1;
    double nearestDistance = kHitRadius;
    for (std::size_t i = 0; i < m_points.size(); ++i) {
        const QPointF offset = toWidget(m_points[i]) - position;
        const double distance = std::hypot(offset.x(), offset.y());
        if (distance <= nearestDistance) {
            nearest = static_cast<int>(i);
            nearestDistance = distance;
        }
    }
    return nearest;
}

void TransferFunctionEditor::select(int index) {
    m_selected = index;
    update();
}

void TransferFunctionEditor::edited() {
    update();
    emit pointsEdited(m_points);
}

void TransferFunctionEditor::moveSelected(ColourMap::OpacityPoint to) {
    if (m_selected < 0) {
        return;
    }
    const auto index = static_cast<std::size_t>(m_selected);
    const double low = index == 0 ? 0.0 : m_points[index - 1].x;
    const double high = index + 1 == m_points.size() ? 1.0 : m_points[index + 1].x;
    // The point keeps the shape of the curve up to the next one.
    m_points[index].x = std::clamp(to.x, low, high);
    m_points[index].opacity = std::clamp(to.opacity, 0.0, 1.0);
    edited();
}

void TransferFunctionEditor::mousePressEvent(QMouseEvent* event) {
    const int hit = pointAt(event->position());
    if (event->button() == Qt::RightButton) {
        if (hit >= 0 && m_points.size() > kFewestPoints) {
            m_points.erase(m_points.begin() + hit);
            select(-1);
            edited();
        }
        return;
    }
    if (event->button() != Qt::LeftButton) {
        return;
    }
    if (hit >= 0) {
        select(hit);
    } else {
        const ColourMap::OpacityPoint added = toCurve(event->position());
        const auto at = std::ranges::upper_bound(m_points, added.x, {}, &ColourMap::OpacityPoint::x);
        select(static_cast<int>(m_points.insert(at, added) - m_points.begin()));
        edited();
    }
    m_dragging = true;
}

void TransferFunctionEditor::mouseMoveEvent(QMouseEvent* event) {
    const ColourMap::OpacityPoint under = toCurve(event->position());
    emit pointerValue(m_floor + under.x * (m_top - m_floor));
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        moveSelected(under);
    }
}

void TransferFunctionEditor::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_dragging = false;
    }
}

void TransferFunctionEditor::leaveEvent(QEvent* /*event*/) {
    emit pointerLeft();
}

bool TransferFunctionEditor::focusNextPrevChild(bool next) {
    // Tab walks the points while there are any; past the last it leaves the curve.
    const int count = static_cast<int>(m_points.size());
    const int to = m_selected + (next ? 1 : -1);
    if (hasFocus() && to >= 0 && to < count) {
        select(to);
        return true;
    }
    if (hasFocus() && m_selected < 0 && count > 0) {
        select(next ? 0 : count - 1);
        return true;
    }
    select(-1);
    return QWidget::focusNextPrevChild(next);
}

void TransferFunctionEditor::keyPressEvent(QKeyEvent* event) {
    if (m_selected < 0) {
        QWidget::keyPressEvent(event);
        return;
    }
    const ColourMap::OpacityPoint at = m_points[static_cast<std::size_t>(m_selected)];
    switch (event->key()) {
    case Qt::Key_Delete:
    case Qt::Key_Backspace:
        if (m_points.size() > kFewestPoints) {
            m_points.erase(m_points.begin() + m_selected);
            select(-1);
            edited();
        }
        break;
    case Qt::Key_Left:
        moveSelected({at.x - kKeyStep, at.opacity});
        break;
    case Qt::Key_Right:
        moveSelected({at.x + kKeyStep, at.opacity});
        break;
    case Qt::Key_Up:
        moveSelected({at.x, at.opacity + kKeyStep});
        break;
    case Qt::Key_Down:
        moveSelected({at.x, at.opacity - kKeyStep});
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void TransferFunctionEditor::paintHistogram(QPainter& painter, const QRectF& plot) const {
    if (!m_histogram) {
        return;
    }
    const int columns = std::max(static_cast<int>(plot.width()), 1);
    const std::vector<std::uint64_t> counts = m_histogram->bins(m_floor, m_top, columns, m_units);
    // Log counts: a large background would flatten everything else to nothing.
    const double highest = std::log1p(static_cast<double>(*std::ranges::max_element(counts)));
    if (highest <= 0.0) {
        return;
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(kHistogramColour);
    for (int column = 0; column < columns; ++column) {
        const double height = plot.height() * std::log1p(static_cast<double>(counts[column])) / highest;
        painter.drawRect(QRectF(plot.left() + column, plot.bottom() - height, 1.0, height));
    }
}

void TransferFunctionEditor::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF plot = plotRect();
    painter.fillRect(plot, kBackground);
    paintHistogram(painter, plot);

    const QRectF bar = barRect();
    for (int column = 0; column < static_cast<int>(bar.width()); ++column) {
        const auto entry = static_cast<std::size_t>(
            std::lround(column / std::max(bar.width() - 1.0, 1.0) * (ColourMap::kTableSize - 1)));
        painter.fillRect(QRectF(bar.left() + column, bar.top(), 1.0, bar.height()),
                         QColor(m_colours[4 * entry], m_colours[4 * entry + 1], m_colours[4 * entry + 2]));
    }

    // The curve as the table takes it, column by column: its end values held out to the
    // window's edges, and a preset's curved or stepped segments drawn as they shade.
    QPainterPath curve;
    const int columns = std::max(static_cast<int>(plot.width()), 1);
    for (int column = 0; column <= columns; ++column) {
        const double x = static_cast<double>(column) / columns;
        const QPointF at = toWidget({x, ColourMap::opacityAt(m_points, x)});
        column == 0 ? curve.moveTo(at) : curve.lineTo(at);
    }
    painter.setPen(QPen(kCurveColour, 1.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(curve);
    for (std::size_t i = 0; i < m_points.size(); ++i) {
        painter.setBrush(static_cast<int>(i) == m_selected ? kSelectedColour : kCurveColour);
        painter.drawEllipse(toWidget(m_points[i]), kPointRadius, kPointRadius);
    }

    painter.setPen(palette().color(QPalette::WindowText));
    const QRectF labels(plot.left(), bar.bottom(), plot.width(), kLabelHeight);
    painter.drawText(labels, Qt::AlignLeft | Qt::AlignVCenter, QString::number(m_floor, 'g', kLabelDigits));
    painter.drawText(labels, Qt::AlignRight | Qt::AlignVCenter, QString::number(m_top, 'g', kLabelDigits));
}
