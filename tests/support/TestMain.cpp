#include "DriverWarmUp.h"
#include "render/gl/SurfaceFormat.h"

#include <QApplication>
#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

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
    // Tests on Qt's offscreen platform need no OpenGL. With a display at hand that platform
    // would still make GLX contexts (the global share context among them) and so load
    // Mesa's driver, whose leftovers at exit depend on the CPU its JIT compiles for.
    if (qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen"))
        qunsetenv("DISPLAY");
    QApplication app(argc, argv);
    // Only a display server gives OpenGL contexts; Qt's offscreen platform gives none.
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        warmUpOpenGLDriverForLeakChecks();
    const int result = RUN_ALL_TESTS();
#if defined(__SANITIZE_ADDRESS__)
    // LeakSanitizer's check, run while the application, its OpenGL contexts and Mesa's
    // driver module are still alive. At process exit the driver has been unloaded, so
    // whatever it still holds is charged to "<unknown module>" and no suppression naming
    // the driver can match; here the driver's frames still have their module's name, and
    // our own leaks are reported as ever. Ends the process with LeakSanitizer's exit code
    // when anything unsuppressed leaked; the check at exit does not run again.
    __lsan_do_leak_check();
#endif
    return result;
}
