#pragma once

#include "volume/core/ImportOptions.h"
#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/core/VolumeRecord.h"

#include <QString>

// Reads TIFF stacks through libtiff: the pages of a multi-page file, or, when the
// chosen file has one page, it and its numbered siblings (NumberedFiles), one slice
// each. Every slice must be a strip-organised grey image of the first one's size and
// sample type: 8-, 16-, 32- or 64-bit integers or floating point. Colour, palette,
// bilevel, tiled and inverted-grey pages, and ImageJ hyperstacks of several channels
// or frames, are refused with the reason. Files are read without a memory map, so one
// that shrinks meanwhile is a refusal.
//
// Voxel spacing in millimetres: x and y from the resolution tags, in the unit of
// ImageJ's description or of ResolutionUnit; z from ImageJ's "spacing=". What is
// missing is said in a note: x and y fall back to 1, z to the x spacing.
class TiffVolumeReader {
  public:
    static ImportResult<VolumeRecord> read(const QString& path, const ImportOptions& options = {},
                                           const ImportProgress& progress = {});
};
