#pragma once

#include <QString>
#include <QStringList>

// Slices saved one file each are numbered: "slice_001.tif", "slice_002.tif" ... Given
// one of them, finds the whole run: the files in the same folder whose names differ
// only in the number before the extension, ordered by that number (so "slice_10"
// follows "slice_9" whether or not the numbers are padded). A name without a number, or
// one without numbered siblings, is a run of its own.
class NumberedFiles {
  public:
    static QStringList around(const QString& path);
};
