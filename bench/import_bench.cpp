// voxview-import-bench: imports the built-in 512 × 512 × 463 sample (242,745,344 bytes)
// through the import command of the real viewer window, as a detached header beside
// its raw data, and measures what the user feels: the time from the command to the
// first frame that shows the new volume, and the longest the GUI thread went without
// turning its event loop while the volume loaded. It also draws the built-in sample
// and the imported copy with the same window (−10/1300) and compares the pictures.
// Before the imports it measures what the window costs when nobody touches it (processor
// time per second of waiting, resident memory after start) and how many frames it draws
// while the volume spins after a flick; after each import, the resident memory.
// Run under Xvfb; prints one JSON object.
//
// Index of this file: the constants (the header written beside the raw sample, the import's
// window, timings), the panels that accept and the alert that collects (AcceptingFilePicker,
// CollectingAlert), the probes of the GUI thread and of the new volume's first frame
// (GuiStallProbe, FirstFrameProbe); frame and drag helpers (waitForFrames, runFor, leftDrag);
// numbers and pictures compared (perSecond, rounded, compare, median); main(): idle, spin,
// imports, JSON.

#include "ProcessProbe.h"
#include "render/QVRenderer.h"
#include "render/gl/SurfaceFormat.h"
#include "ui/import/FilePicker.h"
#include "ui/import/ImportCommand.h"
#include "ui/view/QVMTKView.h"
#include "ui/view/SlicePanel.h"
#include "ui/window/UserAlert.h"
#include "ui/window/WindowController.h"
#include "volume/core/Bundle.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr auto kSampleName = "512x512x463-16U";
constexpr auto kSampleExtension = "raw";
constexpr auto kHeaderText = "NRRD0004\n"
                             "# the built-in sample, described for the import\n"
                             "type: unsigned short\n"
                             "dimension: 3\n"
                             "sizes: 512 512 463\n"
                             "space directions: (0.625,0,0) (0,0.625,0) (0,0,1)\n"
                             "endian: little\n"
                             "encoding: raw\n"
                             "data file: 512x512x463-16U.raw\n";
// The window every import leaves, given to the built-in sample for the comparison.
constexpr std::int64_t kImportWindowLevel = -10;
constexpr std::int64_t kImportWindowWidth = 1300;
constexpr int kDefaultRuns = 3;
constexpr QSize kDefaultViewSize(320, 240);
// The GUI thread's heartbeat: a stall is the longest gap between two beats.
constexpr int kTickMs = 2;
constexpr int kBaselineMs = 3000;
constexpr int kSettleFrames = 3;
constexpr int kTimeoutMs = 120000;
// Start-up is over (upload, shader compilation, first frames) well within this.
constexpr int kStartupSettleMs = 3000;
constexpr int kDefaultIdleSeconds = 10;
constexpr int kSpinMs = 3000;
// Time for the slice views of a layout to read their first slices.
constexpr int kSliceSettleMs = 1000;
// A flick of this many pixels per event: the volume goes on turning after the release.
constexpr int kFlickPixels = 3;
constexpr double kNanosPerMilli = 1e6;

// The header panel answers with the header, the data panel accepts its preselection,
// as a user who presses Return twice.
class AcceptingFilePicker : public FilePicker {
  public:
    explicit AcceptingFilePicker(QString header) : m_header(std::move(header)) {}
    std::optional<QString> openFile(const FilePickerRequest& request) override {
        return request.selectedFile.isEmpty() ? m_header : request.selectedFile;
    }
    // The import never asks where to save.
    std::optional<QString> saveFile(const FilePickerRequest& /*request*/) override { return std::nullopt; }

  private:
    QString m_header;
};

class CollectingAlert : public UserAlert {
  public:
    void warn(const QString& /*title*/, const QString& text) override { m_warnings << text; }
    QStringList m_warnings;
};

// Beats every few milliseconds on the GUI thread and keeps the longest gap.
class GuiStallProbe : public QObject {
  public:
    GuiStallProbe() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kTickMs);
        connect(&m_timer, &QTimer::timeout, this, [this] { beat(); });
    }
    void start() {
        m_longest = 0;
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }
    void stop() {
        beat();
        m_timer.stop();
    }
    double longestGapMs() const { return static_cast<double>(m_longest) / kNanosPerMilli; }

  private:
    void beat() {
        const qint64 now = m_clock.nsecsElapsed();
        m_longest = std::max(m_longest, now - m_last);
        m_last = now;
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

// Sits between the view and the renderer and notices the first frame that draws a
// volume texture other than the one on show when it was armed; reports it when that
// frame is on screen.
class FirstFrameProbe : public QObject, public MTKViewDelegate {
  public:
    FirstFrameProbe(QVMTKView& view, QVRenderer& renderer) : m_view(view), m_renderer(renderer) {
        m_view.setDelegate(this);
        connect(&m_view, &QOpenGLWidget::frameSwapped, this, [this] { swapped(); });
    }
    ~FirstFrameProbe() override { m_view.setDelegate(&m_renderer); }

    void arm(std::function<void()> shown) {
        m_oldGeneration = m_renderer.volumeState().generation;
        m_newDrawn = false;
        m_shown = std::move(shown);
        m_frames = 0;
    }
    int frames() const { return m_frames; }

    void mtkView_drawableSizeWillChange(MTKView& view, DrawableSize size) override {
        m_renderer.mtkView_drawableSizeWillChange(view, size);
    }
    void drawInMTKView(MTKView& view) override {
        // The frame adopts a posted volume before it draws.
        m_renderer.drawInMTKView(view);
        if (m_shown && m_renderer.volumeState().generation != m_oldGeneration && m_renderer.brickPool() &&
            m_renderer.brickPool()->drawable()) {
            m_newDrawn = true;
        }
    }

  private:
    void swapped() {
        ++m_frames;
        if (m_shown && m_newDrawn) {
            std::exchange(m_shown, nullptr)();
        }
    }

    QVMTKView& m_view;
    QVRenderer& m_renderer;
    std::uint64_t m_oldGeneration = 0;
    bool m_newDrawn = false;
    std::function<void()> m_shown;
    int m_frames = 0;
};

void waitForFrames(QVMTKView& view, int frames) {
    QEventLoop loop;
    int seen = 0;
    const QMetaObject::Connection counting = QObject::connect(&view, &QVMTKView::frameCompleted, &loop, [&] {
        if (++seen >= frames) {
            loop.quit();
        }
    });
    QTimer::singleShot(kTimeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(counting);
}

// Runs the event loop for `ms` milliseconds and counts the view's frames and buffer swaps.
struct FrameCount {
    int frames = 0;
    int swaps = 0;
};
FrameCount runFor(QVMTKView& view, int ms) {
    FrameCount count;
    QEventLoop loop;
    const QMetaObject::Connection frames =
        QObject::connect(&view, &QVMTKView::frameCompleted, &loop, [&count] { ++count.frames; });
    const QMetaObject::Connection swaps =
        QObject::connect(&view, &QOpenGLWidget::frameSwapped, &loop, [&count] { ++count.swaps; });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(frames);
    QObject::disconnect(swaps);
    return count;
}

// A left press, one move and a release in the middle of the view, as a user's flick.
void leftDrag(QVMTKView& view, QPointF movement) {
    const QPointF start(view.width() / 2.0, view.height() / 2.0);
    const auto send = [&view](QEvent::Type type, QPointF at, Qt::MouseButton button,
                              Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, view.mapToGlobal(at), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(&view, &event);
    };
    send(QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, start + movement, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, start + movement, Qt::LeftButton, Qt::NoButton);
}

double perSecond(int count, int ms) {
    return count * 1000.0 / ms;
}

double rounded(double value) {
    return std::round(value * 10.0) / 10.0;
}

struct PictureDifference {
    int pixels = 0;
    int largestChannel = 0;
};

PictureDifference compare(const QImage& a, const QImage& b) {
    PictureDifference difference;
    if (a.size() != b.size()) {
        difference.pixels = -1;
        return difference;
    }
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            if (p != q) {
                ++difference.pixels;
                difference.largestChannel =
                    std::max({difference.largestChannel, std::abs(qRed(p) - qRed(q)),
                              std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
            }
        }
    }
    return difference;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

int fail(const QString& message) {
    std::fprintf(stderr, "voxview-import-bench: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    gl::setDefaultSurfaceFormat();
    QApplication application(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Times NRRD imports of the built-in sample in the viewer window."));
    parser.addHelpOption();
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("Imports to time."),
                                        QStringLiteral("n"), QString::number(kDefaultRuns));
    const QCommandLineOption widthOption(QStringLiteral("width"), QStringLiteral("View width."),
                                         QStringLiteral("pixels"), QString::number(kDefaultViewSize.width()));
    const QCommandLineOption heightOption(QStringLiteral("height"), QStringLiteral("View height."),
                                          QStringLiteral("pixels"),
                                          QString::number(kDefaultViewSize.height()));
    const QCommandLineOption picturesOption(QStringLiteral("pictures"),
                                            QStringLiteral("Folder for the two compared pictures."),
                                            QStringLiteral("folder"));
    const QCommandLineOption idleOption(QStringLiteral("idle-seconds"),
                                        QStringLiteral("How long to measure the untouched window."),
                                        QStringLiteral("s"), QString::number(kDefaultIdleSeconds));
    const QCommandLineOption layoutOption(
        QStringLiteral("layout"),
        QStringLiteral(
            "The window's layout while the volume spins (3d, 1+3, 2x2): the 3-D view keeps its size."),
        QStringLiteral("name"), QStringLiteral("3d"));
    parser.addOptions({runsOption, widthOption, heightOption, picturesOption, idleOption, layoutOption});
    parser.process(application);
    const int runs = std::max(1, parser.value(runsOption).toInt());
    const int idleMs = std::max(1, parser.value(idleOption).toInt()) * 1000;

    const std::optional<QString> sample = Bundle::mainBundle().URLForResource(
        QString::fromLatin1(kSampleName), QString::fromLatin1(kSampleExtension));
    if (!sample) {
        return fail(QStringLiteral("the built-in sample is missing; build voxview_sample_resources"));
    }
    QTemporaryDir folder;
    const QString header = folder.filePath(QStringLiteral("sample.nhdr"));
    const QString data = folder.filePath(QStringLiteral("%1.%2").arg(kSampleName, kSampleExtension));
    QFile headerFile(header);
    if (!folder.isValid() || !QFile::link(*sample, data) || !headerFile.open(QIODevice::WriteOnly) ||
        headerFile.write(kHeaderText) < 0) {
        return fail(QStringLiteral("cannot write the header beside the sample in %1").arg(folder.path()));
    }
    headerFile.close();

    std::string reason;
    std::shared_ptr<gpu::Device> device = gpu::tryCreateSystemDefaultDevice(&reason);
    if (!device) {
        return fail(QString::fromStdString(reason));
    }
    WindowController window(nullptr, [device] { return device; });
    ImportCommand& command = window.contentViewController()->importCommand();
    command.setFilePicker(std::make_unique<AcceptingFilePicker>(header));
    auto alert = std::make_unique<CollectingAlert>();
    const CollectingAlert& warnings = *alert;
    command.setUserAlert(std::move(alert));
    QVRenderer& renderer = *window.contentViewController()->renderer();
    QVMTKView& view = *window.view();
    view.setMinimumSize(parser.value(widthOption).toInt(), parser.value(heightOption).toInt());
    view.setMaximumSize(view.minimumSize());
    window.show();
    window.activateWindow();
    waitForFrames(view, kSettleFrames);

    // What the untouched window costs once start-up is over.
    runFor(view, kStartupSettleMs);
    const double rssAfterStart = ProcessProbe::residentMegabytes();
    const double peakAfterStart = ProcessProbe::peakResidentMegabytes();
    const double cpuBeforeIdle = ProcessProbe::cpuMilliseconds();
    const FrameCount idleFrames = runFor(view, idleMs);
    const double idleCpuPercent = (ProcessProbe::cpuMilliseconds() - cpuBeforeIdle) * 100.0 / idleMs;

    // The built-in sample under the window an import leaves.
    renderer.setWl(kImportWindowLevel);
    renderer.setWw(kImportWindowWidth);
    waitForFrames(view, kSettleFrames);
    const QImage builtIn = view.grabFramebuffer();

    GuiStallProbe stalls;
    FirstFrameProbe firstFrame(view, renderer);
    stalls.start();
    QEventLoop idle;
    QTimer::singleShot(kBaselineMs, &idle, &QEventLoop::quit);
    firstFrame.arm(nullptr);
    idle.exec();
    stalls.stop();
    const double baselineStallMs = stalls.longestGapMs();
    const int baselineFrames = firstFrame.frames();

    QJsonArray runResults;
    std::vector<double> rssAfterImport;
    std::vector<double> firstFrameTimes;
    double longestStallMs = 0.0;
    QImage imported;
    for (int run = 0; run < runs; ++run) {
        QEventLoop loading;
        QElapsedTimer clock;
        qint64 shownAt = -1;
        firstFrame.arm([&] {
            shownAt = clock.nsecsElapsed();
            loading.quit();
        });
        int statusUpdates = 0;
        const QMetaObject::Connection counting =
            QObject::connect(&command, &ImportCommand::statusChanged, [&statusUpdates] { ++statusUpdates; });
        QTimer::singleShot(kTimeoutMs, &loading, &QEventLoop::quit);
        stalls.start();
        clock.start();
        window.menuImportaction();
        const qint64 returnedAt = clock.nsecsElapsed();
        if (shownAt < 0) {
            loading.exec();
        }
        stalls.stop();
        QObject::disconnect(counting);
        if (shownAt < 0 || !warnings.m_warnings.isEmpty()) {
            return fail(
                QStringLiteral("the import did not show the volume: %1").arg(warnings.m_warnings.join(' ')));
        }
        const double shownMs = static_cast<double>(shownAt) / kNanosPerMilli;
        firstFrameTimes.push_back(shownMs);
        longestStallMs = std::max(longestStallMs, stalls.longestGapMs());
        QJsonObject result{
            {QStringLiteral("command_returned_ms"), static_cast<double>(returnedAt) / kNanosPerMilli},
            {QStringLiteral("first_frame_ms"), shownMs},
            {QStringLiteral("longest_gui_stall_ms"), stalls.longestGapMs()},
            {QStringLiteral("frames_while_loading"), firstFrame.frames()},
            {QStringLiteral("status_updates"), statusUpdates},
        };
        firstFrame.arm(nullptr);
        waitForFrames(view, kSettleFrames);
        if (run == 0) {
            imported = view.grabFramebuffer();
        }
        // The replaced volume's texture goes with the frame after the swap.
        rssAfterImport.push_back(ProcessProbe::residentMegabytes());
        result.insert(QStringLiteral("rss_after_mb"), rounded(rssAfterImport.back()));
        runResults.append(result);
    }

    // The volume turning on after a flick: every frame is a new picture. (A first click
    // into a window that is not active only activates it.)
    if (!window.isActiveWindow()) {
        return fail(QStringLiteral("the window did not become active; the flick would only activate it"));
    }
    // Beside the slice views the 3-D view keeps its size: what differs is the rest of the window.
    const std::optional<ViewLayout> layout = SlicePanel::parseLayout(parser.value(layoutOption));
    if (!layout) {
        return fail(QStringLiteral("--layout takes 3d, 1+3 or 2x2"));
    }
    window.setViewLayout(*layout);
    window.adjustSize();
    runFor(view, kSliceSettleMs); // the slice views read their slices

    leftDrag(view, {kFlickPixels, 0});
    const FrameCount spinFrames = runFor(view, kSpinMs);
    leftDrag(view, {0, 0});
    waitForFrames(view, kSettleFrames);

    const PictureDifference difference = compare(builtIn, imported);
    if (parser.isSet(picturesOption)) {
        const QDir pictures(parser.value(picturesOption));
        pictures.mkpath(QStringLiteral("."));
        builtIn.save(pictures.filePath(QStringLiteral("import-bench-builtin.png")));
        imported.save(pictures.filePath(QStringLiteral("import-bench-imported.png")));
    }
    const QJsonObject result{
        {QStringLiteral("volume_bytes"), static_cast<double>(QFileInfo(*sample).size())},
        {QStringLiteral("view"), QJsonArray{view.width(), view.height()}},
        {QStringLiteral("runs"), runResults},
        {QStringLiteral("first_frame_ms_median"), median(firstFrameTimes)},
        {QStringLiteral("longest_gui_stall_ms"), longestStallMs},
        {QStringLiteral("baseline_longest_gui_stall_ms"), baselineStallMs},
        {QStringLiteral("baseline_frames_per_s"), baselineFrames * 1000.0 / kBaselineMs},
        {QStringLiteral("picture_differing_pixels"), difference.pixels},
        {QStringLiteral("picture_largest_channel_difference"), difference.largestChannel},
        {QStringLiteral("status_line"), window.statusText()},
        {QStringLiteral("idle"),
         QJsonObject{
             {QStringLiteral("seconds"), idleMs / 1000},
             {QStringLiteral("cpu_percent_of_one_core"), rounded(idleCpuPercent)},
             {QStringLiteral("frames_per_s"), rounded(perSecond(idleFrames.frames, idleMs))},
             {QStringLiteral("buffer_swaps_per_s"), rounded(perSecond(idleFrames.swaps, idleMs))},
         }},
        {QStringLiteral("spinning"),
         QJsonObject{
             {QStringLiteral("frames_per_s"), rounded(perSecond(spinFrames.frames, kSpinMs))},
             {QStringLiteral("buffer_swaps_per_s"), rounded(perSecond(spinFrames.swaps, kSpinMs))},
             {QStringLiteral("layout"), parser.value(layoutOption)},
         }},
        {QStringLiteral("rss_after_start_mb"), rounded(rssAfterStart)},
        {QStringLiteral("peak_rss_after_start_mb"), rounded(peakAfterStart)},
        {QStringLiteral("rss_after_first_import_mb"), rounded(rssAfterImport.front())},
        {QStringLiteral("rss_after_last_import_mb"), rounded(rssAfterImport.back())},
        {QStringLiteral("peak_rss_mb"), rounded(ProcessProbe::peakResidentMegabytes())},
    };
    std::printf("%s", QJsonDocument(result).toJson(QJsonDocument::Indented).constData());
    return 0;
}
