#include "ui/window/SaveImageCommand.h"

#include "render/QVRenderer.h"
#include "ui/import/DialogFilePicker.h"
#include "ui/view/QVMTKView.h"
#include "ui/view/ViewController.h"
#include "ui/window/MessageBoxAlert.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QThread>

Q_LOGGING_CATEGORY(lcSaveImage, "voxview.saveimage")

namespace {

constexpr qint64 kMostBrickWaitMs = 10000;
constexpr qint64 kMsPerSecond = 1000;

const QString kPngSuffix = QStringLiteral("png");

} // namespace

SaveImageCommand::SaveImageCommand(ViewController& controller) : m_controller(controller) {}

SaveImageCommand::~SaveImageCommand() = default;

void SaveImageCommand::setFilePicker(std::unique_ptr<FilePicker> picker) {
    m_filePicker = std::move(picker);
}

void SaveImageCommand::setUserAlert(std::unique_ptr<UserAlert> alert) {
    m_userAlert = std::move(alert);
}

void SaveImageCommand::saveImage(const QString& suggestedName) {
    QVMTKView* view = m_controller.view();
    if (!view) {
        return;
    }
    if (!m_filePicker) {
        m_filePicker = std::make_unique<DialogFilePicker>(view->window());
    }
    if (!m_userAlert) {
        m_userAlert = std::make_unique<MessageBoxAlert>(view->window());
    }
    FilePickerRequest request;
    request.title = tr("Save Image");
    request.nameFilters = {tr("PNG images (*.png)")};
    request.directory = m_lastFolder.isEmpty() ? QDir::homePath() : m_lastFolder;
    request.selectedFile = QDir(request.directory).filePath(suggestedName + QLatin1Char('.') + kPngSuffix);
    const std::optional<QString> chosen = m_filePicker->saveFile(request);
    if (!chosen || chosen->isEmpty()) {
        return;
    }
    QString path = *chosen;
    if (QFileInfo(path).suffix().isEmpty()) {
        path += QLatin1Char('.') + kPngSuffix;
    }
    m_lastFolder = QFileInfo(path).absolutePath();

    // A frame of its own, drawn at full resolution whatever the user is doing.
    QVRenderer* renderer = m_controller.renderer();
    if (renderer) {
        renderer->setAdaptiveQuality(false);
    }
    // The finished picture: frames drawn at once until every brick the view needs has
    // arrived, within a bound, or one of them turns out unreadable.
    QElapsedTimer waited;
    waited.start();
    view->drawFrameNow();
    const auto pool = [renderer] { return renderer ? renderer->brickPool() : nullptr; };
    while (pool() && !pool()->complete() && !pool()->missesUnreadable() &&
           waited.elapsed() < kMostBrickWaitMs) {
        QThread::msleep(2);
        view->drawFrameNow();
    }
    QImage picture = view->grabFramebuffer();
    // The view is opaque on screen: so is its picture.
    picture = picture.convertToFormat(QImage::Format_RGB32);
    if (renderer) {
        renderer->setAdaptiveQuality(true);
    }
    // A coarser level standing in for missing bricks is no picture of the volume to keep:
    // nothing is saved rather than a picture that looks final and is not.
    if (pool() && !pool()->complete()) {
        const QString why =
            pool()->missesUnreadable()
                ? tr("the data file %1 changed or vanished, and part of the volume the view shows cannot be "
                     "read")
                      .arg(renderer->unreadableDataFile())
                : tr("the view's bricks did not all arrive within %1 s").arg(kMostBrickWaitMs / kMsPerSecond);
        const QString text = tr("The picture is incomplete: %1. Nothing was saved to %2.")
                                 .arg(why, QFileInfo(path).fileName());
        qCWarning(lcSaveImage).noquote() << text;
        m_userAlert->warn(tr("Image not saved"), text);
        return;
    }

    QImageWriter writer(path, kPngSuffix.toLatin1());
    if (!writer.write(picture)) {
        const QString text =
            tr("Cannot save the image to %1: %2").arg(QFileInfo(path).fileName(), writer.errorString());
        qCWarning(lcSaveImage).noquote() << text;
        m_userAlert->warn(tr("Image not saved"), text);
        return;
    }
    qCInfo(lcSaveImage).noquote() << QStringLiteral("Saved the view as %1").arg(path);
}
