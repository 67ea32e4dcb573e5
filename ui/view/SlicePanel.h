#pragma once

#include "render/display/CrosshairModel.h"
#include "ui/view/SliceView.h"

#include <QObject>
#include <QString>
#include <array>
#include <optional>

class DisplayModel;
class QGridLayout;

// How the main window shares its room between the 3-D view and the slice views.
enum class ViewLayout : std::uint8_t { ThreeD, OnePlusThree, TwoByTwo, Axial, Coronal, Sagittal };

// The three slice views beside the 3-D view, the crosshair they share and the layout that
// places them: in a grid that holds the 3-D view too, whose widgets stay where they are
// (an OpenGL view moved to another parent would have to build its context anew) and are
// only placed in other cells, or hidden.
class SlicePanel : public QObject {
    Q_OBJECT

  public:
    // The names voxview --layout takes: 3d, 1+3, 2x2, axial, coronal, sagittal.
    static std::optional<ViewLayout> parseLayout(const QString& name);

    // Slice views of `display`'s volume in `grid`, which holds `view3d`; the 3-D layout.
    SlicePanel(QGridLayout& grid, QWidget& view3d, DisplayModel& display, QObject* parent = nullptr);

    SliceView* view(SliceAxis axis) const { return m_views[SliceGeometry::across(axis)]; }
    CrosshairModel& crosshair() { return m_crosshair; }
    ViewLayout layout() const { return m_layout; }
    void setLayout(ViewLayout layout);
    // A volume was put on show: its middle slices.
    void setVolume(const VolumeState& volume);
    const SliceOptions& options() const { return m_options; }
    void setOptions(const SliceOptions& options);
    // Zoom, pan and rulers back to none.
    void resetViews();

  signals:
    // A line for the status bar from a slice view.
    void message(const QString& text);

  private:
    QGridLayout& m_grid;
    QWidget& m_view3d;
    CrosshairModel m_crosshair;
    std::array<SliceView*, 3> m_views{}; // by the axis they lie across: x, y, z
    SliceOptions m_options;
    ViewLayout m_layout = ViewLayout::ThreeD;
};
