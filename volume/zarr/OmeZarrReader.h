#pragma once

#include "volume/core/ImportOptions.h"
#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/core/VolumeRecord.h"
#include "volume/zarr/ChunkStore.h"

#include <memory>

// Opens an OME-Zarr image, or a bare Zarr array, from any chunked store (a folder, a web
// server) as a volume read lazily: the record carries the shape, voxel spacing in
// millimetres, the first channel's window, and a ZarrVolumeSource that decodes chunks of
// level 0, and of the image's own coarse levels that halve it, as the renderer asks for
// them. Nothing of level 0 is read here; samples wider
// than 16 bits are mapped with the range of the coarsest level, read whole for that.
class OmeZarrReader {
  public:
    static ImportResult<VolumeRecord> read(std::shared_ptr<const ChunkStore> store,
                                           const ImportOptions& options, const ImportProgress& progress);

    // The share of the RAM budget the decoded-chunk cache may hold.
    static constexpr std::uint64_t kCacheShareOfBudget = 16;
};
