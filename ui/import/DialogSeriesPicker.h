#pragma once

#include "ui/import/SeriesPicker.h"

#include <QPointer>
#include <QWidget>

// The series chooser as a modal list over the given window: one line per series with
// its description, slice size and number of slices.
class DialogSeriesPicker : public SeriesPicker {
  public:
    explicit DialogSeriesPicker(QWidget* parent = nullptr);

    std::optional<std::size_t> chooseSeries(const std::vector<DicomSeries>& series) override;

  private:
    QPointer<QWidget> m_parent;
};
