#include "LogCapture.h"
#include "PoolGate.h"
#include "RecordingGpu.h"
#include "RendererTestBed.h"
#include "ScriptedFilePicker.h"
#include "TestVolumes.h"
#include "VolumeFileWriters.h"
#include "render/QVRenderer.h"
#include "ui/import/DialogFilePicker.h"
#include "ui/import/ImportCommand.h"
#include "ui/import/ImportHandOver.h"
#include "ui/view/QVMTKView.h"
#include "ui/view/ViewController.h"
#include "ui/window/WindowController.h"
#include "volume/core/VolumeRecord.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <QWheelEvent>
#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <nifti1.h>

// The window's parts without a display: the view's pointer input and its controller, the
// import command on a recording GPU device and its hand-over.
namespace {

// deltaX, deltaY, zoom, rdeltaX, rdeltaY
using Values = std::array<std::int64_t, 5>;

Values valuesOf(const QVMTKView& view) {
    return {view.deltaX(), view.deltaY(), view.zoom(), view.rdeltaX(), view.rdeltaY()};
}

// Sends pointer events with fractional positions, which QTest's QPoint API cannot.
void send(QWidget& widget, QEvent::Type type, QPointF position, Qt::MouseButton button,
          Qt::MouseButtons buttons) {
    QMouseEvent event(type, position, widget.mapToGlobal(position), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

// Press, one move, release.
void drag(QWidget& widget, QPointF from, QPointF to, Qt::MouseButton button) {
    send(widget, QEvent::MouseButtonPress, from, button, button);
    send(widget, QEvent::MouseMove, to, Qt::NoButton, button);
    send(widget, QEvent::MouseButtonRelease, to, button, Qt::NoButton);
}

void wheel(QWidget& widget, QPoint angleDelta, QPoint pixelDelta = {},
           Qt::ScrollPhase phase = Qt::NoScrollPhase) {
    const QPointF position(20.0, 20.0);
    QWheelEvent event(position, widget.mapToGlobal(position), pixelDelta, angleDelta, Qt::NoButton,
                      Qt::NoModifier, phase, false);
    QApplication::sendEvent(&widget, &event);
}

class QVMTKViewTest : public ::testing::Test {
  protected:
    // The offscreen platform has no OpenGL, and Qt cannot compose a shown
    // QOpenGLWidget there: the view stays hidden and is made the active window
    // directly, which is all the event handling looks at.
    void SetUp() override {
        m_view.resize(200, 150);
        QApplication::setActiveWindow(&m_view);
        ASSERT_TRUE(m_view.isActiveWindow());
    }
    void TearDown() override { QApplication::setActiveWindow(nullptr); }

    QVMTKView m_view;
};

struct DragCase {
    QPointF from, to;
    std::int64_t x, y;
};

// Movement since the previous event, truncated toward zero; x right and y down positive.
constexpr std::array kDragCases{
    DragCase{{50.0, 50.0}, {50.7, 48.5}, 0, -1}, DragCase{{50.0, 50.0}, {53.0, 48.0}, 3, -2},
    DragCase{{50.0, 50.0}, {47.1, 52.9}, -2, 2}, DragCase{{50.0, 50.0}, {49.4, 50.6}, 0, 0},
    DragCase{{10.25, 5.5}, {30.0, 5.0}, 19, 0},  DragCase{{50.0, 50.0}, {50.0, 50.0}, 0, 0},
};

// A left drag sets deltaX/deltaY, a right drag rdeltaX/rdeltaY; the other pair stays 0
// (as every value starts), and the movement stays after the release.
TEST_F(QVMTKViewTest, DragStoresTruncatedMovementSinceThePreviousEvent) {
    for (const Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton}) {
        for (const DragCase& c : kDragCases) {
            drag(m_view, c.from, c.to, button);
            const Values expected =
                button == Qt::LeftButton ? Values{c.x, c.y, 0, 0, 0} : Values{0, 0, 0, c.x, c.y};
            EXPECT_EQ(valuesOf(m_view), expected) << "from " << c.from.x() << ", " << c.from.y();
        }
    }
    // Each move replaces the movement: only the last one counts.
    send(m_view, QEvent::MouseButtonPress, {10.0, 10.0}, Qt::LeftButton, Qt::LeftButton);
    send(m_view, QEvent::MouseMove, {20.0, 20.0}, Qt::NoButton, Qt::LeftButton);
    send(m_view, QEvent::MouseMove, {23.0, 18.0}, Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(valuesOf(m_view), (Values{3, -2, 0, 0, 0}));
}

// With every value set by a left drag, a right drag and a wheel turn: right and middle
// presses and plain movement clear nothing; with both buttons held the left drag wins; a
// left press clears the drag values but keeps the zoom.
TEST_F(QVMTKViewTest, OnlyALeftPressClearsTheDragValuesAndTheLeftDragWinsOverTheRight) {
    drag(m_view, {10.0, 10.0}, {15.0, 7.0}, Qt::LeftButton);
    drag(m_view, {30.0, 30.0}, {26.0, 39.0}, Qt::RightButton);
    wheel(m_view, {0, 240});
    ASSERT_EQ(valuesOf(m_view), (Values{5, -3, 2, -4, 9}));
    QTest::mouseClick(&m_view, Qt::RightButton, Qt::NoModifier, QPoint(40, 40));
    QTest::mouseClick(&m_view, Qt::MiddleButton, Qt::NoModifier, QPoint(40, 40));
    send(m_view, QEvent::MouseMove, {90.0, 90.0}, Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(valuesOf(m_view), (Values{5, -3, 2, -4, 9}));
    send(m_view, QEvent::MouseButtonPress, {40.0, 40.0}, Qt::RightButton, Qt::RightButton);
    send(m_view, QEvent::MouseMove, {47.0, 41.0}, Qt::NoButton, Qt::LeftButton | Qt::RightButton);
    EXPECT_EQ(valuesOf(m_view), (Values{7, 1, 2, -4, 9}));
    send(m_view, QEvent::MouseButtonRelease, {47.0, 41.0}, Qt::RightButton, Qt::NoButton);
    QTest::mouseClick(&m_view, Qt::LeftButton, Qt::NoModifier, QPoint(40, 40));
    EXPECT_EQ(valuesOf(m_view), (Values{0, 0, 2, 0, 0}));
}

struct WheelCase {
    QPoint angleDelta;
    QPoint pixelDelta;
    Qt::ScrollPhase phase;
    std::int64_t zoom;
    bool inGesture;
};

// Whole steps (120 angle units, or 10 pixels where the device reports pixels) toward
// zero, but at least one step for any vertical movement; the horizontal component
// plays no part, and the end of a trackpad gesture sets 0.
constexpr std::array kWheelCases{
    WheelCase{{0, 360}, {}, Qt::NoScrollPhase, 3, true},
    WheelCase{{0, -324}, {}, Qt::NoScrollPhase, -2, true},
    WheelCase{{0, 119}, {}, Qt::NoScrollPhase, 1, true},
    WheelCase{{0, -15}, {}, Qt::NoScrollPhase, -1, true},
    WheelCase{{480, 240}, {}, Qt::NoScrollPhase, 2, true},
    WheelCase{{-480, 0}, {}, Qt::NoScrollPhase, 0, true},
    WheelCase{{0, 24}, {0, 3}, Qt::ScrollUpdate, 1, true},
    WheelCase{{0, 200}, {0, 25}, Qt::ScrollUpdate, 2, true},
    WheelCase{{0, -32}, {0, -4}, Qt::ScrollMomentum, -1, true},
    WheelCase{{0, 40}, {0, 5}, Qt::NoScrollPhase, 1, true},
    WheelCase{{}, {}, Qt::ScrollBegin, 0, true},
    WheelCase{{0, 16}, {0, 2}, Qt::ScrollEnd, 0, false},
};

TEST_F(QVMTKViewTest, WheelAndTrackpadSetZoomInStepsUntilTheGestureEnds) {
    for (const WheelCase& c : kWheelCases) {
        wheel(m_view, {0, 600}); // a different value first, so each case must overwrite it
        wheel(m_view, c.angleDelta, c.pixelDelta, c.phase);
        EXPECT_EQ(m_view.zoom(), c.zoom) << "angleDelta (" << c.angleDelta.x() << ", " << c.angleDelta.y()
                                         << "), pixelDelta y " << c.pixelDelta.y() << ", phase " << c.phase;
        EXPECT_EQ(m_view.wheelGestureInProgress(), c.inGesture) << "phase " << c.phase;
    }
}

// The view outlives a controller that goes first: it must not call a renderer that is gone.
// The controller draws through a recording GPU device: the offscreen platform has no OpenGL.
TEST(ViewControllerTest, AControllerGoingAwayUnsetsTheViewsDelegate) {
    auto device = std::make_shared<recording::Device>();
    // The built-in volume's upload would only copy it here.
    device->options().textureError = "not needed by this test";
    QVMTKView view;
    {
        ViewController vc(nullptr, [device] { return device; });
        vc.setView(&view);
        vc.viewDidLoad();
        ASSERT_NE(view.delegate(), nullptr);
    }
    EXPECT_EQ(view.delegate(), nullptr);
}

constexpr int kTimeoutMs = 30000;

// A detached header of a 4 × 3 × 2 volume with spacing 0.5 × 0.75 × 2.5.
QByteArray detachedHeader(const QString& dataFile, const QString& encoding = QStringLiteral("raw")) {
    return nrrdHeader("ushort", {4, 3, 2}, encoding,
                      "space directions: (0.5,0,0) (0,0.75,0) (0,0,2.5)\ndata file: " + dataFile + "\n");
}

// The main window on a recording GPU device, its import command driven by scripted
// panels and a recording alert. The import's path through the real window on OpenGL is
// tested in the app tests; these cover what needs a held thread pool or no display.
class ImportCommandTest : public ::testing::Test {
  protected:
    ImportCommandTest() { std::tie(m_panels, m_alert) = script(command()); }

    ImportCommand& command() const { return m_window->contentViewController()->importCommand(); }
    QVRenderer& renderer() const { return *m_window->contentViewController()->renderer(); }

    std::shared_ptr<recording::Device> m_device = std::make_shared<recording::Device>();
    std::unique_ptr<WindowController> m_window =
        std::make_unique<WindowController>(nullptr, [this] { return m_device; });
    ScriptedFilePicker* m_panels = nullptr;
    RecordingAlert* m_alert = nullptr;
    TestFolder m_files;
};

// The header panel offers every format; the data panel opens beside the header with the
// named data file chosen, and "All files" selected where the encoding's filter would hide
// it. Cancelling either changes nothing, and the next header panel opens where the last
// header was.
TEST_F(ImportCommandTest, PanelsOpenWhereTheFilesAreAndCancelChangesNothing) {
    const struct {
        const char* encoding;
        const char* dataFile;
        int selectedFilter;
    } cases[] = {{"raw", "head.raw", 0}, {"gzip", "head.raw.gz", 1}};
    const QString status = m_window->statusText();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encoding);
        const QString header =
            m_files.write(QStringLiteral("head.nhdr"),
                          detachedHeader(QString::fromLatin1(c.dataFile), QString::fromLatin1(c.encoding)));
        const QString data = m_files.write(QString::fromLatin1(c.dataFile), QByteArray(48, '\0'));
        const std::size_t first = m_panels->requests.size();
        LogCapture log;
        m_panels->answers = {header, std::nullopt};
        m_window->menuImportaction();
        m_panels->answers = {std::nullopt};
        m_window->menuImportaction();

        ASSERT_EQ(m_panels->requests.size(), first + 3);
        const QStringList formats = m_panels->requests[first].nameFilters;
        for (const char* pattern : {"*.nrrd", "*.nhdr", "*.dcm", "*.nii", "*.nii.gz", "*.hdr", "*.tif"})
            EXPECT_TRUE(formats.front().contains(QLatin1String(pattern))) << pattern;
        const FilePickerRequest& panel = m_panels->requests[first + 1];
        EXPECT_EQ(panel.directory, QFileInfo(header).absolutePath());
        EXPECT_EQ(panel.selectedFile, QFileInfo(data).absoluteFilePath());
        EXPECT_TRUE(panel.nameFilters.front().contains(QStringLiteral("*.") + c.encoding));
        EXPECT_EQ(panel.selectedFilter, c.selectedFilter);
        EXPECT_EQ(m_panels->requests[first + 2].directory, QFileInfo(header).absolutePath());
        EXPECT_EQ(log.count(QStringLiteral("Cancel button was pressed.")), 2);
        // Starting a load or refusing would have said so in the status line.
        EXPECT_EQ(m_window->statusText(), status);
        EXPECT_TRUE(m_alert->warnings.isEmpty());
    }
}

// A header refused at once while another import reads leaves that import running.
TEST_F(ImportCommandTest, RefusedImportLeavesAnImportInProgressRunning) {
    const QString loading = m_files.write(QStringLiteral("loading.nhdr"), detachedHeader("loading.raw"));
    m_files.write(QStringLiteral("loading.raw"), sampleBytes(ramp(24), 2));
    const QString flat = m_files.write(QStringLiteral("flat.nhdr"),
                                       detachedHeader("loading.raw").replace("dimension: 3", "dimension: 2"));
    {
        PoolGate gate;
        m_panels->answers = {loading, m_files.path(QStringLiteral("loading.raw")), flat};
        m_window->menuImportaction();
        m_window->menuImportaction();
        EXPECT_TRUE(command().isLoading());
    }
    ASSERT_TRUE(QTest::qWaitFor([this] { return !command().isLoading(); }, kTimeoutMs));

    EXPECT_EQ(renderer().volumeState().width, 4u);
    EXPECT_EQ(m_alert->warnings.size(), 1);
    EXPECT_EQ(m_window->statusText(), QStringLiteral("4 × 3 × 2 · 0.5 × 0.75 × 2.5 mm"));
}

// Numbers at the edge of doubles reach the labels and the window presets as numbers, never
// through an integer cast that wraps: a range wider than the largest double keeps a finite
// map, a huge intercept shows with an exponent, a rescale that would overflow is left out
// with a note, and a window that is not a number, or too wide, is refused with a reason.
TEST_F(ImportCommandTest, EdgeNumbersReachTheLabelsAndPresetsAsNumbers) {
    m_files.write("extremes.nrrd", nrrdHeader("double", {3, 1, 1}, "raw", "endian: little\n") + "\n" +
                                       bytesOf(std::vector<double>{-1e308, 0.0, 1e308}));
    const QByteArray stored = bytesOf(std::vector<std::int16_t>{0, 25, 75, 100});
    const auto nifti = [&](double slope, double intercept, double calMin, double calMax) {
        return NiftiFile{{3, 2, 2, 1, 1}, DT_INT16, stored, {1, 1, 1}, slope,
                         intercept,       false,    calMin, calMax};
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    writeNifti(m_files.path("intercept.nii"), nifti(1.0, 1e30, 0, 0));
    writeNifti(m_files.path("nan-slope.nii"), nifti(nan, 0, 0, 0));
    writeNifti(m_files.path("nan-window.nii"), nifti(0, 0, nan, 100));
    writeNifti(m_files.path("wide-window.nii"), nifti(0, 0, -3e38, 3e38));

    const struct {
        const char* file;
        WindowPreset preset;
        const char* labels; // "" where the preset is refused
        const char* said;   // in the status line or the preset's reason
    } cases[] = {
        // The window over -1e308 ... 1e308 is wider than any double; its centre is not.
        {"extremes.nrrd", WindowPreset::FullRange, "WW: ∞ WL: -1.5259e+303", "rescaled to 16 bits"},
        {"intercept.nii", WindowPreset::FullRange, "WW: 100 WL: 1e+30", "2 × 2 × 1"},
        {"nan-slope.nii", WindowPreset::FullRange, "WW: 100 WL: 50", "the stored values are shown"},
        {"nan-window.nii", WindowPreset::File, "", "names no window"},
        {"wide-window.nii", WindowPreset::File, "", "outside the volume's range"},
    };
    ViewController& controller = *m_window->contentViewController();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        m_panels->answers = {m_files.path(QString::fromLatin1(c.file))};
        m_window->menuImportaction();
        ASSERT_TRUE(QTest::qWaitFor([this] { return !command().isLoading(); }, kTimeoutMs));
        ASSERT_TRUE(m_alert->warnings.isEmpty()) << qPrintable(m_alert->warnings.join('\n'));
        const std::optional<QString> refused = controller.applyWindowPreset(c.preset);
        const QString said = refused.value_or(m_window->statusText());
        EXPECT_TRUE(said.contains(QString::fromUtf8(c.said))) << qPrintable(said);
        // A refused preset leaves no labels to compare; a refusal where none was due fails.
        const QString labels = refused ? QString()
                                       : m_window->findChild<QLabel*>(QStringLiteral("wwLabel"))->text() +
                                             QLatin1Char(' ') +
                                             m_window->findChild<QLabel*>(QStringLiteral("wlLabel"))->text();
        EXPECT_EQ(labels, QString::fromUtf8(c.labels));
    }
}

TEST_F(ImportCommandTest, ClosingTheWindowWhileLoadingDropsTheImport) {
    const QString header = m_files.write(QStringLiteral("head.nhdr"), detachedHeader("head.raw"));
    m_files.write(QStringLiteral("head.raw"), sampleBytes(ramp(24), 2));
    std::size_t textures = 0;
    {
        PoolGate gate;
        m_panels->answers = {header, m_files.path(QStringLiteral("head.raw"))};
        m_window->menuImportaction();
        textures = m_device->textures().size();
        m_window.reset();
    }
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    // No brick atlas or page table was made for the renderer that is gone.
    EXPECT_EQ(m_device->textures().size(), textures);
}

// The hand-over itself, on a renderer of its own.
class ImportHandOverTest : public ::testing::Test {
  protected:
    ImportHandOver::Outcome handOver(const std::stop_token& stop = {}) {
        return m_handOver.handOver(*m_bed.renderer, m_record, stop, nullptr);
    }
    // The width of the volume the next frame shows.
    std::uint64_t shownWidth() {
        m_bed.renderer->adoptPostedVolume();
        return m_bed.renderer->volumeState().width;
    }

    CreatedRendererTestBed m_bed;
    QObject m_receiver;
    ImportHandOver m_handOver{&m_receiver};
    VolumeRecord m_record = testvolumes::record(
        2, 2, 2, [](auto x, auto y, auto z) { return static_cast<std::uint16_t>(x + 2 * y + 4 * z); });
};

// A stopped hand-over and one after the close leave the volume on show (a refused record is
// told through the window: the app's refused imports). A call posted before the close still
// reaches the receiver, one posted after it does not.
TEST_F(ImportHandOverTest, StoppedOrClosedHandOverLeavesTheRendererAlone) {
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_EQ(handOver(stopped.get_token()), ImportHandOver::Outcome::Stopped);
    EXPECT_NE(shownWidth(), 2u);
    EXPECT_EQ(handOver(), ImportHandOver::Outcome::Replaced);
    EXPECT_EQ(shownWidth(), 2u);

    int calls = 0;
    m_handOver.post([&calls] { ++calls; });
    m_handOver.close();
    m_handOver.post([&calls] { ++calls; });
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 1);
    m_record.width = 1;
    m_record.data = ByteBuffer::fromByteArray(sampleBytes(ramp(4), 2));
    EXPECT_EQ(handOver(), ImportHandOver::Outcome::Stopped);
    EXPECT_EQ(shownWidth(), 2u);
}

// The open panel's user double-clicks folders: a chunked store's folder opens as the store
// (its metadata files are dot files the panel hides), any other folder is entered as usual.
TEST(DialogFilePickerTest, EnteringAStoreFolderOpensItAndOtherFoldersAreBrowsed) {
    const TestFolder files;
    writeZarrStore(files.path(QStringLiteral("ct.zarr")),
                   R"({"format":2,"ome":true,"unit":"millimeter","scale":[1,1,1],"window":[0,900],)"
                   R"("codec":"zstd","sep":"/","dtype":"<u2","mod":900,"low":0,"fill":0,)"
                   R"("shape":[4,4,4],"chunks":[2,2,2]})");
    ASSERT_TRUE(QDir(files.dir().path()).mkdir(QStringLiteral("plain")));
    const struct {
        const char* folder;
        std::optional<QString> chosen;
    } cases[] = {{"ct.zarr", files.path(QStringLiteral("ct.zarr"))}, {"plain", std::nullopt}};
    for (const auto& [folder, chosen] : cases) {
        SCOPED_TRACE(folder);
        QString entered;
        int ticks = 0;
        QTimer user;
        QObject::connect(&user, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            if (++ticks > 500) {
                dialog->reject(); // the folder never showed: fails below rather than hangs
                return;
            }
            if (!entered.isEmpty()) {
                // Still open in the folder entered: the user gives up.
                user.stop();
                entered = dialog->directory().dirName();
                dialog->reject();
                return;
            }
            // The list or the detail view, whichever the panel shows.
            QAbstractItemView* view = nullptr;
            for (auto* shown : dialog->findChildren<QAbstractItemView*>())
                if (!view && shown->isVisible() && !qobject_cast<QHeaderView*>(shown) &&
                    shown->model() == dialog->findChild<QFileSystemModel*>())
                    view = shown;
            const QModelIndex index = view ? static_cast<QFileSystemModel*>(view->model())
                                                 ->index(files.path(QString::fromLatin1(folder)))
                                           : QModelIndex();
            if (!index.isValid() || view->visualRect(index).isEmpty())
                return;
            entered = QString::fromLatin1(folder);
            const QPoint at = view->visualRect(index).center();
            QTest::mousePress(view->viewport(), Qt::LeftButton, {}, at);
            QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, at);
            QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
            if (view->isVisible())
                QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, at);
        });
        user.start(20);
        DialogFilePicker picker;
        FilePickerRequest request;
        request.directory = files.dir().path();
        EXPECT_EQ(picker.openFile(request), chosen);
        EXPECT_EQ(entered, QString::fromLatin1(folder));
    }
}

} // namespace
