#pragma once

#include "volume/core/ImportRefusal.h"

#include <QString>
#include <QStringList>
#include <optional>

// Slices saved one file each are numbered: "slice_001.tif", "slice_002.tif" ... Given
// one of them, finds the whole run: the files in the same folder whose names differ
// only in the number before the extension, ordered by that number (so "slice_10"
// follows "slice_9" whether or not the numbers are padded). A name without a number, or
// one without numbered siblings, is a run of its own.
class NumberedFiles {
  public:
    static QStringList around(const QString& path);

    // Why a run from around() cannot be stacked at even spacing, if it cannot: two files
    // with one number ("slice_5", "slice_005"), or a jump in the numbers beyond the
    // run's usual step (slice 5 of 1 to 8 missing). Such a stack drawn at even spacing
    // would be distorted, as a DICOM series with a missing slice would.
    static std::optional<ImportRefusal> refuseGaps(const QStringList& run);
};
