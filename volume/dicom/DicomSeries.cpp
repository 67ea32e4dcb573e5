#include "volume/dicom/DicomSeries.h"

#include <QObject>
#include <algorithm>

QString DicomSeries::summary() const {
    const QString name = description.isEmpty() ? QObject::tr("Series %1").arg(uid) : description;
    if (slices.empty())
        return name;
    const DicomSlice& first = slices.front();
    const bool oneSize = std::ranges::all_of(slices, [&first](const DicomSlice& slice) {
        return slice.columns == first.columns && slice.rows == first.rows;
    });
    const QString size =
        oneSize ? QStringLiteral("%1 × %2").arg(first.columns).arg(first.rows) : QObject::tr("mixed sizes");
    const std::size_t count = slices.size() == 1 ? first.frames : slices.size();
    return QObject::tr("%1 · %2 · %3 slices").arg(name, size).arg(count);
}
