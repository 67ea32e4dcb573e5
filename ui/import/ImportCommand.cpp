// Index of this file: the panels and the alert (setFilePicker … userAlert); what File › Import
// and a dropped or named file start (menuImportaction, openFile, importNrrd, importDicom, reload);
// DICOM folders listed off the GUI thread, then a series chosen (scan, chooseSeries); the requests
// and options an import carries (readOptions, headerRequest, dataRequest); one import's life
// (beginImport, startLoading, load, readAndHandOver, statusProgress, showProgress); its ends
// (finishReplaced, finishRefused, refuse) and Esc (cancelLoading).

#include "ui/import/ImportCommand.h"

#include "render/QVRenderer.h"
#include "ui/import/DialogFilePicker.h"
#include "ui/import/DialogSeriesPicker.h"
#include "ui/import/ImportHandOver.h"
#include "ui/view/QVMTKView.h"
#include "ui/view/ViewController.h"
#include "ui/window/MessageBoxAlert.h"
#include "ui/window/VolumeStatus.h"
#include "volume/core/VolumeFile.h"
#include "volume/http/HttpLocation.h"
#include "volume/nrrd/NrrdVolumeReader.h"
#include "volume/worker/ImportWorker.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QThreadPool>
#include <algorithm>
#include <chrono>
#include <limits>
#include <new>
#include <optional>
#include <utility>

Q_LOGGING_CATEGORY(lcImport, "voxview.import")

namespace {

// Progress reaches the status line at most this often, and only when the whole
// percentage has changed: each update is a queued call to the GUI thread.
constexpr std::chrono::milliseconds kProgressInterval{100};
constexpr int kFullPercent = 100;

QString loadingText(const QString& dataName, int percent) {
    return QStringLiteral("Loading %1 … %2 %").arg(dataName).arg(percent);
}

QString scanningText(const QString& name, int percent) {
    return QStringLiteral("Listing the DICOM series of %1 … %2 %").arg(name).arg(percent);
}

// Thins out the reader's fine-grained progress on the worker thread.
class ProgressThrottle {
  public:
    std::optional<int> percentDue(double fraction) {
        const double bounded = fraction > 0.0 ? std::min(fraction, 1.0) : 0.0;
        const int percent = static_cast<int>(bounded * kFullPercent);
        const auto now = std::chrono::steady_clock::now();
        if (percent == m_lastPercent || now - m_lastReport < kProgressInterval) {
            return std::nullopt;
        }
        m_lastPercent = percent;
        m_lastReport = now;
        return percent;
    }

  private:
    int m_lastPercent = 0; // the command shows 0 % when it starts
    std::chrono::steady_clock::time_point m_lastReport = std::chrono::steady_clock::now();
};

} // namespace

// Everything a pool thread needs to read one volume and hand it over. `command` is only
// touched through calls posted to its own thread.
struct ImportCommand::Load {
    std::shared_ptr<ImportHandOver> handOver;
    Read read;
    std::stop_token stop;
    QVRenderer* renderer;
    ImportCommand* command;
    std::uint64_t import;
    Request request;
    QString headerName;
    QString dataName;
};

// What a pool thread needs to list the DICOM series of a file or folder.
struct ImportCommand::Scan {
    std::shared_ptr<ImportHandOver> handOver;
    ImportOptions options;
    std::stop_token stop;
    ImportCommand* command;
    std::uint64_t import;
    QString path;
    QString name;
};

ImportCommand::ImportCommand(ViewController& controller, QObject* parent)
    : QObject(parent), m_controller(controller), m_handOver(std::make_shared<ImportHandOver>(this)) {}

ImportCommand::~ImportCommand() {
    m_loadingStop.request_stop();
    m_handOver->close();
}

void ImportCommand::setFilePicker(std::unique_ptr<FilePicker> picker) {
    m_filePicker = std::move(picker);
}

void ImportCommand::setUserAlert(std::unique_ptr<UserAlert> alert) {
    m_userAlert = std::move(alert);
}

FilePicker& ImportCommand::filePicker() {
    if (!m_filePicker) {
        QVMTKView* view = m_controller.view();
        m_filePicker = std::make_unique<DialogFilePicker>(view ? view->window() : nullptr);
    }
    return *m_filePicker;
}

void ImportCommand::setSeriesPicker(std::unique_ptr<SeriesPicker> picker) {
    m_seriesPicker = std::move(picker);
}

SeriesPicker& ImportCommand::seriesPicker() {
    if (!m_seriesPicker) {
        QVMTKView* view = m_controller.view();
        m_seriesPicker = std::make_unique<DialogSeriesPicker>(view ? view->window() : nullptr);
    }
    return *m_seriesPicker;
}

UserAlert& ImportCommand::userAlert() {
    if (!m_userAlert) {
        QVMTKView* view = m_controller.view();
        m_userAlert = std::make_unique<MessageBoxAlert>(view ? view->window() : nullptr);
    }
    return *m_userAlert;
}

void ImportCommand::menuImportaction() {
    qInfo("menuImportaction");
    const std::optional<QString> path = filePicker().openFile(headerRequest());
    if (!path) {
        qInfo("Cancel button was pressed.");
        return;
    }
    if (path->isEmpty()) {
        return;
    }
    openFile(*path);
}

void ImportCommand::openFile(const QString& path, const QString& dataPath) {
    // A web store's URL is named without the user name and password it may carry.
    const QString name = VolumeFile::shownName(path);
    if (!HttpLocation::isHttpUrl(path)) {
        m_lastFolder = QFileInfo(path).absolutePath();
    }
    m_request = {path, dataPath};
    if (!m_controller.renderer()) {
        refuse(name, tr("The viewer has no renderer to show it."));
        return;
    }
    switch (VolumeFile::detect(path)) {
    case VolumeFormat::Nrrd:
        importNrrd(path, dataPath);
        return;
    case VolumeFormat::Dicom:
        importDicom(path);
        return;
    default:
        break;
    }
    startLoading([path, options = readOptions()](
                     const ImportProgress& progress) { return VolumeFile::read(path, options, progress); },
                 name, name);
}

void ImportCommand::importNrrd(const QString& headerPath, const QString& dataPath) {
    const QFileInfo header(headerPath);
    ImportResult<NrrdVolumeReader> opened = NrrdVolumeReader::open(headerPath, readOptions());
    if (const auto* refusal = std::get_if<ImportRefusal>(&opened)) {
        refuse(header.fileName(), refusal->reason);
        return;
    }
    auto reader = std::make_shared<const NrrdVolumeReader>(std::get<NrrdVolumeReader>(std::move(opened)));
    const auto readWith = [reader](NrrdDataChoice choice) {
        return
            [reader, choice](const ImportProgress& progress) { return reader->readVolume(choice, progress); };
    };
    if (!dataPath.isEmpty()) {
        startLoading(readWith(NrrdDataChoice::file(dataPath)), header.fileName(),
                     QFileInfo(dataPath).fileName());
        return;
    }
    if (reader->hasAttachedData() || reader->hasSeveralDataFiles()) {
        startLoading(readWith(NrrdDataChoice::fromHeader()), header.fileName(), header.fileName());
        return;
    }
    const std::optional<QString> chosen = filePicker().openFile(dataRequest(*reader));
    if (!chosen) {
        // The user knows; the volume on show and any import still loading stay as they are.
        qInfo("Cancel button was pressed.");
        return;
    }
    if (chosen->isEmpty()) {
        return;
    }
    m_request.dataPath = *chosen;
    startLoading(readWith(NrrdDataChoice::file(*chosen)), header.fileName(), QFileInfo(*chosen).fileName());
}

void ImportCommand::reload() {
    if (!m_shownRequest.path.isEmpty()) {
        const Request shown = m_shownRequest;
        openFile(shown.path, shown.dataPath);
    }
}

// Stops the worker's read and its hand-over. A volume whose upload had already begun
// still arrives, and is then shown and described like any other.
void ImportCommand::cancelLoading() {
    if (!isLoading()) {
        return;
    }
    qCInfo(lcImport).noquote() << QStringLiteral("The import in progress was cancelled.");
    m_loadingStop.request_stop();
    m_loadingImport = 0;
    emit loadingChanged(false);
}

// The series is listed on a pool thread (by the import worker: a damaged file may make
// the DICOM library abort or hang), with its progress in the status line and Esc stopping
// it; the user picks one of several series back here, and its slices are read then.
void ImportCommand::importDicom(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    const std::uint64_t import = beginImport(scanningText(name, 0));
    Scan job{m_handOver, readOptions(), m_loadingStop.get_token(), this, import, path, name};
    QThreadPool::globalInstance()->start([job = std::move(job)] { scan(job); });
}

// Pool thread.
void ImportCommand::scan(const Scan& job) {
    const ImportProgress progress =
        statusProgress(job.handOver, job.command, job.import, job.stop,
                       [name = job.name](int percent) { return scanningText(name, percent); });
    ImportResult<std::vector<DicomSeries>> scanned = ImportWorker(job.options, progress).scanDicom(job.path);
    if (job.stop.stop_requested()) {
        qCInfo(lcImport).noquote() << QStringLiteral("The listing of %1 was stopped.").arg(job.name);
        return;
    }
    job.handOver->post([command = job.command, import = job.import, name = job.name,
                        scanned = std::move(scanned)] { command->chooseSeries(import, name, scanned); });
}

void ImportCommand::chooseSeries(std::uint64_t import, const QString& name,
                                 ImportResult<std::vector<DicomSeries>> scanned) {
    if (import != m_loadingImport) {
        return;
    }
    if (const auto* refusal = std::get_if<ImportRefusal>(&scanned)) {
        finishRefused(import, name, refusal->reason);
        return;
    }
    std::vector<DicomSeries>& found = std::get<std::vector<DicomSeries>>(scanned);
    std::size_t chosen = 0;
    if (found.size() > 1) {
        const std::optional<std::size_t> choice = seriesPicker().chooseSeries(found);
        if (import != m_loadingImport) {
            return;
        }
        if (!choice || *choice >= found.size()) {
            qInfo("Cancel button was pressed.");
            m_loadingImport = 0;
            emit loadingChanged(false);
            emit abandoned();
            return;
        }
        chosen = *choice;
    }
    auto series = std::make_shared<const DicomSeries>(std::move(found[chosen]));
    const QString seriesName = series->description.isEmpty() ? name : series->description;
    startLoading(
        [series, options = readOptions()](const ImportProgress& progress) {
            return ImportWorker(options, progress).readDicom(*series);
        },
        name, seriesName);
}

ImportOptions ImportCommand::readOptions() const {
    ImportOptions options;
    options.ramBudgetBytes = m_controller.budgets().importRamBytes;
    options.chunkCacheBytes = m_controller.budgets().chunkCacheBytes;
    QVMTKView* view = m_controller.view();
    if (view && view->device()) {
        options.maxTextureSize = static_cast<std::uint32_t>(std::min<std::size_t>(
            view->device()->maxTexture3DSize(), std::numeric_limits<std::uint32_t>::max()));
    }
    return options;
}

FilePickerRequest ImportCommand::headerRequest() const {
    FilePickerRequest request;
    request.title = tr("Import volume");
    // DICOM files often have no extension: the DICOM filter shows every file.
    request.nameFilters = {
        tr("Volumes (*.nrrd *.NRRD *.nhdr *.dcm *.DCM *.nii *.nii.gz *.hdr *.img *.tif *.tiff *.TIF *.TIFF "
           "zarr.json .zattrs .zarray)"),
        tr("NRRD (*.nrrd *.NRRD *.nhdr)"), tr("DICOM (*.dcm *.DCM *.ima *.IMA *)"),
        tr("NIfTI (*.nii *.nii.gz *.hdr *.img)"), tr("TIFF (*.tif *.tiff *.TIF *.TIFF)"),
        // A store is a folder, opened as the user enters it; the metadata file at its top
        // stands for it too.
        tr("OME-Zarr (zarr.json .zattrs .zarray)"), tr("All files (*)")};
    request.directory = m_lastFolder;
    return request;
}

// The data panel opens beside the header, with the file the header names already
// chosen when it is there. Its first filter is the encoding's name as the extension
// ("raw" offers *.raw); "All files" shows what the encoding's name does not match,
// such as gzip data in "head.raw.gz", and is selected when it alone shows the named file.
FilePickerRequest ImportCommand::dataRequest(const NrrdVolumeReader& reader) const {
    const QFileInfo header(reader.headerPath());
    const QString encoding = reader.header().encoding;
    FilePickerRequest request;
    request.title = tr("Data file for %1").arg(header.fileName());
    request.nameFilters = {tr("%1 files (*.%1)").arg(encoding), tr("All files (*)")};
    request.directory = header.absolutePath();
    const QFileInfo named(reader.dataFilePath());
    if (!reader.dataFilePath().isEmpty() && named.isFile()) {
        request.selectedFile = named.absoluteFilePath();
        if (!named.fileName().endsWith(QLatin1Char('.') + encoding)) {
            request.selectedFilter = 1;
        }
    }
    return request;
}

std::uint64_t ImportCommand::beginImport(const QString& status) {
    m_loadingStop.request_stop();
    m_loadingStop = std::stop_source();
    m_loadingImport = ++m_lastImport;
    emit statusChanged(status);
    emit loadingChanged(true);
    return m_loadingImport;
}

void ImportCommand::startLoading(Read read, const QString& fileName, const QString& dataName) {
    beginImport(loadingText(dataName, 0));
    Load job{m_handOver,
             std::move(read),
             m_loadingStop.get_token(),
             m_controller.renderer(),
             this,
             m_loadingImport,
             m_request,
             fileName,
             dataName};
    QThreadPool::globalInstance()->start([job = std::move(job)] { load(job); });
}

// Pool thread: memory that runs out anywhere in the read, the survey or the hand-over
// refuses the import like any other reason; the volume on show stays.
void ImportCommand::load(const Load& job) {
    try {
        readAndHandOver(job);
    } catch (const std::bad_alloc&) {
        job.handOver->post([command = job.command, import = job.import, headerName = job.headerName] {
            command->finishRefused(import, headerName,
                                   tr("There is not enough memory to hold it; the volume on show stays."));
        });
    }
}

// Pool thread: reads and decodes the samples, then hands the volume to the renderer.
// Touches no widget; everything the user sees is posted back to the command's thread.
void ImportCommand::readAndHandOver(const Load& job) {
    const ImportProgress progress =
        statusProgress(job.handOver, job.command, job.import, job.stop,
                       [dataName = job.dataName](int percent) { return loadingText(dataName, percent); });
    ImportResult<VolumeRecord> volume = job.read(progress);
    if (job.stop.stop_requested()) {
        qCInfo(lcImport).noquote()
            << QStringLiteral("The import of %1 gave way to a later one.").arg(job.headerName);
        return;
    }
    if (const auto* refusal = std::get_if<ImportRefusal>(&volume)) {
        job.handOver->post(
            [command = job.command, import = job.import, headerName = job.headerName,
             reason = refusal->reason] { command->finishRefused(import, headerName, reason); });
        return;
    }
    const VolumeRecord& record = std::get<VolumeRecord>(volume);
    job.handOver->post([command = job.command, import = job.import,
                        text = QStringLiteral("Uploading %1 to the GPU …").arg(job.dataName)] {
        command->showProgress(import, text);
    });
    QString reason;
    switch (job.handOver->handOver(*job.renderer, record, job.stop, &reason)) {
    case ImportHandOver::Outcome::Replaced:
        job.handOver->post([command = job.command, import = job.import, request = job.request,
                            headerName = job.headerName, description = VolumeStatus::describe(record)] {
            command->finishReplaced(import, request, headerName, description);
        });
        break;
    case ImportHandOver::Outcome::Refused:
        job.handOver->post([command = job.command, import = job.import, headerName = job.headerName, reason] {
            command->finishRefused(import, headerName, reason);
        });
        break;
    case ImportHandOver::Outcome::Stopped:
        qCInfo(lcImport).noquote()
            << QStringLiteral("The import of %1 gave way to a later one.").arg(job.headerName);
        break;
    }
}

ImportProgress ImportCommand::statusProgress(const std::shared_ptr<ImportHandOver>& handOver,
                                             ImportCommand* command, std::uint64_t import,
                                             const std::stop_token& stop, std::function<QString(int)> text) {
    auto throttle = std::make_shared<ProgressThrottle>();
    return ImportProgress(
        [handOver, command, import, throttle, text = std::move(text)](double fraction) {
            if (const std::optional<int> percent = throttle->percentDue(fraction)) {
                handOver->post(
                    [command, import, status = text(*percent)] { command->showProgress(import, status); });
            }
        },
        stop);
}

void ImportCommand::showProgress(std::uint64_t import, const QString& text) {
    if (import == m_loadingImport) {
        emit statusChanged(text);
    }
}

void ImportCommand::finishReplaced(std::uint64_t import, const Request& request, const QString& headerName,
                                   const QString& description) {
    // Volumes reach the renderer in the order their imports started; news of one that
    // a later volume has already replaced changes nothing.
    if (import < m_shownImport) {
        return;
    }
    m_shownImport = import;
    m_shownRequest = request;
    // The title, the sliders and the status line describe the new volume from here on:
    // it is shown now rather than with the next frame.
    m_controller.renderer()->adoptPostedVolume();
    m_controller.resetSliders();
    qCInfo(lcImport).noquote() << QStringLiteral("Imported %1: %2").arg(headerName, description);
    emit volumeShown(headerName, description);
    if (import == m_loadingImport || m_loadingImport == 0) {
        m_loadingImport = 0;
        emit statusChanged(description);
        emit loadingChanged(false);
    }
}

void ImportCommand::finishRefused(std::uint64_t import, const QString& headerName, const QString& reason) {
    if (import != m_loadingImport) {
        return;
    }
    m_loadingImport = 0;
    emit loadingChanged(false);
    refuse(headerName, reason);
}

void ImportCommand::refuse(const QString& headerName, const QString& reason) {
    const QString text = tr("Cannot import %1: %2").arg(headerName, reason);
    qCWarning(lcImport).noquote() << text;
    emit statusChanged(text);
    userAlert().warn(tr("Import refused"), text);
}
