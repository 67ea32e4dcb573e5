#pragma once

#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/core/VolumeRecord.h"

#include <QString>
#include <optional>

// Writes any volume the viewer holds as an OME-NGFF 0.4 image: Zarr format 2, chunks of
// 64^3 compressed by blosc with zstd inside, "/" between a chunk key's coordinates, and
// levels of 2 x 2 x 2 means (an axis of one voxel is not halved) down to one chunk.
//
// The samples are written as the viewer's texels carry them: int16 for signed volumes
// (texel + sampleOffset), uint16 otherwise (8-bit volumes widen), so that every sample reads
// back as written. A rescale into 16 bits (floats, 32-bit integers, a CT slope) is kept as
// "voxview": {"valueScale", "valueOffset"} beside the image's metadata; the file's window
// becomes the first channel's omero window, in the stored samples' units.
//
// The voxels are read one row of chunks at a time, from the volume's source (read in place
// or lazily) or its texels; each coarser level is computed from the one just written, read
// back a row of chunks at a time. The store is written under a temporary name beside the
// target and renamed when it is complete, so a store cut short never looks complete; a
// store already at the target is replaced, anything else there is refused.
class OmeZarrWriter {
  public:
    static constexpr std::uint64_t kChunkSide = 64;

    static std::optional<ImportRefusal> write(const VolumeRecord& volume, const QString& folder,
                                              const ImportProgress& progress = {});
};
