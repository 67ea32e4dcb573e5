#pragma once

#include "render/scene/VolumeState.h"
#include "render/slice/SliceColouring.h"
#include "render/slice/SliceLabels.h"
#include "render/slice/SliceLoader.h"
#include "render/slice/SliceResampler.h"

#include <QImage>
#include <QPointF>
#include <QWidget>
#include <memory>
#include <optional>

class CrosshairModel;
class DisplayModel;

// How the slice views show their slices, the same for the three of them.
struct SliceOptions {
    double slabMillimetres = 0.0; // a thick slab of this many millimetres; 0: one slice
    SlabMode slab = SlabMode::Mip;
    bool linear = false;      // values blended between voxel centres, then coloured; else square
    bool viewColours = false; // the colour map of the 3-D view, else grey
};

// One slice of the volume on show, across one voxel axis, through the crosshair point:
// its texels read on a thread of their own (SliceLoader) and coloured through the display
// model's window as the 3-D view colours them, drawn in the voxels' true proportions.
//
// The pointer: a left click or drag moves the crosshair (and so the other views' slices),
// the wheel or Page Up/Down steps one slice (ten with Shift), Ctrl+wheel zooms about the
// pointer, a middle or Ctrl+left drag pans, a Shift+left drag measures a distance in
// millimetres. Hovering tells the voxel under the pointer and its value.
class SliceView : public QWidget {
    Q_OBJECT

  public:
    SliceView(SliceAxis axis, DisplayModel& display, CrosshairModel& crosshair, QWidget* parent = nullptr);

    SliceAxis axis() const { return m_axis; }
    // The volume to show (a new one, or the first): a read of its slice starts.
    void setVolume(const VolumeState& volume);
    void setOptions(const SliceOptions& options);
    const SliceOptions& options() const { return m_options; }
    // Zoom 1, centred, no ruler.
    void resetView();

    // The heading the view draws: the slice's name, axis, number and place in millimetres.
    QString heading() const;
    // The patient sides the picture's edges face, drawn at them; none where the file names
    // no orientation.
    std::optional<SliceEdges> edges() const { return labels().edges(); }
    // The ruler's length, if one is drawn.
    std::optional<double> rulerMillimetres() const;
    // The slice on show has arrived and no read is running or waiting.
    bool settled() const;
    // The picture drawn, one pixel per texel of the slice at its level (null before the
    // first arrives).
    const QImage& picture() const { return m_picture; }
    // Where the picture lies in the view.
    QRectF placement() const;

  signals:
    // A line for the status bar: what lies under the pointer, or the ruler's length.
    void message(const QString& text);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    enum class Drag { None, Crosshair, Pan, Ruler };

    SliceGeometry geometry() const;
    SliceLabels labels() const { return {m_axis, m_volume.orientation}; }
    void describeInToolTip();
    // The slice or slab the crosshair and the options call for, at the level the view's
    // pixels need.
    SliceRequest wanted() const;
    // The coarsest level the source holds whose texels are no larger than the view's pixels;
    // 0 for a source that holds none.
    std::uint32_t neededLevel() const;
    // Where the slice on show lies: its level's texels may reach past the volume's end.
    QRectF slicePlacement() const;
    VoxelSpacing spacing() const;
    // The picture's pixel (fractions within) under a point of the view.
    QPointF toPicture(QPointF point) const;
    QPointF fromPicture(QPointF picture) const;
    void requestSlice();
    void showSlice(std::shared_ptr<const SliceImage> slice);
    void recolour();
    void moveCrosshair(QPointF point);
    void describe(QPointF point);
    void paintOverlay(QPainter& painter) const;
    void paintEdges(QPainter& painter) const;

    SliceAxis m_axis;
    DisplayModel& m_display;
    CrosshairModel& m_crosshair;
    VolumeState m_volume;
    SliceOptions m_options;
    SliceLoader m_loader;
    std::optional<SliceRequest> m_requested; // asked of the loader last
    std::shared_ptr<const SliceImage> m_slice;
    std::optional<SliceColouring> m_colouring; // of the window and map on show
    QImage m_picture;
    SliceResampler m_resampler;
    double m_zoom = 1.0;
    QPointF m_pan;
    Drag m_drag = Drag::None;
    QPointF m_dragFrom;
    std::optional<std::pair<QPointF, QPointF>> m_ruler; // picture coordinates
    int m_wheelAngle = 0;                               // eighths of a degree not yet stepped
};
