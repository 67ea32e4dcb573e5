#pragma once

#include "volume/core/ImportOptions.h"
#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/core/VolumeRecord.h"

#include <QString>

// Reads NIfTI-1 and NIfTI-2 volumes (".nii", ".nii.gz", ".hdr" with its ".img") through
// nifticlib, which reads with plain file reads: a file that shrinks meanwhile is a
// refusal. Voxel spacing comes from pixdim (in millimetres; metres and microns are
// converted), values through scl_slope/scl_inter (a slope of 0 means none), the file's
// display range cal_min/cal_max becomes its window. Of a 4-D series the first volume is
// shown, with a note; five or more dimensions, complex and colour samples are refused.
// A rescale or display range that is not finite, or a rescale that would carry a value
// beyond the largest double, is left out with a note. 8- and 16-bit samples are read
// straight into the texels' memory; wider ones beside it (see the RAM budget's rule).
class NiftiVolumeReader {
  public:
    static ImportResult<VolumeRecord> read(const QString& path, const ImportOptions& options = {},
                                           const ImportProgress& progress = {});
};
