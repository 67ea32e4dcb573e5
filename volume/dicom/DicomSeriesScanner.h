#pragma once

#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/dicom/DicomSeries.h"

#include <QString>
#include <vector>

// Finds the DICOM series a user means by a path. Only the headers are read (GDCM's
// scanner stops before the pixel data), so a folder of a few hundred slices is
// listed quickly.
class DicomSeriesScanner {
  public:
    // A folder (which may hold a series) or a file that starts like a DICOM file:
    // the 128-byte preamble followed by "DICM".
    static bool isDicom(const QString& path);

    // A folder: every series among its files (not its subfolders), ordered by
    // description. A file: the one series it belongs to, with its siblings in the same
    // folder. Files that are not DICOM images (a DICOMDIR, a text file) are passed over,
    // and so is anything but a regular file (a named pipe, a device, a link to one).
    // Reports the share of files scanned; refused as cancelled when asked to stop.
    static ImportResult<std::vector<DicomSeries>> scan(const QString& path,
                                                       const ImportProgress& progress = {});
};
