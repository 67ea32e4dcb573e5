#include "ui/import/DialogSeriesPicker.h"

#include <QInputDialog>

DialogSeriesPicker::DialogSeriesPicker(QWidget* parent) : m_parent(parent) {}

std::optional<std::size_t> DialogSeriesPicker::chooseSeries(const std::vector<DicomSeries>& series) {
    QStringList items;
    // Numbered, so that two series with the same description stay apart.
    for (std::size_t i = 0; i < series.size(); ++i)
        items << QStringLiteral("%1. %2").arg(i + 1).arg(series[i].summary());
    bool chosen = false;
    const QString item = QInputDialog::getItem(m_parent, QObject::tr("Choose a DICOM series"),
                                               QObject::tr("This folder holds %1 series:").arg(series.size()),
                                               items, 0, false, &chosen);
    const qsizetype index = items.indexOf(item);
    if (!chosen || index < 0)
        return std::nullopt;
    return static_cast<std::size_t>(index);
}
