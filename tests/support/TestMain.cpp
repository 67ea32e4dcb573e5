#include "DriverWarmUp.h"
#include "gl/SurfaceFormat.h"

#include <QApplication>
#include <gtest/gtest.h>

// Every test executable runs inside a QApplication, as the viewer does: widgets,
// OpenGL contexts and the global thread pool all expect one. The OpenGL defaults
// (4.1 core, one share group) must be in place before it exists.
int main(int argc, char** argv) {
    gl::setDefaultSurfaceFormat();
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the cases (ctest's discovery) needs no application: it runs without the
    // tests' environment, possibly with no display at all.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    QApplication app(argc, argv);
    // Only a display server gives OpenGL contexts; Qt's offscreen platform gives none.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        warmUpOpenGLDriverForLeakChecks();
    }
    return RUN_ALL_TESTS();
}
