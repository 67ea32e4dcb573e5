#pragma once

#include "volume/core/ImportRefusal.h"
#include "volume/nrrd/NrrdHeader.h"

#include <QString>
#include <QStringList>

// The data files of a volume stored in several of them, as its header lists them:
// "data file: <format> <first> <last> <step> [<subdim>]" numbers them with a printf
// pattern ("slice%03d.raw 1 90 1"), "data file: LIST [<subdim>]" names one per line
// after it, to the end of the header. Each file holds the samples of its first
// <subdim> axes (by default all but the slowest), so there must be exactly one file
// per step of the remaining axes. Names are resolved against the header's folder.
class NrrdDataFiles {
  public:
    // One file per slice of the deepest volumes there are; a pattern naming more (one
    // file per row of a large volume) would only exhaust memory and open files.
    static constexpr qint64 kMaxFiles = qint64{1} << 16;

    // Whether the "data file:" value names several files.
    static bool namesSeveral(const QString& dataFileText);

    // The files in order; refused when the pattern or the list is malformed or the
    // number of files does not fit the volume's sizes. `sizes` are the three checked
    // sizes of the volume.
    static ImportResult<QStringList> list(const NrrdHeader& header, const std::array<std::int32_t, 3>& sizes,
                                          const QString& headerFolder);
};
