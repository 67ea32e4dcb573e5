#pragma once

#include "DicomSeries.h"
#include "NRRDfmt.h"
#include "NrrdVolumeReader.h"

#include <QJsonObject>
#include <QStringList>

// What voxview-inspect prints about an imported volume: the record the renderer would
// take, how its samples were found and read, and their statistics.
QJsonObject inspectReport(const NrrdVolumeReader& reader, const NrrdDataSource& source, const NRRDfmt& volume,
                          const QStringList& notes);

// The same for a DICOM series: "header" is the file or folder given, "data_file" the
// first slice in order, "series" the Series Instance UID.
QJsonObject inspectReport(const QString& path, const DicomSeries& series, const NRRDfmt& volume,
                          const QStringList& notes);
