#include <QApplication>
#include <QCoreApplication>

#include <gtest/gtest.h>

// Every test executable runs inside a QApplication, as the viewer does: widgets,
// OpenGL contexts and the global thread pool all expect one.
int main(int argc, char** argv) {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
