#pragma once

#include "NRRDfmt.h"
#include "NrrdVolumeReader.h"

#include <QJsonObject>
#include <QStringList>

// What voxview-inspect prints about an imported volume: the record the renderer would
// take, how its samples were found and read, and their statistics.
QJsonObject inspectReport(const NrrdVolumeReader& reader, const NrrdDataSource& source, const NRRDfmt& volume,
                          const QStringList& notes);
