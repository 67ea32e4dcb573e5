#pragma once

#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/core/VolumeRecord.h"
#include "volume/dicom/DicomSeries.h"
#include "volume/nrrd/NrrdVolumeReader.h"

// Reads one DICOM series into the record the renderer takes. GDCM decodes each slice,
// whatever its transfer syntax (uncompressed, RLE, JPEG lossless and baseline,
// JPEG-LS, JPEG 2000). Slices are stacked along their normal (DicomSliceOrder).
//
// Values: where every slice shares a rescale slope of 1 and a whole-number intercept
// (the common CT case), the stored samples become the texels unchanged (signed ones
// offset by 32768) and the intercept joins sampleOffset, so texel + sampleOffset is the
// Hounsfield value itself. Otherwise (a fractional slope, slices rescaled differently,
// 32-bit samples) the rescaled values are spread over the 16-bit range by a
// LinearRescale carried in valueScale and valueOffset.
//
// Refused with their reason: slices of different sizes or pixel spacings, a slice
// that cannot be read or decoded, colour images, and every stack DicomSliceOrder
// refuses.
class DicomSeriesReader {
  public:
    static ImportResult<VolumeRecord> read(const DicomSeries& series, const ImportOptions& options = {},
                                           const ImportProgress& progress = {});
};
