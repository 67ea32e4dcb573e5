// voxview-inspect PATH [DATA]: runs the viewer's import without a GPU and prints what
// the viewer would show as one JSON object, or why it would refuse the file. PATH is
// any file the viewer opens (NRRD, DICOM, NIfTI, TIFF), a folder of DICOM files or an
// OME-Zarr store's folder or web address (its values kept within --cache-budget on disk)
// (--series UID picks one series of a folder that holds several); DATA is the data file
// of a detached NRRD header, as the viewer's data panel would choose it. A raw volume
// beyond --ram-budget or --max-texture-size is read in place, as the viewer reads it, and
// reported without being read whole; a shape the viewer's GPU of --max-texture-size could
// not hold is refused as the window refuses it.

#include "ImportReport.h"
#include "render/streaming/BrickPool.h"
#include "volume/core/VolumeFile.h"
#include "volume/core/VolumeSize.h"
#include "volume/dicom/DicomSeriesScanner.h"
#include "volume/nrrd/NrrdVolumeReader.h"
#include "volume/worker/ImportWorker.h"
#include "volume/zarr/OmeZarrLayout.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kRefused = 1;
constexpr int kUsageError = 2;
constexpr int kMegabyteShift = 20;
// A budget beyond any machine's memory, and far within 64 bits of bytes.
constexpr double kMaxRamBudgetMegabytes = 1e12;
// An OME-Zarr store's level 0 up to this many bytes of texels is read whole for its
// statistics; a larger one is reported without them, as the viewer never reads it whole.
constexpr std::uint64_t kWholeStoreBytes = std::uint64_t{64} << 20;

// The import's log lines (such as a spacing that fell back to 1) go into the report's
// "notes" instead of stderr, which carries only the one line of a refusal.
QStringList g_notes;

void collectNote(QtMsgType, const QMessageLogContext&, const QString& message) {
    g_notes.append(message);
}

int fail(const QString& header, const QString& reason) {
    std::fprintf(stderr, "voxview-inspect: %s: %s\n", qUtf8Printable(VolumeFile::shownName(header)),
                 qUtf8Printable(reason));
    return kRefused;
}

int print(const QJsonObject& report) {
    std::fputs(QJsonDocument(report).toJson(QJsonDocument::Compact).append('\n').constData(), stdout);
    return 0;
}

int usage(const QString& problem) {
    std::fprintf(stderr,
                 "voxview-inspect: %s\nUsage: voxview-inspect [--max-texture-size N] [--ram-budget MB] "
                 "[--cache-budget MB] [--series UID] PATH "
                 "[DATA]\n",
                 qUtf8Printable(problem));
    return kUsageError;
}

// The renderer's side of the import: a shape whose page table or coarsest level the
// brick pool cannot hold on a GPU of this texture limit is refused with the reason the
// window gives before it replaces the volume on show.
int printUnlessRefused(const QString& path, const VolumeRecord& volume, const ImportOptions& options,
                       const QJsonObject& report) {
    if (const std::optional<QString> refusal = BrickPool::refusal(
            {volume.width, volume.height, volume.depth}, BrickPool::Budgets{}, options.maxTextureSize))
        return fail(path, *refusal);
    return print(report);
}

// The series given by UID, the only one there is, or a refusal that lists them.
ImportResult<DicomSeries> pickSeries(std::vector<DicomSeries> found, const QString& uid) {
    if (uid.isEmpty() && found.size() == 1)
        return std::move(found.front());
    QStringList listed;
    for (DicomSeries& series : found) {
        if (series.uid == uid)
            return std::move(series);
        listed << QStringLiteral("%1 (%2)").arg(series.uid, series.summary());
    }
    const QString problem =
        uid.isEmpty() ? QStringLiteral("There are %1 series; choose one with --series UID").arg(found.size())
                      : QStringLiteral("There is no series %1").arg(uid);
    return ImportRefusal{QStringLiteral("%1: %2.").arg(problem, listed.join(QStringLiteral(", ")))};
}

// The series is listed and read by the import worker, as the viewer does it: a file
// that makes the DICOM library abort or hang is refused like any other.
int inspectDicom(const QString& path, const QString& uid, const ImportOptions& options) {
    const ImportWorker worker(options, {});
    ImportResult<std::vector<DicomSeries>> scanned = worker.scanDicom(path);
    if (const auto* refusal = std::get_if<ImportRefusal>(&scanned))
        return fail(path, refusal->reason);
    const ImportResult<DicomSeries> series =
        pickSeries(std::get<std::vector<DicomSeries>>(std::move(scanned)), uid);
    if (const auto* refusal = std::get_if<ImportRefusal>(&series))
        return fail(path, refusal->reason);
    const ImportResult<VolumeRecord> volume = worker.readDicom(std::get<DicomSeries>(series));
    if (const auto* refusal = std::get_if<ImportRefusal>(&volume))
        return fail(path, refusal->reason);
    return printUnlessRefused(
        path, std::get<VolumeRecord>(volume), options,
        inspectReport(path, std::get<DicomSeries>(series), std::get<VolumeRecord>(volume), g_notes));
}

// A store is read as the viewer reads it (lazily); its level 0 is then read whole when small.
int inspectZarr(const QString& path, const ImportOptions& options) {
    ImportResult<VolumeRecord> read = VolumeFile::read(path, options);
    if (const auto* refusal = std::get_if<ImportRefusal>(&read))
        return fail(path, refusal->reason);
    VolumeRecord& volume = std::get<VolumeRecord>(read);
    const ImportResult<std::shared_ptr<const ChunkStore>> store = VolumeFile::openStore(path, options);
    if (const auto* refusal = std::get_if<ImportRefusal>(&store))
        return fail(path, refusal->reason);
    const std::variant<OmeZarrLayout, QString> layout =
        OmeZarrLayout::open(*std::get<std::shared_ptr<const ChunkStore>>(store));
    if (const auto* reason = std::get_if<QString>(&layout))
        return fail(path, *reason);
    const std::uint64_t bytes =
        std::uint64_t{volume.width} * volume.height * volume.depth * sizeof(std::uint16_t);
    if (bytes <= kWholeStoreBytes) {
        QByteArray texels(static_cast<qsizetype>(bytes), Qt::Uninitialized);
        auto* row = reinterpret_cast<std::uint16_t*>(texels.data());
        for (std::uint32_t z = 0; z < volume.depth; ++z)
            for (std::uint32_t y = 0; y < volume.height; ++y, row += volume.width)
                if (!volume.source->readRow(0, y, z, volume.width, row))
                    return fail(path, volume.source->unreadableFile());
        volume.data = ByteBuffer::fromByteArray(std::move(texels));
    } else {
        g_notes << QStringLiteral("Its level 0 of %1 MB was not read whole; its statistics are not known.")
                       .arg(megabytesText(bytes));
    }
    return printUnlessRefused(path, volume, options,
                              inspectReport(path, std::get<OmeZarrLayout>(layout), volume, g_notes));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("voxview-inspect"));
    qInstallMessageHandler(collectNote);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Reads a volume (NRRD, NIfTI, TIFF) as the voxview import does and prints "
                       "its format, size, spacing, type and sample statistics as JSON."));
    parser.addHelpOption();
    const QCommandLineOption maxTextureSize(QStringLiteral("max-texture-size"),
                                            QStringLiteral("Largest 3-D texture side to accept (default %1).")
                                                .arg(ImportOptions::kDefaultMaxTextureSize),
                                            QStringLiteral("N"),
                                            QString::number(ImportOptions::kDefaultMaxTextureSize));
    parser.addOption(maxTextureSize);
    const QCommandLineOption ramBudget(
        QStringLiteral("ram-budget"),
        QStringLiteral("Megabytes an import may hold in memory; larger raw volumes are read in place "
                       "(default %1).")
            .arg(ImportOptions::kDefaultRamBudgetBytes >> kMegabyteShift),
        QStringLiteral("MB"), QString::number(ImportOptions::kDefaultRamBudgetBytes >> kMegabyteShift));
    parser.addOption(ramBudget);
    const QCommandLineOption cacheBudget(
        QStringLiteral("cache-budget"),
        QStringLiteral("Megabytes of disk for values read from web stores (default %1).")
            .arg(ImportOptions::kDefaultChunkCacheBytes >> kMegabyteShift),
        QStringLiteral("MB"), QString::number(ImportOptions::kDefaultChunkCacheBytes >> kMegabyteShift));
    parser.addOption(cacheBudget);
    const QCommandLineOption series(
        QStringLiteral("series"),
        QStringLiteral("The DICOM series to read from a folder that holds several."), QStringLiteral("UID"));
    parser.addOption(series);
    parser.addPositionalArgument(
        QStringLiteral("PATH"),
        QStringLiteral("The volume file (.nrrd, .nhdr, .dcm, .nii, .nii.gz, .hdr, .tif ...), "
                       "a folder of DICOM files, or an OME-Zarr store's folder or http(s):// URL."));
    parser.addPositionalArgument(
        QStringLiteral("DATA"),
        QStringLiteral("The data file, as chosen in the viewer's data panel (optional)."),
        QStringLiteral("[DATA]"));
    if (!parser.parse(QCoreApplication::arguments()))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp();

    const QStringList arguments = parser.positionalArguments();
    if (arguments.isEmpty() || arguments.size() > 2)
        return usage(QStringLiteral("expected a volume file and at most one data file"));
    ImportOptions options;
    bool validLimit = false;
    options.maxTextureSize = parser.value(maxTextureSize).toUInt(&validLimit);
    if (!validLimit || options.maxTextureSize == 0)
        return usage(QStringLiteral("--max-texture-size needs a positive integer"));
    bool validBudget = false;
    const double budget = parser.value(ramBudget).toDouble(&validBudget);
    if (!validBudget || !(budget > 0.0) || budget > kMaxRamBudgetMegabytes)
        return usage(QStringLiteral("--ram-budget needs a positive number of megabytes"));
    options.ramBudgetBytes = static_cast<std::uint64_t>(std::ldexp(budget, kMegabyteShift));
    const double cache = parser.value(cacheBudget).toDouble(&validBudget);
    if (!validBudget || !(cache >= 0.0) || cache > kMaxRamBudgetMegabytes)
        return usage(QStringLiteral("--cache-budget needs a number of megabytes (0 keeps nothing)"));
    options.chunkCacheBytes = static_cast<std::uint64_t>(std::ldexp(cache, kMegabyteShift));

    const QString& header = arguments[0];
    if (VolumeFile::detect(header) == VolumeFormat::OmeZarr) {
        if (arguments.size() > 1)
            return usage(QStringLiteral("an OME-Zarr store takes no data file"));
        return inspectZarr(header, options);
    }
    if (DicomSeriesScanner::isDicom(header)) {
        if (arguments.size() > 1)
            return usage(QStringLiteral("a DICOM series takes no data file"));
        return inspectDicom(header, parser.value(series), options);
    }
    if (VolumeFile::detect(header) != VolumeFormat::Nrrd) {
        if (arguments.size() > 1)
            return usage(QStringLiteral("only an NRRD header takes a data file"));
        const ImportResult<VolumeRecord> volume = VolumeFile::read(header, options);
        if (const auto* refusal = std::get_if<ImportRefusal>(&volume))
            return fail(header, refusal->reason);
        return printUnlessRefused(header, std::get<VolumeRecord>(volume), options,
                                  inspectReport(header, std::get<VolumeRecord>(volume), g_notes));
    }
    const ImportResult<NrrdVolumeReader> opened = NrrdVolumeReader::open(header, options);
    if (const auto* refusal = std::get_if<ImportRefusal>(&opened))
        return fail(header, refusal->reason);
    const NrrdVolumeReader& reader = std::get<NrrdVolumeReader>(opened);

    const NrrdDataChoice choice =
        arguments.size() > 1 ? NrrdDataChoice::file(arguments[1]) : NrrdDataChoice::fromHeader();
    const ImportResult<NrrdDataSource> source = reader.resolveData(choice);
    if (const auto* refusal = std::get_if<ImportRefusal>(&source))
        return fail(header, refusal->reason);
    const ImportResult<VolumeRecord> volume = reader.readVolume(std::get<NrrdDataSource>(source));
    if (const auto* refusal = std::get_if<ImportRefusal>(&volume))
        return fail(header, refusal->reason);

    return printUnlessRefused(
        header, std::get<VolumeRecord>(volume), options,
        inspectReport(reader, std::get<NrrdDataSource>(source), std::get<VolumeRecord>(volume), g_notes));
}
