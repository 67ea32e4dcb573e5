// Feeds invented files to the NRRD import as a header with attached data: the header
// reader, every check of the header, the lists and patterns of several data files and
// the decoding of the data (raw, gzip, bzip2, hex, ascii; every sample type) must turn
// any bytes into a volume of exactly the promised size or a refusal, and never crash,
// read out of bounds or overflow.

#include "ImportPromises.h"
#include "volume/core/ByteBuffer.h"
#include "volume/nrrd/NrrdDataFiles.h"
#include "volume/nrrd/NrrdHeaderFile.h"
#include "volume/nrrd/NrrdVolumeReader.h"

#include <QByteArray>
#include <QtGlobal>
#include <cstddef>
#include <cstdint>

namespace {

// A folder that does not exist: detached data files named by invented headers are
// never opened, so a run cannot wander through the file system.
const QString kHeaderPath = QStringLiteral("/nonexistent/voxview-fuzz/input.nrrd");
// Volumes beyond this side are read in place, which an invented header cannot be (its
// file does not exist); smaller ones are decoded within a RAM budget of 2 MiB.
constexpr std::uint32_t kMaxTextureSize = 64;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteBuffer bytes = ByteBuffer::fromByteArray(
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    const ImportResult<NrrdHeaderFile> file = NrrdHeaderFile::fromBytes(bytes, kHeaderPath);
    const auto* headerFile = std::get_if<NrrdHeaderFile>(&file);
    if (!headerFile)
        return 0;

    ImportOptions options = fuzzReadOptions();
    options.maxTextureSize = kMaxTextureSize;
    const ImportResult<NrrdVolumeReader> opened = NrrdVolumeReader::fromHeaderFile(*headerFile, options);
    const auto* reader = std::get_if<NrrdVolumeReader>(&opened);
    if (!reader)
        return 0;
    static_cast<void>(reader->dataFilePath());
    if (reader->hasSeveralDataFiles()) {
        // Patterns and lists name files without touching the file system.
        const ImportResult<QStringList> files =
            NrrdDataFiles::list(reader->header(), *reader->header().sizes, QStringLiteral("/nonexistent"));
        if (const auto* names = std::get_if<QStringList>(&files))
            checkPromise(!names->isEmpty() && names->size() <= NrrdDataFiles::kMaxFiles,
                         "a pattern or list names some files, within the limit");
        return 0;
    }
    if (!reader->hasAttachedData())
        return 0;

    const ImportResult<VolumeRecord> volume = reader->readVolume(NrrdDataChoice::fromHeader());
    checkImport(volume);
    if (const auto* record = std::get_if<VolumeRecord>(&volume))
        checkPromise(!record->source, "attached data is decoded into memory");
    return 0;
}
