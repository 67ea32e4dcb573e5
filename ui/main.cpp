#include "AppDelegate.h"
#include "WindowController.h"
#include "gl/SurfaceFormat.h"
#include "gpu/Gpu.h"

#include <QApplication>
#include <QMessageBox>

namespace {

constexpr int kExitNoOpenGL = 1;

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
    return QApplication::exec();
}
