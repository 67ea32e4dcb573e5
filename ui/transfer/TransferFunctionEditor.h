#pragma once

#include "render/display/ColourMap.h"
#include "volume/samples/TexelHistogram.h"

#include <QWidget>
#include <memory>
#include <vector>

// The opacity curve of the colour map over the display window, drawn over the histogram of
// the volume's values (log counts) with the map's colours in a bar beneath. The curve lies
// over the window as the renderer reads it (0 its floor, 1 its top); the axis is labelled
// in the file's units, so moving or stretching the window moves the axis, not the curve.
//
// Editing: a left click on empty space adds a point there, a left drag moves a point
// (between its neighbours), a right click or Delete removes one (two always stay); Tab
// selects the next point, the arrow keys move the selected one. Every edit emits the
// whole curve.
class TransferFunctionEditor : public QWidget {
    Q_OBJECT

  public:
    explicit TransferFunctionEditor(QWidget* parent = nullptr);

    // The map shown: its colours in the bar and its curve; a map without a curve of its own
    // shows the square rise the renderer gives it, as points to edit.
    void setMap(const ColourMap& map);
    // The window's floor and top in the file's units.
    void setWindow(double floor, double top);
    // The volume's counts, and how its texels read in the file's units; null clears.
    void setHistogram(std::shared_ptr<const TexelHistogram> histogram,
                      const TexelHistogram::FileUnits& units);

    const std::vector<ColourMap::OpacityPoint>& points() const { return m_points; }
    const TexelHistogram* histogram() const { return m_histogram.get(); }
    int selected() const { return m_selected; }
    // Where the point is drawn, in this widget's coordinates.
    QPoint pointPosition(int index) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  signals:
    void pointsEdited(const std::vector<ColourMap::OpacityPoint>& points);
    // The value under the pointer in the file's units, while the pointer is over the curve.
    void pointerValue(double value);
    void pointerLeft();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool focusNextPrevChild(bool next) override;

  private:
    QRectF plotRect() const;
    QRectF barRect() const;
    QPointF toWidget(const ColourMap::OpacityPoint& point) const;
    ColourMap::OpacityPoint toCurve(QPointF position) const;
    int pointAt(QPointF position) const;
    // Moves the selected point to `to`, kept between its neighbours and inside the plot.
    void moveSelected(ColourMap::OpacityPoint to);
    void select(int index);
    void edited();
    void paintHistogram(QPainter& painter, const QRectF& plot) const;

    std::vector<ColourMap::OpacityPoint> m_points;
    ColourMap::Table m_colours{};
    double m_floor = 0.0;
    double m_top = 1.0;
    std::shared_ptr<const TexelHistogram> m_histogram;
    TexelHistogram::FileUnits m_units;
    int m_selected = -1;
    bool m_dragging = false;
};
