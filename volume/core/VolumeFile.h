#pragma once

#include "volume/core/ImportOptions.h"
#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/core/VolumeRecord.h"
#include "volume/zarr/ChunkStore.h"

#include <QString>
#include <memory>

// The one place that knows which reader opens a file: the import command, the command
// line and voxview-inspect all come through here.
//
// The format is told by the file's first bytes (NRRD's "NRRD000", NIfTI's header size
// and magic, TIFF's byte-order mark, DICOM's "DICM" preamble), else by its name (".nii.gz"
// is compressed, an Analyze ".img" has no magic of its own); a folder is an OME-Zarr store
// when it holds Zarr metadata at its top, else a DICOM series. An http:// or https:// URL
// is an OME-Zarr store on a web server.
enum class VolumeFormat { Unknown, Nrrd, Nifti, Tiff, Dicom, OmeZarr };

class VolumeFile {
  public:
    static VolumeFormat detect(const QString& path);
    // "nrrd", "nifti", "tiff", "dicom", "ome-zarr" (as VolumeRecord::format names them); empty when unknown.
    static QString formatName(VolumeFormat format);
    // How messages name the file or store at `path`: a file's name, a URL without the user
    // name and password it may carry.
    static QString shownName(const QString& path);
    // The chunked store at `path`: a folder, or a web server's URL whose values are kept in
    // the chunk cache (ImportOptions::chunkCacheFolder, chunkCacheBytes).
    static ImportResult<std::shared_ptr<const ChunkStore>> openStore(const QString& path,
                                                                     const ImportOptions& options);

    // Reads a volume that needs nothing but its path. An NRRD header is read with the
    // data it names or carries (NrrdVolumeReader opens one step by step where a data
    // file is to be chosen), here, by our own reader. NIfTI, TIFF and DICOM go through
    // their format's library, which a damaged file can make abort, hang or allocate
    // without bound: they are read by the import worker (ImportWorker), so that such a
    // file is refused and this process goes on. An OME-Zarr store is read here too, by our
    // own bounded decoders: its voxels are read lazily, by this process. Any thread.
    static ImportResult<VolumeRecord> read(const QString& path, const ImportOptions& options = {},
                                           const ImportProgress& progress = {});
    // The same read, every format in this process: what the import worker itself runs,
    // and what tests and fuzz targets of the readers call. Running out of memory anywhere
    // in the read is a refusal too.
    static ImportResult<VolumeRecord> readInProcess(const QString& path, const ImportOptions& options = {},
                                                    const ImportProgress& progress = {});

  private:
    static ImportResult<VolumeRecord> readAs(VolumeFormat format, const QString& path,
                                             const ImportOptions& options, const ImportProgress& progress);
};
