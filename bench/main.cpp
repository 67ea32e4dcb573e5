// voxview-bench: draws frames of a volume with the viewer's own renderer and frame step
// into an offscreen framebuffer while the camera orbits, and reports frame times,
// how long the volume's bricks took to appear, start-up time and peak memory as JSON. Needs an X display for
// its OpenGL context (run it under xvfb-run on a machine without one).

#include "BenchOptions.h"
#include "BenchRenderer.h"
#include "CurveEdit.h"
#include "FrameStats.h"
#include "OffscreenMTKView.h"
#include "OrbitRun.h"
#include "PoolWarmUp.h"
#include "ProcessProbe.h"
#include "SliceRun.h"
#include "render/QVRenderer.h"
#include "render/gl/SurfaceFormat.h"
#include "volume/http/HttpStore.h"
#include "volume/samples/TexelHistogram.h"

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kUsageError = 2;
constexpr int kRunError = 1;
// After the orbit: frames in which nothing changes, and how long the full-quality frame may take.
constexpr int kStillFrames = 10;
constexpr double kFullQualityLimitMs = 5000.0;
// Slices a slice view's run steps through, from the first one.
constexpr int kSteppedSlices = 100;

double rounded(double milliseconds) {
    return std::round(milliseconds * 10.0) / 10.0;
}

int fail(const QString& reason) {
    std::fprintf(stderr, "voxview-bench: %s\n", qPrintable(reason));
    return kRunError;
}

// The window a run drew with, in sample units, and its lookup.
struct DrawnWindow {
    std::int64_t wl, ww;
    ColourLookup lookup;
    QString colourMap;
};

// How long the transfer-function editor's histogram takes to count: the lattice it shows at
// once, then every voxel, which refines it in the background.
QJsonObject histogramTimes(const VolumeSource& source, const std::array<std::uint64_t, 3>& size) {
    QElapsedTimer timer;
    timer.start();
    const TexelHistogram::Lattice preview = TexelHistogram::preview(source, size);
    TexelHistogram::count(source, preview.size, preview.stride, {}, preview.level);
    const double previewMs = static_cast<double>(timer.nsecsElapsed()) / 1.0e6;
    timer.start();
    TexelHistogram::count(source, size, 1);
    return QJsonObject{{"preview_ms", rounded(previewMs)},
                       {"full_ms", rounded(static_cast<double>(timer.nsecsElapsed()) / 1.0e6)}};
}

QJsonObject report(const BenchOptions& options, const QVRenderer::VolumeState& volume, DrawnWindow window,
                   const PoolWarmUp::Times& warmUp, const OrbitRun& run, double setupMs,
                   ProcessProbe::Elapsed loadStart) {
    const FrameStats stats = FrameStats::fromTimes(run.frameMilliseconds());
    const FrameStats cpu = FrameStats::fromTimes(run.frameCpuMilliseconds());
    const ProcessProbe::Elapsed startup = warmUp.fullPicture;
    std::vector<std::uint32_t> levels = run.frameLevels();
    std::sort(levels.begin(), levels.end());
    levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
    QJsonArray orbitLevels;
    for (std::uint32_t level : levels) {
        orbitLevels.append(static_cast<qint64>(level));
    }
    QJsonObject json;
    json["renderer"] = "voxview";
    json["quality"] = options.qualityName();
    json["mode"] = BenchOptions::modeName(options.mode);
    json["lookup"] = BenchOptions::lookupName(window.lookup);
    json["colour_map"] = window.colourMap;
    json["sampling"] = options.sampling;
    json["window"] = QJsonArray{static_cast<qint64>(window.wl), static_cast<qint64>(window.ww)};
    json["frames"] = stats.frames;
    json["viewport"] = QJsonArray{options.size.width(), options.size.height()};
    json["volume"] = QJsonObject{
        {"source", options.volume},
        {"size", QJsonArray{static_cast<qint64>(volume.width), static_cast<qint64>(volume.height),
                            static_cast<qint64>(volume.depth)}},
        {"spacing", QJsonArray{volume.cellspaceX, volume.cellspaceY, volume.cellspaceZ}},
    };
    // From the start of loading the volume (file, brick grid, pool) to the end of the first
    // coarse picture and of the first full one: all on the clock that start-up is read from.
    json["first_picture_ms"] = rounded(warmUp.firstPicture.milliseconds - loadStart.milliseconds);
    json["first_picture_from_start_ms"] = rounded(warmUp.firstPicture.milliseconds);
    json["full_resolution_ms"] = rounded(startup.milliseconds - loadStart.milliseconds);
    json["full_resolution_level"] = static_cast<qint64>(warmUp.level);
    json["web_bytes_first_picture"] = static_cast<qint64>(warmUp.firstPictureWebBytes);
    json["web_bytes"] = static_cast<qint64>(HttpStore::bytesFetchedByAll());
    json["warm_up_frames"] = warmUp.frames;
    json["first_frame_ms"] = rounded(startup.milliseconds - loadStart.milliseconds);
    json["first_draw_ms"] = rounded(stats.firstMs);
    json["median_ms"] = rounded(stats.medianMs);
    json["p90_ms"] = rounded(stats.p90Ms);
    json["mean_ms"] = rounded(stats.meanMs);
    json["median_cpu_ms"] = rounded(cpu.medianMs);
    json["startup_ms"] = rounded(startup.milliseconds);
    json["startup_from"] = startup.sinceProcessStart ? "process start" : "program initialisation";
    json["setup_ms"] = rounded(setupMs);
    json["peak_rss_mb"] = rounded(ProcessProbe::peakResidentMegabytes());
    json["full_quality_after_ms"] = rounded(run.fullQualityAfterMilliseconds());
    json["still_frame_ms"] = rounded(FrameStats::fromTimes(run.stillFrameMilliseconds()).medianMs);
    json["orbit_levels"] = orbitLevels;
    json["orbit_incomplete_frames"] = run.incompleteFrames();
    return json;
}

} // namespace

int main(int argc, char** argv) {
    gl::setDefaultSurfaceFormat();
    QGuiApplication app(argc, argv);

    const auto parsed = BenchOptions::parse(app.arguments().mid(1));
    if (const QString* error = std::get_if<QString>(&parsed)) {
        std::fprintf(stderr, "voxview-bench: %s\n%s\n", qPrintable(*error),
                     qPrintable(BenchOptions::usage()));
        return kUsageError;
    }
    const BenchOptions& options = std::get<BenchOptions>(parsed);

    std::shared_ptr<gpu::Device> device = gpu::createSystemDefaultDevice();
    if (!device) {
        return fail(QStringLiteral("no OpenGL 4.1 core device (is an X display available?)"));
    }
    QString error;
    std::unique_ptr<OffscreenMTKView> view = OffscreenMTKView::create(device, options.size, &error);
    if (!view) {
        return fail(error);
    }

    // Creation loads the volume, builds the pipeline and the brick pool, as at the viewer's
    // start (or as an import replaces the volume); the bricks stream in with the frames.
    const ProcessProbe::Elapsed loadStart = ProcessProbe::sinceStart();
    QElapsedTimer setup;
    setup.start();
    BrickPool::Budgets budgets;
    budgets.gpuBytes = options.gpuBudgetBytes;
    budgets.coarseLevelBytes = options.ramBudgetBytes / BrickPool::Budgets::kCoarseShareOfRam;
    std::unique_ptr<QVRenderer> renderer =
        BenchRenderer::create(options.volume, *view, budgets, options.ramBudgetBytes, &error);
    const double setupMs = static_cast<double>(setup.nsecsElapsed()) / 1.0e6;
    if (!renderer) {
        return fail(QStringLiteral("%1: %2").arg(options.volume, error));
    }
    const QVRenderer::VolumeState volume = renderer->volumeState();
    renderer->mtkView_drawableSizeWillChange(*view, view->drawableSize());
    renderer->setRenderMode(options.mode);
    if (options.lookup) {
        renderer->displayModel().setLookup(*options.lookup);
    }
    renderer->setSamplesPerStep(options.sampling);
    std::optional<WindowPresets::SampleWindow> window = options.window;
    // A colour preset brings its window, unless one is given or it is stretched over the window
    // in force, as the viewer takes it.
    if (!options.transferFunctionPath.isEmpty()) {
        auto read = ColourMap::readParaViewPreset(options.transferFunctionPath);
        if (const QString* reason = std::get_if<QString>(&read)) {
            return fail(*reason);
        }
        const auto& preset = std::get<ColourMap::Preset>(read);
        renderer->displayModel().setColourMap(preset.map);
        const bool stretched = WindowPresets::stretchesOverTheWindow(preset.low, preset.high, volume);
        if (stretched) {
            std::fprintf(
                stderr,
                "voxview-bench: the colour preset spans %g to %g, a normalised range: its colours are "
                "stretched over the window\n",
                preset.low, preset.high);
        }
        const auto spanned =
            WindowPresets::fromFileUnits(0.5 * (preset.low + preset.high), preset.high - preset.low, volume);
        if (const QString* reason = std::get_if<QString>(&spanned)) {
            return fail(QStringLiteral("the colour preset's window does not fit: %1").arg(*reason));
        }
        if (!window && !stretched) {
            window = std::get<WindowPresets::SampleWindow>(spanned);
        }
    }
    if (options.windowPreset) {
        const auto preset = WindowPresets::windowFor(*options.windowPreset, volume);
        if (const QString* reason = std::get_if<QString>(&preset)) {
            return fail(QStringLiteral("no such window: %1").arg(*reason));
        }
        window = std::get<WindowPresets::SampleWindow>(preset);
    }
    if (window) {
        renderer->setWw(window->width);
        renderer->setWl(window->level);
    }

    // Frames drawn before the pool holds the view's bricks are cheap and show little: the
    // orbit is timed from the full picture on.
    const auto warmUp = PoolWarmUp::run(*renderer, *view, options.warmUpLimitSeconds * 1000.0);
    if (const QString* reason = std::get_if<QString>(&warmUp)) {
        return fail(QStringLiteral("%1: %2").arg(options.volume, *reason));
    }
    // Full: every frame of the orbit at full quality, as after the user lets go. Interactive:
    // the frames shown while the camera moves.
    renderer->setAdaptiveQuality(options.quality == BenchOptions::Quality::Interactive);
    OrbitRun run(*renderer, *view);
    run.run(options.frames);
    run.stop(kStillFrames, kFullQualityLimitMs);

    // A slice view is timed after the 3-D view's orbit, on the same volume and window, so
    // that one run compares the two.
    QImage picture = run.lastFrame();
    QJsonObject json = report(options, volume,
                              {renderer->wl(), renderer->ww(), renderer->displayModel().lookup(),
                               renderer->displayModel().colourMap().name()},
                              std::get<PoolWarmUp::Times>(warmUp), run, setupMs, loadStart);
    json["view"] = options.view ? SliceGeometry::name(*options.view).toLower() : QStringLiteral("3d");
    // Bricks the warm-up and the orbit sent to the atlas: those the window and the curve let show.
    if (const BrickPool* pool = renderer->brickPool()) {
        json["bricks_uploaded"] = static_cast<qint64>(pool->uploads().bricks);
    }
    if (volume.source) {
        json["histogram"] = histogramTimes(*volume.source, {volume.width, volume.height, volume.depth});
    }
    if (!options.view) {
        const CurveEdit::Result edit = CurveEdit::run(*renderer, *view);
        json["curve_edit"] = QJsonObject{{"frame_ms", rounded(edit.frameMs)},
                                         {"colour_map_uploads", static_cast<qint64>(edit.colourMapUploads)},
                                         {"brick_uploads", static_cast<qint64>(edit.brickUploads)},
                                         {"page_table_uploads", static_cast<qint64>(edit.pageTableUploads)},
                                         {"picture_changed", edit.pictureChanged}};
    }
    if (options.view) {
        const SliceGeometry geometry(*options.view, {volume.width, volume.height, volume.depth});
        const std::uint64_t index = options.slice.value_or(geometry.slices() / 2);
        if (!volume.source || index >= geometry.slices()) {
            return fail(QStringLiteral("no slice %1 across %2 slices").arg(index).arg(geometry.slices()));
        }
        SliceRun slices(volume, renderer->displayModel(), options.size, *options.view,
                        options.slabMillimetres);
        slices.repeat(index, options.frames);
        picture = slices.lastPicture();
        slices.step(0, kSteppedSlices);
        const FrameStats stats = FrameStats::fromTimes(slices.frameMilliseconds());
        json["slice"] = static_cast<qint64>(index);
        json["slab_mm"] = options.slabMillimetres;
        json["slice_median_ms"] = rounded(stats.medianMs);
        json["slice_p90_ms"] = rounded(stats.p90Ms);
        json["slice_share_of_3d"] =
            std::round(stats.medianMs / FrameStats::fromTimes(run.frameMilliseconds()).medianMs * 1000.0) /
            1000.0;
        json["slices_per_second"] = std::round(slices.stepsPerSecond());
    }
    if (!options.pngPath.isEmpty() && !picture.save(options.pngPath)) {
        return fail(QStringLiteral("cannot write %1").arg(options.pngPath));
    }
    const QByteArray bytes = QJsonDocument(json).toJson(QJsonDocument::Compact);
    std::printf("%s\n", bytes.constData());
    if (!options.jsonPath.isEmpty()) {
        QFile out(options.jsonPath);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes + '\n') < 0) {
            return fail(QStringLiteral("cannot write %1: %2").arg(options.jsonPath, out.errorString()));
        }
    }
    return 0;
}
