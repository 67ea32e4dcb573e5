#pragma once

#include "volume/core/VolumeRecord.h"
#include "volume/dicom/DicomSeries.h"
#include "volume/nrrd/NrrdVolumeReader.h"
#include "volume/zarr/OmeZarrLayout.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

// What voxview-inspect prints about an imported volume: the record the renderer would
// take, its format, how its samples were found and read (into memory, or in place), and
// their statistics in the file's own units (unknown for a volume read in place).
QJsonObject inspectReport(const NrrdVolumeReader& reader, const NrrdDataSource& source,
                          const VolumeRecord& volume, const QStringList& notes);
// The same for a volume of another format, read from `path` (a file or a folder).
QJsonObject inspectReport(const QString& path, const VolumeRecord& volume, const QStringList& notes);

// The same for a DICOM series, with "series", its Series Instance UID; "data_file" is
// the first slice in order.
QJsonObject inspectReport(const QString& path, const DicomSeries& series, const VolumeRecord& volume,
                          const QStringList& notes);

// The same for an OME-Zarr store, with its levels (shape and voxel size), the chunk shape
// and the codecs of level 0.
QJsonObject inspectReport(const QString& path, const OmeZarrLayout& layout, const VolumeRecord& volume,
                          const QStringList& notes);
