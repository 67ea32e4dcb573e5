#include "AppDelegate.h"
#include "WindowController.h"
#include "gl/SurfaceFormat.h"
#include "gpu/Gpu.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>

namespace {

constexpr int kExitNoOpenGL = 1;
constexpr int kExitUsage = 2;

// Said once, in the log and in a dialog, before giving up.
void reportNoOpenGL(const QString& reason) {
    const QString message =
        QObject::tr("voxview needs OpenGL 4.1 (core profile) to draw volumes and cannot start.\n%1")
            .arg(reason);
    qCritical("%s", qUtf8Printable(message));
    QMessageBox::critical(nullptr, QObject::tr("voxview"), message);
}

} // namespace

int main(int argc, char** argv) {
    gl::setDefaultSurfaceFormat();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("voxview"));
    QApplication::setApplicationVersion(QStringLiteral(VOXVIEW_VERSION));

    QCommandLineParser arguments;
    arguments.setApplicationDescription(QObject::tr(
        "Shows a volume of 16-bit samples (CT, microscopy) and lets you turn, window and clip it."));
    arguments.addHelpOption();
    arguments.addVersionOption();
    arguments.addPositionalArgument(QStringLiteral("FILE"),
                                    QObject::tr("The volume to open instead of the built-in sample: an NRRD, "
                                                "NIfTI or TIFF file, or a DICOM file or folder."),
                                    QStringLiteral("[FILE"));
    arguments.addPositionalArgument(QStringLiteral("DATA"),
                                    QObject::tr("The data file of a detached header; without it, the data "
                                                "panel asks for one."),
                                    QStringLiteral("[DATA]]"));
    arguments.process(application);
    const QStringList files = arguments.positionalArguments();
    if (files.size() > 2) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(QObject::tr("voxview takes at most FILE and DATA.")));
        arguments.showHelp(kExitUsage);
    }

    // The device is an offscreen context in the global share group: made first, it
    // tells whether this system can draw at all before any window appears.
    std::string reason;
    std::shared_ptr<gpu::Device> device = gpu::tryCreateSystemDefaultDevice(&reason);
    if (!device) {
        reportNoOpenGL(QString::fromStdString(reason));
        return kExitNoOpenGL;
    }

    AppDelegate appDelegate;
    WindowController window(&appDelegate, [device] { return device; });
    window.show();
    if (!files.isEmpty()) {
        // Once the window is up, so that a data panel or a refusal opens over it.
        QTimer::singleShot(0, &window, [&window, files] { window.openFile(files[0], files.value(1)); });
    }
    return QApplication::exec();
}
