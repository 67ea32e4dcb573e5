#include "ui/window/ExportZarrCommand.h"

#include "render/QVRenderer.h"
#include "ui/import/DialogFilePicker.h"
#include "ui/view/QVMTKView.h"
#include "ui/view/ViewController.h"
#include "ui/window/MessageBoxAlert.h"
#include "volume/zarr/OmeZarrWriter.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QProgressDialog>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>
#include <stop_token>

namespace {

const QString kZarrSuffix = QStringLiteral("zarr");
constexpr int kPercent = 100;
// How often the dialog takes the writer's progress: the writer reports from its own thread.
constexpr int kProgressPollMs = 50;

// The volume on show as a record the writer takes: its texels read from the renderer's source.
VolumeRecord recordOf(const VolumeState& state, const QString& name) {
    VolumeRecord record;
    record.width = static_cast<std::uint32_t>(state.width);
    record.height = static_cast<std::uint32_t>(state.height);
    record.depth = static_cast<std::uint32_t>(state.depth);
    record.cellspaceX = state.cellspaceX;
    record.cellspaceY = state.cellspaceY;
    record.cellspaceZ = state.cellspaceZ;
    record.sampleOffset = state.sampleOffset;
    record.valueScale = state.valueMap.scale;
    record.valueOffset = state.valueMap.offset;
    record.fileWindow = state.fileWindow;
    record.source = state.source;
    record.dataFile = name;
    return record;
}

} // namespace

ExportZarrCommand::ExportZarrCommand(ViewController& controller) : m_controller(controller) {}

ExportZarrCommand::~ExportZarrCommand() = default;

void ExportZarrCommand::setFilePicker(std::unique_ptr<FilePicker> picker) {
    m_filePicker = std::move(picker);
}

void ExportZarrCommand::setUserAlert(std::unique_ptr<UserAlert> alert) {
    m_userAlert = std::move(alert);
}

void ExportZarrCommand::exportVolume(const QString& suggestedName) {
    QVMTKView* view = m_controller.view();
    QVRenderer* renderer = m_controller.renderer();
    if (!view || !renderer || !renderer->volumeState().source)
        return;
    if (!m_filePicker)
        m_filePicker = std::make_unique<DialogFilePicker>(view->window());
    if (!m_userAlert)
        m_userAlert = std::make_unique<MessageBoxAlert>(view->window());
    FilePickerRequest request;
    request.title = tr("Export as OME-Zarr");
    request.nameFilters = {tr("OME-Zarr stores (*.zarr)")};
    request.directory = m_lastFolder.isEmpty() ? QDir::homePath() : m_lastFolder;
    request.selectedFile = QDir(request.directory).filePath(suggestedName + QLatin1Char('.') + kZarrSuffix);
    const std::optional<QString> chosen = m_filePicker->saveFile(request);
    if (!chosen || chosen->isEmpty())
        return;
    QString path = *chosen;
    if (QFileInfo(path).suffix().isEmpty())
        path += QLatin1Char('.') + kZarrSuffix;
    m_lastFolder = QFileInfo(path).absolutePath();

    const VolumeRecord record = recordOf(renderer->volumeState(), suggestedName);
    auto stop = std::make_shared<std::stop_source>();
    auto percent = std::make_shared<std::atomic<int>>(0);
    QProgressDialog dialog(tr("Writing %1 …").arg(QFileInfo(path).fileName()), tr("Cancel"), 0, kPercent,
                           view->window());
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setMinimumDuration(0);
    dialog.setAutoReset(false);
    QObject::connect(&dialog, &QProgressDialog::canceled, [stop] { stop->request_stop(); });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &dialog, [&dialog, percent] { dialog.setValue(*percent); });
    poll.start(kProgressPollMs);
    QFutureWatcher<std::optional<ImportRefusal>> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(QtConcurrent::run([record, path, stop, percent] {
        return OmeZarrWriter::write(
            record, path,
            ImportProgress([percent](double fraction) { *percent = static_cast<int>(fraction * kPercent); },
                           stop->get_token()));
    }));
    loop.exec();
    const std::optional<ImportRefusal> refusal = watcher.result();
    if (refusal && !stop->stop_requested())
        m_userAlert->warn(tr("Export as OME-Zarr"),
                          tr("%1 cannot be written: %2").arg(QFileInfo(path).fileName(), refusal->reason));
}
