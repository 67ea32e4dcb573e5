// The micro-benchmarks of the hot CPU paths. They run inside a QGuiApplication with the
// viewer's OpenGL defaults, as the viewer's own code expects; the ones that need an
// OpenGL context skip themselves when no X display offers one.

#include "render/gl/SurfaceFormat.h"

#include <QGuiApplication>
#include <benchmark/benchmark.h>

int main(int argc, char** argv) {
    gl::setDefaultSurfaceFormat();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    QGuiApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
