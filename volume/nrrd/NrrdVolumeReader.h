#pragma once

#include "volume/core/ByteBuffer.h"
#include "volume/core/ImportOptions.h"
#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/core/VolumeRecord.h"
#include "volume/files/InPlaceVolumeSource.h"
#include "volume/nrrd/NrrdDataChoice.h"
#include "volume/nrrd/NrrdHeader.h"
#include "volume/nrrd/NrrdHeaderFile.h"
#include "volume/nrrd/NrrdLayout.h"

#include <QString>
#include <cstdint>
#include <vector>

// The bytes an import's samples are read from.
struct NrrdDataSource {
    QString path;                  // the file that holds them (the first of several)
    bool attached = false;         // they follow the header in the header's own file
    std::vector<ByteBuffer> files; // the data section of each file, read into memory, in order
    // The files in order and where each one's data begins; for a volume read in place
    // these are all there is, nothing having been read.
    std::vector<InPlaceVolumeSource::DataFile> located;
};

// Reads an NRRD volume in two steps. open() reads and checks the header (cheap: any
// thread, before anything is shown to the user); readVolume() then finds, reads and
// decodes the samples (long: meant for a worker thread) into the record the renderer
// takes. Either step hands back a refusal with its reason instead, so a volume that
// cannot be shown correctly never reaches the renderer.
//
// Where the voxels go is decided from the header alone. A volume whose texels exceed
// the RAM budget, or with a side longer than the GPU's largest 3-D texture, is read in
// place when its samples allow it (raw, 8 or 16 bits): the record carries a brick source
// over the files and no voxels. Every other volume is decoded into memory as a whole,
// and is refused when its peak needs more than the RAM budget: the data read into memory
// with the decoded samples and texels beside it (a wider or floating-point volume needs a
// pass over every sample for its range before any texel exists).
class NrrdVolumeReader {
  public:
    static ImportResult<NrrdVolumeReader> open(const QString& headerPath, const ImportOptions& options = {});
    static ImportResult<NrrdVolumeReader> fromHeaderFile(const NrrdHeaderFile& file,
                                                         const ImportOptions& options = {});

    const NrrdHeader& header() const { return m_header; }
    const NrrdLayout& layout() const { return m_layout; }
    const QString& headerPath() const { return m_file.path(); }
    // The voxels follow the header in its own file: there is no data file to choose.
    bool hasAttachedData() const;
    // The header's "data file:" resolved against the header's folder, whether or not it
    // exists; empty when the header names none or names several files.
    QString dataFilePath() const;
    // The header spreads the samples over several files ("data file: LIST", or a
    // numbered pattern): they are found from the header, never chosen.
    bool hasSeveralDataFiles() const;

    // The samples are read in place rather than decoded into memory.
    bool readsInPlace() const { return m_readsInPlace; }

    // Finds the data and, unless it is read in place, reads it into memory (a file that
    // shrinks meanwhile is refused).
    ImportResult<NrrdDataSource> resolveData(const NrrdDataChoice& choice,
                                             const ImportProgress& progress = {}) const;
    ImportResult<VolumeRecord> readVolume(const NrrdDataSource& source,
                                          const ImportProgress& progress = {}) const;
    // resolveData() and readVolume() in one.
    ImportResult<VolumeRecord> readVolume(const NrrdDataChoice& choice,
                                          const ImportProgress& progress = {}) const;

  private:
    NrrdVolumeReader(NrrdHeaderFile file, NrrdHeader header, NrrdLayout layout, VolumeRecord record,
                     const ImportOptions& options);
    ImportResult<NrrdDataSource> locateData(const NrrdDataChoice& choice,
                                            const ImportProgress& progress) const;
    ImportResult<NrrdDataSource> readIntoMemory(NrrdDataSource source, const ImportProgress& progress) const;
    ImportResult<VolumeRecord> readInPlace(const NrrdDataSource& source) const;
    ImportResult<VolumeRecord> decode(const NrrdDataSource& source, std::size_t samples,
                                      const ImportProgress& progress) const;

    NrrdHeaderFile m_file;
    NrrdHeader m_header;
    NrrdLayout m_layout;
    VolumeRecord m_record; // every field but the voxels
    ImportOptions m_options;
    bool m_readsInPlace = false;
};
