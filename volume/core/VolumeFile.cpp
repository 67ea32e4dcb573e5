#include "volume/core/VolumeFile.h"

#include "volume/dicom/DicomSeriesReader.h"
#include "volume/dicom/DicomSeriesScanner.h"
#include "volume/files/RegularFile.h"
#include "volume/http/HttpStore.h"
#include "volume/nifti/NiftiVolumeReader.h"
#include "volume/nrrd/NrrdVolumeReader.h"
#include "volume/tiff/TiffVolumeReader.h"
#include "volume/worker/ImportWorker.h"
#include "volume/zarr/DirectoryStore.h"
#include "volume/zarr/OmeZarrLayout.h"
#include "volume/zarr/OmeZarrReader.h"

#include <QFileInfo>
#include <QtEndian>
#include <new>

namespace {

// NIfTI-1 headers are 348 bytes with their magic at 344; NIfTI-2 ones 540 bytes with
// theirs at 4. The header size also tells the byte order.
constexpr qint32 kNifti1HeaderSize = 348;
constexpr qint32 kNifti2HeaderSize = 540;
constexpr qsizetype kNifti1MagicAt = 344;
constexpr qsizetype kNifti2MagicAt = 4;
// DICOM files in the standard's media format (PS3.10): a 128-byte preamble, then "DICM".
constexpr qsizetype kDicomMagicAt = 128;
constexpr qsizetype kSniffBytes = kNifti1MagicAt + 4;
// The share of a DICOM read's progress that the listing of the series' folder takes:
// only the headers are read there.
constexpr double kDicomScanShare = 0.1;

bool isNifti(const QByteArray& head) {
    if (head.size() < kNifti2MagicAt + 4)
        return false;
    const auto little = qFromLittleEndian<qint32>(head.constData());
    const auto big = qFromBigEndian<qint32>(head.constData());
    const auto is = [&](qint32 size) { return little == size || big == size; };
    if (is(kNifti2HeaderSize))
        return head.mid(kNifti2MagicAt, 3) == "n+2" || head.mid(kNifti2MagicAt, 3) == "ni2";
    return is(kNifti1HeaderSize) && head.size() >= kSniffBytes &&
           (head.mid(kNifti1MagicAt, 3) == "n+1" || head.mid(kNifti1MagicAt, 3) == "ni1" ||
            head.mid(kNifti1MagicAt, 4) == QByteArray(4, '\0')); // Analyze 7.5: no magic
}

bool isTiff(const QByteArray& head) {
    return head.startsWith(QByteArrayLiteral("II*\0")) || head.startsWith(QByteArrayLiteral("MM\0*")) ||
           head.startsWith(QByteArrayLiteral("II+\0")) || head.startsWith(QByteArrayLiteral("MM\0+"));
}

VolumeFormat byName(const QString& fileName) {
    const QString name = fileName.toLower();
    if (name.endsWith(QLatin1String(".nrrd")) || name.endsWith(QLatin1String(".nhdr")))
        return VolumeFormat::Nrrd;
    if (name.endsWith(QLatin1String(".nii")) || name.endsWith(QLatin1String(".nii.gz")) ||
        name.endsWith(QLatin1String(".hdr")) || name.endsWith(QLatin1String(".img")) ||
        name.endsWith(QLatin1String(".hdr.gz")) || name.endsWith(QLatin1String(".img.gz")))
        return VolumeFormat::Nifti;
    if (name.endsWith(QLatin1String(".tif")) || name.endsWith(QLatin1String(".tiff")))
        return VolumeFormat::Tiff;
    if (name.endsWith(QLatin1String(".dcm")))
        return VolumeFormat::Dicom;
    return VolumeFormat::Unknown;
}

// A path that is gone, or that is neither a folder (a DICOM series) nor a regular file. A
// web store is asked only when it is read.
std::optional<ImportRefusal> refuseUnreadable(const QString& path) {
    if (HttpLocation::isHttpUrl(path))
        return std::nullopt;
    const QFileInfo info(path);
    if (!info.exists())
        return ImportRefusal{QStringLiteral("%1 does not exist.").arg(info.fileName())};
    if (info.isDir())
        return std::nullopt;
    const ImportResult<std::uint64_t> checked = RegularFile::sizeOf(info.filePath());
    if (const auto* refusal = std::get_if<ImportRefusal>(&checked))
        return *refusal;
    return std::nullopt;
}

} // namespace

VolumeFormat VolumeFile::detect(const QString& path) {
    if (HttpLocation::isHttpUrl(path))
        return VolumeFormat::OmeZarr;
    const QFileInfo info(path);
    if (info.isDir())
        return OmeZarrLayout::isStoreFolder(path) ? VolumeFormat::OmeZarr : VolumeFormat::Dicom;
    if (OmeZarrLayout::isMetadataName(info.fileName()))
        return VolumeFormat::OmeZarr;
    // Only a regular file is opened to sniff: a named pipe would block the caller, which
    // may be the window's own thread.
    const QByteArray head = RegularFile::sniff(path, kDicomMagicAt + 4);
    if (head.startsWith("NRRD000"))
        return VolumeFormat::Nrrd;
    if (isTiff(head))
        return VolumeFormat::Tiff;
    if (isNifti(head))
        return VolumeFormat::Nifti;
    if (head.mid(kDicomMagicAt, 4) == "DICM")
        return VolumeFormat::Dicom;
    return byName(info.fileName());
}

ImportResult<std::shared_ptr<const ChunkStore>> VolumeFile::openStore(const QString& path,
                                                                      const ImportOptions& options) {
    if (!HttpLocation::isHttpUrl(path)) {
        // The metadata file at a store's top, as an open panel chooses it, stands for the store.
        const QFileInfo info(path);
        return std::shared_ptr<const ChunkStore>(
            std::make_shared<const DirectoryStore>(info.isDir() ? path : info.absolutePath()));
    }
    HttpStore::Options web;
    const QString folder =
        options.chunkCacheFolder.isEmpty() ? ChunkCache::defaultFolder() : options.chunkCacheFolder;
    web.cache = std::make_shared<ChunkCache>(folder, options.chunkCacheBytes);
    auto store = HttpStore::open(path, std::move(web));
    if (const auto* reason = std::get_if<QString>(&store))
        return ImportRefusal{*reason};
    return std::shared_ptr<const ChunkStore>(std::get<std::shared_ptr<HttpStore>>(std::move(store)));
}

QString VolumeFile::shownName(const QString& path) {
    return HttpLocation::isHttpUrl(path) ? HttpLocation::withoutCredentials(path)
                                         : QFileInfo(path).fileName();
}

QString VolumeFile::formatName(VolumeFormat format) {
    switch (format) {
    case VolumeFormat::Nrrd:
        return QStringLiteral("nrrd");
    case VolumeFormat::Nifti:
        return QStringLiteral("nifti");
    case VolumeFormat::Tiff:
        return QStringLiteral("tiff");
    case VolumeFormat::Dicom:
        return QStringLiteral("dicom");
    case VolumeFormat::OmeZarr:
        return QStringLiteral("ome-zarr");
    case VolumeFormat::Unknown:
        break;
    }
    return {};
}

ImportResult<VolumeRecord> VolumeFile::read(const QString& path, const ImportOptions& options,
                                            const ImportProgress& progress) {
    if (std::optional<ImportRefusal> refusal = refuseUnreadable(path))
        return *refusal;
    const VolumeFormat format = detect(path);
    if (format == VolumeFormat::Nrrd || format == VolumeFormat::OmeZarr || format == VolumeFormat::Unknown)
        return readInProcess(path, options, progress);
    return ImportWorker(options, progress).read(path, format);
}

ImportResult<VolumeRecord> VolumeFile::readInProcess(const QString& path, const ImportOptions& options,
                                                     const ImportProgress& progress) {
    if (std::optional<ImportRefusal> refusal = refuseUnreadable(path))
        return *refusal;
    // The readers keep within the RAM budget; memory the machine cannot give even so (other
    // programs hold it, or a library asks for more than it said) refuses the import too.
    try {
        return readAs(detect(path), path, options, progress);
    } catch (const std::bad_alloc&) {
        return ImportRefusal{QStringLiteral("There is not enough memory to import %1.").arg(shownName(path))};
    }
}

ImportResult<VolumeRecord> VolumeFile::readAs(VolumeFormat format, const QString& path,
                                              const ImportOptions& options, const ImportProgress& progress) {
    const QFileInfo info(path);
    switch (format) {
    case VolumeFormat::Nrrd: {
        ImportResult<NrrdVolumeReader> reader = NrrdVolumeReader::open(path, options);
        if (const auto* refusal = std::get_if<ImportRefusal>(&reader))
            return *refusal;
        return std::get<NrrdVolumeReader>(reader).readVolume(NrrdDataChoice::fromHeader(), progress);
    }
    case VolumeFormat::Nifti:
        return NiftiVolumeReader::read(path, options, progress);
    case VolumeFormat::Tiff:
        return TiffVolumeReader::read(path, options, progress);
    case VolumeFormat::Dicom: {
        // A file stands for its own series; a folder must hold only one, since nobody is
        // here to choose (the window asks, voxview-inspect takes --series).
        ImportResult<std::vector<DicomSeries>> scanned =
            DicomSeriesScanner::scan(path, progress.part(0.0, kDicomScanShare));
        if (const auto* refusal = std::get_if<ImportRefusal>(&scanned))
            return *refusal;
        const std::vector<DicomSeries>& found = std::get<std::vector<DicomSeries>>(scanned);
        if (found.size() != 1)
            return ImportRefusal{QStringLiteral("%1 holds %2 DICOM series; choose one of them.")
                                     .arg(info.fileName())
                                     .arg(found.size())};
        return DicomSeriesReader::read(found.front(), options,
                                       progress.part(kDicomScanShare, 1.0 - kDicomScanShare));
    }
    case VolumeFormat::OmeZarr: {
        ImportResult<std::shared_ptr<const ChunkStore>> store = openStore(path, options);
        if (const auto* refusal = std::get_if<ImportRefusal>(&store))
            return *refusal;
        return OmeZarrReader::read(std::get<std::shared_ptr<const ChunkStore>>(std::move(store)), options,
                                   progress);
    }
    case VolumeFormat::Unknown:
        break;
    }
    return ImportRefusal{
        QStringLiteral("%1 is none of the formats the viewer reads (NRRD, NIfTI, TIFF, DICOM, OME-Zarr).")
            .arg(info.fileName())};
}
