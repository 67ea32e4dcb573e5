#include "ui/view/SlicePanel.h"

#include <QGridLayout>
#include <QSignalBlocker>
#include <algorithm>
#include <utility>

namespace {

// The 3-D view's share of the width beside the column of slices.
constexpr int kLargeViewStretch = 3;

struct LayoutName {
    const char* name;
    ViewLayout layout;
};
constexpr LayoutName kLayoutNames[] = {
    {"3d", ViewLayout::ThreeD},   {"1+3", ViewLayout::OnePlusThree}, {"2x2", ViewLayout::TwoByTwo},
    {"axial", ViewLayout::Axial}, {"coronal", ViewLayout::Coronal},  {"sagittal", ViewLayout::Sagittal},
};

} // namespace

std::optional<ViewLayout> SlicePanel::parseLayout(const QString& name) {
    for (const auto& [text, layout] : kLayoutNames) {
        if (name.compare(QLatin1String(text), Qt::CaseInsensitive) == 0) {
            return layout;
        }
    }
    return std::nullopt;
}

SlicePanel::SlicePanel(QGridLayout& grid, QWidget& view3d, DisplayModel& display, QObject* parent)
    : QObject(parent), m_grid(grid), m_view3d(view3d) {
    for (SliceAxis axis : SliceGeometry::kAxes) {
        auto* view = new SliceView(axis, display, m_crosshair, m_view3d.parentWidget());
        view->hide();
        connect(view, &SliceView::message, this, &SlicePanel::message);
        m_views[SliceGeometry::across(axis)] = view;
    }
    setLayout(ViewLayout::ThreeD);
}

void SlicePanel::setLayout(ViewLayout layout) {
    m_layout = layout;
    SliceView* axial = view(SliceAxis::Axial);
    SliceView* coronal = view(SliceAxis::Coronal);
    SliceView* sagittal = view(SliceAxis::Sagittal);
    for (QWidget* widget : {&m_view3d, static_cast<QWidget*>(axial), static_cast<QWidget*>(coronal),
                            static_cast<QWidget*>(sagittal)}) {
        m_grid.removeWidget(widget);
    }
    for (int line = 0; line < 3; ++line) {
        m_grid.setRowStretch(line, 0);
        m_grid.setColumnStretch(line, 0);
    }
    // Each widget shown, with its cell: row, column, rows spanned; the others hidden.
    struct Cell {
        QWidget* widget;
        int row, column, rows;
    };
    std::vector<Cell> cells;
    switch (layout) {
    case ViewLayout::ThreeD:
        cells = {{&m_view3d, 0, 0, 1}};
        break;
    case ViewLayout::OnePlusThree:
        cells = {{&m_view3d, 0, 0, 3}, {axial, 0, 1, 1}, {coronal, 1, 1, 1}, {sagittal, 2, 1, 1}};
        m_grid.setColumnStretch(0, kLargeViewStretch);
        m_grid.setColumnStretch(1, 1);
        break;
    case ViewLayout::TwoByTwo:
        cells = {{&m_view3d, 0, 0, 1}, {axial, 0, 1, 1}, {coronal, 1, 0, 1}, {sagittal, 1, 1, 1}};
        m_grid.setColumnStretch(0, 1);
        m_grid.setColumnStretch(1, 1);
        break;
    case ViewLayout::Axial:
        cells = {{axial, 0, 0, 1}};
        break;
    case ViewLayout::Coronal:
        cells = {{coronal, 0, 0, 1}};
        break;
    case ViewLayout::Sagittal:
        cells = {{sagittal, 0, 0, 1}};
        break;
    }
    // Rows share the height equally; an empty row with a stretch would take room too.
    for (const Cell& cell : cells) {
        for (int line = cell.row; line < cell.row + cell.rows; ++line) {
            m_grid.setRowStretch(line, 1);
        }
    }
    for (QWidget* widget : {&m_view3d, static_cast<QWidget*>(axial), static_cast<QWidget*>(coronal),
                            static_cast<QWidget*>(sagittal)}) {
        const auto cell =
            std::find_if(cells.begin(), cells.end(), [widget](const Cell& c) { return c.widget == widget; });
        if (cell != cells.end()) {
            m_grid.addWidget(widget, cell->row, cell->column, cell->rows, 1);
        }
        widget->setVisible(cell != cells.end());
    }
}

void SlicePanel::setVolume(const VolumeState& volume) {
    {
        // The views hear of the new point once they know the volume it lies in.
        const QSignalBlocker quiet(&m_crosshair);
        m_crosshair.resetForVolume({volume.width, volume.height, volume.depth});
    }
    for (SliceView* view : m_views) {
        view->setVolume(volume);
    }
    emit m_crosshair.pointChanged();
}

void SlicePanel::setOptions(const SliceOptions& options) {
    m_options = options;
    for (SliceView* view : m_views) {
        view->setOptions(options);
    }
}

void SlicePanel::resetViews() {
    for (SliceView* view : m_views) {
        view->resetView();
    }
}
