#include "AppDelegate.h"
#include "WindowController.h"

#include <QApplication>

int main(int argc, char** argv) {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("voxview"));

    AppDelegate appDelegate;
    WindowController window(&appDelegate);
    window.show();
    return QApplication::exec();
}
