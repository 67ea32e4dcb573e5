#include "DicomTestSeries.h"
#include "ImageMetrics.h"
#include "LocalNginx.h"
#include "ScriptedFilePicker.h"
#include "ShownWindow.h"
#include "TestVolumes.h"
#include "VolumeFileWriters.h"
#include "render/streaming/CoarseLevels.h"
#include "ui/import/ImportCommand.h"
#include "ui/transfer/TransferFunctionDock.h"
#include "ui/transfer/TransferFunctionEditor.h"
#include "ui/view/PlaneOutlines.h"
#include "ui/view/ViewWindow.h"
#include "ui/window/AppDelegate.h"
#include "ui/window/ExportZarrCommand.h"
#include "ui/window/SaveImageCommand.h"
#include "volume/core/VolumeFile.h"
#include "volume/zarr/OmeZarrWriter.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QStyle>
#include <QSurfaceFormat>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <functional>
#include <gmock/gmock.h>
#include <map>
#include <nifti1.h>
#include <optional>
#include <vector>

namespace {

// Large enough that frames reduced for a drag hold fewer pixels than the view.
constexpr QSize kDriftWindowSize(720, 540);
// Whether two pictures of one view state agree. Once the brick atlas has grown, bricks lie at
// other texture coordinates, which round differently: a pixel or two may move by a level,
// where a picture left over from another state differs in thousands.
testing::AssertionResult samePicture(const QImage& a, const QImage& b) {
    const int changed = imagemetrics::changedPixels(a, b);
    if (a.size() == b.size() && changed * 1000 < a.width() * a.height())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << changed << " pixels changed";
}
// Pixels of the picture where the volume shows over the clear colour (black).
int volumePixels(const QImage& image) {
    return imagemetrics::foregroundCount(image, Qt::black);
}

// WCAG's relative luminance of an sRGB colour.
double luminance(QRgb pixel) {
    const auto linear = [](int channel) {
        const double v = channel / 255.0;
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(pixel)) + 0.7152 * linear(qGreen(pixel)) + 0.0722 * linear(qBlue(pixel));
}

// The contrast of the text in a picture of a line of text: its commonest colour is the
// background, the pixel farthest from it in luminance the text.
double textContrast(const QImage& line) {
    std::map<QRgb, int> counts;
    for (int y = 0; y < line.height(); ++y)
        for (int x = 0; x < line.width(); ++x)
            ++counts[line.pixel(x, y) | 0xff000000u];
    const double back =
        luminance(std::ranges::max_element(counts, {}, &std::pair<const QRgb, int>::second)->first);
    double contrast = 1.0;
    for (const auto& [colour, count] : counts) {
        const auto [dark, light] = std::minmax({luminance(colour), back});
        contrast = std::max(contrast, (light + 0.05) / (dark + 0.05));
    }
    return contrast;
}

// The viewer window drawing the built-in volume.
class AppWindowTest : public ShownWindowTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(show(std::make_unique<WindowController>(&m_appDelegate)));
        m_view = m_window->view();
    }

    // A left click stops whatever turning or windowing the last drags left going.
    void stopDrags() { pointerDrag(Qt::LeftButton, viewCentre(), viewCentre()); }

    // The still picture of the main view, or of another view's window, once the
    // full-quality frame has followed any reduced ones.
    QImage grabStill(const QString& name, const ViewWindow* other = nullptr) {
        // A frame first: the last one shown may predate what the test just changed.
        EXPECT_TRUE(waitForFrames(1));
        EXPECT_TRUE(waitForBricks()) << name.toStdString();
        const QVRenderer& shown = other ? *other->renderer() : renderer();
        EXPECT_TRUE(QTest::qWaitFor([&] { return shown.showsFullQuality(); }, kTimeoutMs))
            << name.toStdString();
        return grab(name, other ? other->view() : nullptr);
    }

    // Input as the window system delivers it: to whatever lies under the pointer.
    void pointerDrag(Qt::MouseButton button, QPoint from, QPoint to, QWindow* window = nullptr) {
        window = window ? window : m_window->windowHandle();
        QTest::mousePress(window, button, Qt::NoModifier, from);
        QTest::mouseMove(window, (from + to) / 2);
        QTest::mouseMove(window, to);
        QTest::mouseRelease(window, button, Qt::NoModifier, to);
    }

    AppDelegate m_appDelegate;
    QVMTKView* m_view = nullptr;
};

// Left alone, the window still steps every display frame (the labels hear each one), paced
// by the display and not in a loop, but draws, composes and repaints nothing. The status
// line, the title and the window labels drawn over the view describe the built-in volume,
// readable (WCAG's 4.5 : 1), the window labels over any picture; the status line stays
// while menu tips show.
TEST_F(AppWindowTest, StaysIdleAndDescribesTheBuiltInVolumeReadably) {
    ASSERT_TRUE(waitForFrames(5));
    struct PaintCounter : QObject {
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Paint)
                painted << watched->objectName();
            return false;
        }
        QStringList painted;
    } paints;
    qApp->installEventFilter(&paints);
    QSignalSpy swapped(m_view, &QOpenGLWidget::frameSwapped);
    QSignalSpy wwHeard(&renderer(), &QVRenderer::valueChanged);
    QSignalSpy frames(m_view, &QVMTKView::frameCompleted);
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(500);
    ASSERT_TRUE(QTest::qWaitFor([&] { return frames.count() >= 2; }, kTimeoutMs));
    // No display refreshes more than 200 times a second.
    EXPECT_LE(frames.count(), clock.elapsed() / 5 + 1);
    EXPECT_EQ(swapped.count(), 0);
    EXPECT_TRUE(paints.painted.isEmpty()) << paints.painted.join(QLatin1Char(' ')).toStdString();
    EXPECT_GE(wwHeard.count(), 2 * frames.count());

    EXPECT_EQ(m_window->windowTitle(), QStringLiteral("512x512x463-16U.raw — 512 × 512 × 463 — voxview"));
    action("actionClutBW")->showStatusText(m_window.get());
    EXPECT_TRUE(label("statusLabel")->isVisible());
    EXPECT_EQ(m_window->statusText(), QStringLiteral("512 × 512 × 463 · 0.625 × 0.625 × 1.0 mm"));
    // The window labels stay readable over the brightest picture too: the camera inside a
    // volume that lies wholly above the window sees the top of the lookup everywhere.
    for (const QString& over : {QString(), QStringLiteral("-over-bright")}) {
        for (const char* name : {"statusLabel", "wwLabel", "wlLabel"}) {
            const QLabel* text = label(name);
            const QImage line =
                m_window->grab(QRect(text->mapTo(m_window.get(), QPoint(0, 0)), text->size())).toImage();
            line.save(artefactPath(QString::fromLatin1(name) + over));
            EXPECT_GE(textContrast(line), 4.5) << name << over.toStdString();
        }
        renderer().setWl(-5000);
        renderer().setZoom(1.9f);
        ASSERT_TRUE(waitForFrames(2));
    }
}

TEST_F(AppWindowTest, FirstClickIntoAnInactiveWindowOnlyActivatesIt) {
    pointerDrag(Qt::LeftButton, viewCentre(), viewCentre() + QPoint(12, 0));
    const int turning = m_view->deltaX();
    ASSERT_NE(turning, 0);
    QWidget other;
    other.resize(100, 100);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    ASSERT_FALSE(m_window->isActiveWindow());

    // The activating click neither clears nor sets, even when the pointer moves during it.
    const QPoint inside = inWindow(m_view, QPoint(10, 10));
    pointerDrag(Qt::LeftButton, inside, inside + QPoint(20, 0));
    EXPECT_EQ(m_view->deltaX(), turning);
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));

    QTest::mouseClick(m_window->windowHandle(), Qt::LeftButton, Qt::NoModifier, inside);
    EXPECT_EQ(m_view->deltaX(), 0);
}

// One step of a scroll gesture, then a pause before the next.
struct GestureStep {
    QPoint angleDelta;
    QPoint pixelDelta;
    Qt::ScrollPhase phase;
    int pauseMs;
};

// A classic wheel's notch (no phases: it ends by itself) and a trackpad swipe toward the
// user's screen with small pixel deltas, momentum and its end.
const std::pair<const char*, std::vector<GestureStep>> kGestures[] = {
    {"classic-notch", {{{0, 120}, {}, Qt::NoScrollPhase, 0}}},
    {"trackpad-swipe",
     {{{}, {}, Qt::ScrollBegin, 0},
      {{0, 24}, {0, 3}, Qt::ScrollUpdate, 40},
      {{0, 48}, {0, 6}, Qt::ScrollUpdate, 40},
      {{0, 16}, {0, 2}, Qt::ScrollMomentum, 40},
      {{}, {}, Qt::ScrollEnd, 0}}},
};

TEST_F(AppWindowTest, WheelAndTrackpadGesturesZoomAndStopWithTheGesture) {
    for (const auto& [gesture, steps] : kGestures) {
        SCOPED_TRACE(gesture);
        const QString name = QString::fromLatin1(gesture);
        const QImage before = grabStill(name + QStringLiteral("-before"));
        for (const GestureStep& step : steps) {
            wheelAt(viewCentre(), step.angleDelta, step.pixelDelta, step.phase);
            QTest::qWait(step.pauseMs);
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !m_view->wheelGestureInProgress(); }, kTimeoutMs));
        EXPECT_EQ(m_view->zoom(), 0);

        const QImage stopped = grabStill(name + QStringLiteral("-stopped"));
        ASSERT_TRUE(waitForFrames(10));
        const QImage later = grabStill(name + QStringLiteral("-later"));
        const int covered = imagemetrics::foregroundCount(before, Qt::black);
        EXPECT_GT(imagemetrics::foregroundCount(stopped, Qt::black), covered + covered / 50)
            << "the gesture did not zoom in";
        EXPECT_EQ(imagemetrics::changedPixels(stopped, later), 0) << "the picture moves on after the gesture";
        m_window->resetView();
    }
}

// Where the handle of a horizontal slider stands at `value`, in window coordinates.
QPoint handleAt(const QSlider* slider, int value) {
    const int length = slider->style()->pixelMetric(QStyle::PM_SliderLength, nullptr, slider);
    const int x = QStyle::sliderPositionFromValue(slider->minimum(), slider->maximum(), value,
                                                  slider->width() - length) +
                  length / 2;
    return slider->mapTo(slider->window(), QPoint(x, slider->height() / 2));
}

TEST_F(AppWindowTest, ResetViewUndoesDragsWheelAndSlidersDoneWithThePointer) {
    const QImage start = grabStill(QStringLiteral("reset-start"));
    QWindow* window = m_window->windowHandle();
    QTest::keyClick(window, Qt::Key_I, Qt::ControlModifier);

    // The upper x clip's handle dragged to the middle (which side it cuts away, the pixel
    // tests check; that each slider reaches the picture, the slider test).
    QSlider* xslider = slider("xslider");
    pointerDrag(Qt::LeftButton, handleAt(xslider, 100), handleAt(xslider, 50));
    ASSERT_LT(renderer().xcept(), 0.6f);

    // A turn, then a right drag that starts on the window labels and reaches the view under
    // them, then a wheel notch.
    pointerDrag(Qt::LeftButton, viewCentre(), viewCentre() + QPoint(12, 0));
    ASSERT_NE(m_view->deltaX(), 0);
    const QLabel* ww = label("wwLabel");
    const QPoint onLabel = inWindow(ww, ww->rect().center());
    pointerDrag(Qt::RightButton, onLabel, onLabel + QPoint(10, 6));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ww->text() != QStringLiteral("WW: 1384"); }, kTimeoutMs));
    wheelAt(viewCentre(), {0, 120});
    ASSERT_TRUE(waitForFrames(3));

    // The turn, the window and the clip left going show in the picture and the labels.
    QTest::keyClick(window, Qt::Key_Home);
    EXPECT_EQ(m_view->zoom(), 0);
    EXPECT_FALSE(m_view->wheelGestureInProgress());
    EXPECT_EQ(xslider->value(), 100);
    const QImage reset = grabStill(QStringLiteral("reset-done"));
    EXPECT_EQ(ww->text(), QStringLiteral("WW: 1384"));
    EXPECT_EQ(label("wlLabel")->text(), QStringLiteral("WL: 738"));
    EXPECT_TRUE(samePicture(start, reset));
}

TEST_F(AppWindowTest, SaveImageWritesTheViewAsPngAtItsSize) {
    const QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const ScriptedFilePicker& asked =
        *script(m_window->saveImageCommand(), {folder.filePath(QStringLiteral("head view"))}).first;
    // Saved right after a change, when the view shows a frame of reduced resolution (in a
    // view of more pixels than such a frame has).
    m_window->resize(kWindowSize * 3 / 2);
    ASSERT_TRUE(waitForFrames(2));
    action("actionIntercept")->trigger();
    slider("xslider")->setValue(80);
    QTest::keyClick(m_window->windowHandle(), Qt::Key_S, Qt::ControlModifier);
    ASSERT_EQ(asked.requests.size(), 1u);
    EXPECT_TRUE(asked.requests[0].selectedFile.endsWith(QStringLiteral("/512x512x463-16U.png")));
    // Read as PNG only: a picture in another format under the name fails to load.
    const QImage saved(folder.filePath(QStringLiteral("head view.png")), "PNG");
    ASSERT_FALSE(saved.isNull());
    const QImage still = grabStill(QStringLiteral("save-image-still")).convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(saved.size(), QSize(m_view->width(), m_view->height()) * m_view->devicePixelRatio());
    EXPECT_EQ(imagemetrics::changedPixels(still, saved.convertToFormat(QImage::Format_RGB32)), 0);
}

// The two lookups and the colour maps are one choice: choosing one again keeps it, and the
// menu shows the renderer's. Maximum intensity projection from the menu redraws the volume and is the one
// render mode checked. The CT windows are in Hounsfield units; the built-in sample stores
// HU + 1024.
TEST_F(AppWindowTest, LookupRenderModeAndWindowPresetsFromTheMenuAndShortcutsReachThePictureAndLabels) {
    const QImage composite = grab(QStringLiteral("composite"));
    EXPECT_TRUE(action("actionClutDefault")->isChecked());
    for (int round = 0; round < 2; ++round)
        action("actionClutBW")->trigger();
    EXPECT_TRUE(action("actionClutBW")->isChecked());
    EXPECT_FALSE(action("actionClutDefault")->isChecked());
    EXPECT_GT(imagemetrics::changedPixels(composite, grabStill(QStringLiteral("black-and-white"))), 1000);
    QAction* hot = m_window->findChild<QMenu*>(QStringLiteral("menuColourMaps"))->actions().at(0);
    hot->trigger();
    EXPECT_TRUE(hot->isChecked());
    EXPECT_FALSE(action("actionClutBW")->isChecked());
    EXPECT_GT(imagemetrics::changedPixels(composite, grabStill(QStringLiteral("hot"))), 1000);
    action("actionClutDefault")->trigger();
    EXPECT_FALSE(action("actionClutBW")->isChecked() || hot->isChecked());
    EXPECT_TRUE(samePicture(composite, grabStill(QStringLiteral("default-again"))));

    // A projection starts in grey and, in any lookup, leaves the background where its rays
    // meet only air, as compositing does; back in compositing, its own lookup returns.
    action("actionRenderMip")->trigger();
    EXPECT_GT(
        imagemetrics::changedPixels(composite, grabStill(QStringLiteral("maximum-intensity-projection"))),
        1000);
    EXPECT_TRUE(action("actionRenderMip")->isChecked());
    EXPECT_FALSE(action("actionRenderComposite")->isChecked());
    EXPECT_TRUE(action("actionClutBW")->isChecked());
    action("actionClutDefault")->trigger();
    const QImage warmMaximum = grabStill(QStringLiteral("maximum-intensity-projection-warm"));
    EXPECT_LT(std::abs(volumePixels(warmMaximum) - volumePixels(composite)), volumePixels(composite) / 10);
    action("actionRenderComposite")->trigger();
    EXPECT_TRUE(action("actionClutDefault")->isChecked());
    action("actionClutBW")->trigger();
    action("actionRenderMip")->trigger();
    EXPECT_TRUE(action("actionClutDefault")->isChecked());

    const auto shown = [&] { return label("wwLabel")->text() + QLatin1Char(' ') + label("wlLabel")->text(); };
    const auto width = [&] { return label("wwLabel")->text().mid(4).toLongLong(); };
    action("actionWindowBone")->trigger();
    EXPECT_EQ(shown(), QStringLiteral("WW: 1500 WL: 1324"));
    QTest::keyClick(m_window.get(), Qt::Key_8);
    EXPECT_EQ(shown(), QStringLiteral("WW: 1500 WL: 424"));
    QTest::keyClick(m_window.get(), Qt::Key_5); // the sample names no window of its own
    EXPECT_EQ(shown(), QStringLiteral("WW: 1500 WL: 424"));
    EXPECT_FALSE(m_window->statusBar()->currentMessage().isEmpty());
    QTest::keyClick(m_window.get(), Qt::Key_4);
    const qlonglong fullRange = width();
    QTest::keyClick(m_window.get(), Qt::Key_3);
    const qlonglong automatic = width();
    EXPECT_GT(automatic, 100);
    EXPECT_LT(automatic, fullRange);
    action("actionWindowStartup")->trigger();
    ASSERT_TRUE(waitForFrames(1));
    EXPECT_EQ(shown(), QStringLiteral("WW: 1384 WL: 738"));
}

// View › Rendering's lighting reaches the composited picture: more ambient light, then
// none at all (unlit, the ambient share no longer matters); the projections are never lit.
TEST_F(AppWindowTest, LightingFromTheMenuChangesTheCompositedPictureOnly) {
    const QImage lit = grabStill(QStringLiteral("lit"));
    action("actionAmbientBright")->trigger();
    const QImage brighter = grabStill(QStringLiteral("lit-brighter"));
    EXPECT_GT(imagemetrics::changedPixels(lit, brighter), 100);
    QTest::keyClick(m_window.get(), Qt::Key_L, Qt::ControlModifier);
    EXPECT_FALSE(action("actionLitSurfaces")->isChecked());
    const QImage flat = grabStill(QStringLiteral("unlit"));
    EXPECT_GT(imagemetrics::changedPixels(brighter, flat), 100);
    action("actionAmbientDim")->trigger();
    EXPECT_TRUE(samePicture(flat, grabStill(QStringLiteral("unlit-dim"))));
    action("actionRenderMip")->trigger();
    const QImage maximum = grabStill(QStringLiteral("maximum-unlit"));
    action("actionLitSurfaces")->trigger();
    EXPECT_TRUE(samePicture(maximum, grabStill(QStringLiteral("maximum-lit"))));
}

// A colour preset (voxview --transfer-function, View › Presets) shows the volume in its colour
// map, the window over its values; one whose values miss the volume's says so in the status line.
TEST_F(AppWindowTest, AColourPresetColoursTheVolumeOverItsValues) {
    const QImage before = grabStill(QStringLiteral("before-preset"));
    auto preset = std::get<ColourMap::Preset>(
        ColourMap::fromParaViewPreset(R"({"Name": "Ramp", "RGBPoints": [0, 0, 0, 1, 1000, 1, 1, 0]})"));
    m_window->setColourPreset(preset);
    // Values in Hounsfield units, which the built-in sample stores + 1024 (and its labels show).
    EXPECT_EQ(label("wwLabel")->text() + QLatin1Char(' ') + label("wlLabel")->text(),
              QStringLiteral("WW: 1000 WL: 1524"));
    EXPECT_FALSE(action("actionClutDefault")->isChecked() || action("actionClutBW")->isChecked());
    EXPECT_GT(imagemetrics::changedPixels(before, grabStill(QStringLiteral("preset"))), 1000);
    EXPECT_TRUE(m_window->statusBar()->currentMessage().isEmpty());
    // View › Presets: CT Bone spans 100 to 1500 HU; the microscopy one the sample's percentiles.
    const QList<QAction*> presets = m_window->findChild<QMenu*>(QStringLiteral("menuPresets"))->actions();
    presets.first()->trigger();
    EXPECT_EQ(label("wwLabel")->text() + QLatin1Char(' ') + label("wlLabel")->text(),
              QStringLiteral("WW: 1400 WL: 1824"));
    presets.last()->trigger();
    EXPECT_TRUE(m_window->statusBar()->currentMessage().isEmpty());
    preset.low = 70000;
    preset.high = 80000;
    m_window->setColourPreset(preset);
    EXPECT_TRUE(m_window->statusBar()->currentMessage().contains(QLatin1String("outside the volume's")));
    // A colour library's map over 0 to 1 is stretched over the window in force, not given a
    // window one unit wide.
    presets.first()->trigger();
    m_window->setColourPreset(std::get<ColourMap::Preset>(ColourMap::fromParaViewPreset(
        R"({"Name": "Library", "RGBPoints": [0, 0, 0, 1, 0.5, 1, 1, 1, 1, 1, 0, 0]})")));
    EXPECT_EQ(label("wwLabel")->text() + QLatin1Char(' ') + label("wlLabel")->text(),
              QStringLiteral("WW: 1400 WL: 1824"));
    EXPECT_TRUE(m_window->statusBar()->currentMessage().contains(QLatin1String("normalised range")));
}

// View › Transfer Function opens the editor over the histogram of every voxel of the volume.
// Dragging the middle point of the curve up, where it is drawn, makes the picture more opaque
// through the colour map's table alone (no brick is uploaded again); a right click and the
// Delete key remove points; the pointer's value is in the file's units; a malformed preset
// file is refused saying why.
TEST_F(AppWindowTest, TheTransferFunctionDockEditsTheCurveThePictureShows) {
    m_window->resize(760, 420);
    QTest::keyClick(m_window.get(), Qt::Key_T, Qt::ControlModifier);
    TransferFunctionDock* dock = m_window->transferFunctionDock();
    ASSERT_TRUE(dock->isVisible() && action("actionTransferFunction")->isChecked());
    TransferFunctionEditor* editor = dock->editor();
    const VolumeState volume = renderer().volumeState();
    ASSERT_TRUE(QTest::qWaitFor([&] { return editor->histogram() && editor->histogram()->stride() == 1; },
                                kTimeoutMs));
    EXPECT_EQ(editor->histogram()->total(), volume.width * volume.height * volume.depth);

    const auto at = [&](int point) { return editor->mapTo(m_window.get(), editor->pointPosition(point)); };
    QTest::mouseMove(m_window->windowHandle(), at(2));
    const QLabel* value = dock->findChild<QLabel*>(QStringLiteral("pointerValueLabel"));
    EXPECT_NEAR(value->text().section(QLatin1Char(' '), 1).toDouble(), renderer().wl(), 10.0)
        << value->text().toStdString();
    const QImage shown = grabStill(QStringLiteral("curve-dock-shown"));
    const std::uint64_t bricks = renderer().brickPool()->uploads().bricks;
    const std::uint64_t tables = renderer().colourMapUploads();
    pointerDrag(Qt::LeftButton, at(2), QPoint(at(2).x(), at(4).y()));
    const ColourMap& edited = renderer().displayModel().colourMap();
    ASSERT_TRUE(edited.hasOpacity());
    EXPECT_NEAR(edited.opacity()[2].opacity, 1.0, 0.02);
    EXPECT_EQ(edited.points().size(), ColourMap::warmDefault().points().size());
    EXPECT_GT(imagemetrics::changedPixels(shown, grabStill(QStringLiteral("curve-raised"))), 1000);
    EXPECT_EQ(renderer().brickPool()->uploads().bricks, bricks);
    EXPECT_GT(renderer().colourMapUploads(), tables);

    QTest::mouseClick(m_window->windowHandle(), Qt::RightButton, Qt::NoModifier, at(3));
    EXPECT_EQ(renderer().displayModel().colourMap().opacity().size(), 4u);
    QTest::mouseClick(m_window->windowHandle(), Qt::LeftButton, Qt::NoModifier, at(1));
    QTest::keyClick(editor, Qt::Key_Delete);
    EXPECT_EQ(renderer().displayModel().colourMap().opacity().size(), 3u);

    QTemporaryDir folder;
    const QString malformed = folder.filePath(QStringLiteral("malformed.json"));
    QFile file(malformed);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(R"({"RGBPoints": [0, 0, 0]})") > 0);
    file.close();
    dock->setFilePicker(std::make_unique<ScriptedFilePicker>(ScriptedFilePicker::Answers{malformed}));
    QTest::mouseClick(dock->findChild<QPushButton*>(QStringLiteral("loadPresetButton")), Qt::LeftButton);
    EXPECT_TRUE(m_window->statusBar()->currentMessage().contains(QLatin1String("quadruples")));
    EXPECT_EQ(renderer().displayModel().colourMap().opacity().size(), 3u);
}

// View › New View opens a second window on the volume: a left drag there turns only its own
// camera; a right drag there moves the shared window, which the labels and both pictures
// show; an import reaches both views; closing the window frees its view.
TEST_F(AppWindowTest, NewViewTurnsOnItsOwnAndSharesTheWindowAndTheVolume) {
    action("actionNewView")->trigger();
    QPointer<ViewWindow> other = m_window->findChild<ViewWindow*>();
    ASSERT_TRUE(other && QTest::qWaitForWindowExposed(other));
    other->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(other));
    const QImage mainStart = grabStill(QStringLiteral("new-view-main-start"));
    const QImage otherStart = grabStill(QStringLiteral("new-view-start"), other);
    EXPECT_TRUE(samePicture(mainStart, otherStart));

    // Each drag goes on as a speed until a left click stops it.
    const QPoint centre = other->view()->rect().center();
    const auto drag = [&](Qt::MouseButton button, QPoint by) {
        pointerDrag(button, centre, centre + by, other->windowHandle());
        ASSERT_TRUE(waitForFrames(3));
        QTest::mouseClick(other->windowHandle(), Qt::LeftButton, Qt::NoModifier, centre);
    };
    drag(Qt::LeftButton, {12, 0});
    EXPECT_NE(other->renderer()->yrot(), 0.0f);
    EXPECT_EQ(renderer().yrot(), 0.0f);
    const QImage turned = grabStill(QStringLiteral("new-view-turned"), other);
    EXPECT_FALSE(samePicture(otherStart, turned));
    EXPECT_TRUE(samePicture(mainStart, grabStill(QStringLiteral("new-view-main-unturned"))));

    drag(Qt::RightButton, {10, 6});
    EXPECT_EQ(label("wwLabel")->text(), QStringLiteral("WW: %1").arg(other->renderer()->ww()));
    EXPECT_FALSE(samePicture(turned, grabStill(QStringLiteral("new-view-windowed"), other)));
    EXPECT_FALSE(samePicture(mainStart, grabStill(QStringLiteral("new-view-main-windowed"))));

    const VolumeRecord ball = testvolumes::sphere(64, 1000);
    ASSERT_TRUE(renderer().updateVolumeDataWithNRRDfmt(&ball));
    const QImage otherBall = grabStill(QStringLiteral("new-view-import"), other);
    EXPECT_EQ(other->renderer()->volumeState().width, 64u);
    EXPECT_TRUE(samePicture(otherBall, grabStill(QStringLiteral("new-view-main-import"))));

    other->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return other.isNull(); }, kTimeoutMs));
}

// Ctrl+I shows and hides the clip sliders and their labels, Ctrl+R the turn's, each group
// alone, and the menu's checks follow. Each slider, dragged with the pointer from where it
// starts, changes the picture and moves its own clip value or turn and no other. The volume
// is turned first: seen straight along z, neither a z clip nor the turn about z would show.
TEST_F(AppWindowTest, SliderTogglesShowTheirOwnControlsAndEachSliderMovesOnlyItsOwnValue) {
    const struct {
        Qt::Key key;
        const char* action;
        std::vector<const char*> controls;
    } toggles[] = {{Qt::Key_I,
                    "actionIntercept",
                    {"xslider", "xbtmslider", "yslider", "ybtmslider", "zslider", "zbtmslider",
                     "xsliderLabel", "ysliderLabel", "zsliderLabel", "uppersliderLabel", "lowersliderLabel"}},
                   {Qt::Key_R, "actionZrot", {"zrotslider", "zrotsliderLabel"}}};
    // Only the controls of the group `shown` show (none where null), and only its check is set.
    const auto showsOnly = [&](const void* shown) {
        for (const auto& group : toggles) {
            EXPECT_EQ(action(group.action)->isChecked(), &group == shown) << group.action;
            for (const char* name : group.controls)
                EXPECT_EQ(m_window->findChild<QWidget*>(QLatin1String(name))->isVisible(), &group == shown)
                    << name;
        }
    };
    showsOnly(nullptr);
    for (const auto& toggle : toggles) {
        for (const bool shown : {true, false}) {
            QTest::keyClick(m_window->windowHandle(), toggle.key, Qt::ControlModifier);
            showsOnly(shown ? &toggle : nullptr);
        }
    }

    const struct {
        const char* name;
        int to;
        float (QVRenderer::*value)() const;
    } drags[] = {{"xslider", 50, &QVRenderer::xcept},  {"xbtmslider", 10, &QVRenderer::xceptBtm},
                 {"yslider", 50, &QVRenderer::ycept},  {"ybtmslider", 10, &QVRenderer::yceptBtm},
                 {"zslider", 15, &QVRenderer::zcept},  {"zbtmslider", 10, &QVRenderer::zceptBtm},
                 {"zrotslider", 60, &QVRenderer::zrot}};
    QTest::keyClick(m_window->windowHandle(), Qt::Key_I, Qt::ControlModifier);
    QTest::keyClick(m_window->windowHandle(), Qt::Key_R, Qt::ControlModifier);
    m_window->grab().save(artefactPath(QStringLiteral("window-with-every-slider")));
    for (std::size_t i = 0; i < std::size(drags); ++i) {
        SCOPED_TRACE(drags[i].name);
        QTest::keyClick(m_window->windowHandle(), Qt::Key_Home);
        pointerDrag(Qt::LeftButton, viewCentre(), viewCentre() + QPoint(6, 4));
        ASSERT_TRUE(waitForFrames(2)); // the turn goes on for these frames
        stopDrags();
        const QImage turned = grabStill(QStringLiteral("slider-turned"));
        QSlider* dragged = slider(drags[i].name);
        std::vector<float> before;
        for (const auto& drag : drags)
            before.push_back((renderer().*drag.value)());
        pointerDrag(Qt::LeftButton, handleAt(dragged, dragged->value()), handleAt(dragged, drags[i].to));
        EXPECT_NEAR(dragged->value(), drags[i].to, 6);
        for (std::size_t j = 0; j < std::size(drags); ++j) {
            if (j == i)
                EXPECT_NE((renderer().*drags[j].value)(), before[j]);
            else
                EXPECT_EQ((renderer().*drags[j].value)(), before[j]) << drags[j].name << " moved too";
        }
        const QImage moved = grabStill(QStringLiteral("slider-") + QString::fromLatin1(drags[i].name));
        EXPECT_GT(imagemetrics::changedPixels(turned, moved),
                  imagemetrics::foregroundCount(turned, Qt::black) / 20);
    }
}

// The built-in volume shows in the middle of the view on the clear colour, and the picture
// follows the window's shape: drawn anew for every size, centred, neither stretched nor left
// over from the last size, and the same again at the first size.
TEST_F(AppWindowTest, ResizedWindowRedrawsThePictureForItsNewShape) {
    const QImage first = grabStill(QStringLiteral("resize-first"));
    const QRect firstBounds = imagemetrics::foregroundBounds(first, Qt::black);
    ASSERT_GT(firstBounds.height(), first.height() / 4);
    const double firstAspect = double(firstBounds.width()) / firstBounds.height();
    for (const QSize size : {QSize(560, 240), QSize(320, 420), kWindowSize}) {
        SCOPED_TRACE(size.width());
        m_window->resize(size);
        const QImage picture = grabStill(QStringLiteral("resize-%1x%2").arg(size.width()).arg(size.height()));
        ASSERT_EQ(picture.size(), m_view->size() * m_view->devicePixelRatio());
        const QRect bounds = imagemetrics::foregroundBounds(picture, Qt::black);
        EXPECT_NEAR(bounds.center().x(), picture.width() / 2, picture.width() / 30);
        EXPECT_NEAR(bounds.center().y(), picture.height() / 2, picture.height() / 30);
        EXPECT_NEAR(double(bounds.width()) / bounds.height(), firstAspect, 0.05 * firstAspect);
        if (size == kWindowSize) {
            EXPECT_TRUE(samePicture(first, picture));
        }
    }
}

// While the left button is held and the volume turns, frames of reduced resolution show
// the volume where the full-quality picture showed it, not black and not noise. After a
// right drag the window goes on drifting; once the button is up the drifting picture is
// drawn at full quality, as sharp as the still one.
TEST_F(AppWindowTest, FramesWhileAButtonIsHeldAreReducedAndTheDriftAfterARightDragIsSharp) {
    m_window->resize(kDriftWindowSize);
    const QImage still = grabStill(QStringLiteral("reduced-still"));
    const QPoint start = viewCentre();
    QWindow* window = m_window->windowHandle();
    QTest::mousePress(window, Qt::LeftButton, Qt::NoModifier, start);
    QTest::mouseMove(window, start + QPoint(1, 0));
    ASSERT_TRUE(waitForFrames(3));
    EXPECT_FALSE(renderer().showsFullQuality());
    const QImage reduced = grab(QStringLiteral("reduced-while-held"));
    QTest::mouseRelease(window, Qt::LeftButton, Qt::NoModifier, start + QPoint(1, 0));
    stopDrags();

    ASSERT_EQ(reduced.size(), still.size());
    const double area = imagemetrics::foregroundCount(still, Qt::black);
    EXPECT_NEAR(imagemetrics::foregroundCount(reduced, Qt::black), area, 0.2 * area);
    const QPointF offset = imagemetrics::foregroundCentroid(reduced, Qt::black) -
                           imagemetrics::foregroundCentroid(still, Qt::black);
    EXPECT_LT(offset.manhattanLength(), still.width() / 20.0);
    const double brightness = imagemetrics::meanForegroundBrightness(still, Qt::black);
    EXPECT_NEAR(imagemetrics::meanForegroundBrightness(reduced, Qt::black), brightness, 0.25 * brightness);
    // Seen from afar the two agree nearly everywhere.
    const QSize coarse = still.size() / 8;
    EXPECT_LT(imagemetrics::differingPixels(
                  still.scaled(coarse, Qt::IgnoreAspectRatio, Qt::SmoothTransformation),
                  reduced.scaled(coarse, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)),
              coarse.width() * coarse.height() / 10);

    const double sharp = imagemetrics::fineDetail(grabStill(QStringLiteral("before-drift")));
    QTest::mousePress(window, Qt::RightButton, Qt::NoModifier, start);
    QTest::mouseMove(window, start + QPoint(1, 1));
    ASSERT_TRUE(waitForFrames(3));
    QTest::mouseRelease(window, Qt::RightButton, Qt::NoModifier, start + QPoint(1, 1));
    ASSERT_TRUE(waitForFrames(3));
    const QString drifted = label("wwLabel")->text();
    const QImage drifting = grab(QStringLiteral("drifting"));
    ASSERT_TRUE(waitForFrames(2));
    ASSERT_NE(label("wwLabel")->text(), drifted);
    EXPECT_GT(imagemetrics::fineDetail(drifting), 0.9 * sharp);
    stopDrags();
}

// Frames on llvmpipe come quickly at this size; the bound only keeps a broken view from hanging the run.
constexpr int kFrameTimeoutMs = 10000;

// Records what the view offers its delegate in the first frame, and counts the frames.
class RecordingDelegate : public MTKViewDelegate {
  public:
    void mtkView_drawableSizeWillChange(MTKView&, DrawableSize) override {}

    void drawInMTKView(MTKView& view) override {
        if (paintedFramesLeft > 0) {
            // Stands in for a renderer that draws and presents: fills the frame red.
            --paintedFramesLeft;
            auto* widget = dynamic_cast<QWidget*>(&view);
            QPainter(widget).fillRect(widget->rect(), Qt::red);
            view.currentDrawable()->present();
        }
        // Every frame takes the pass, as a renderer does.
        const gpu::RenderPassDescriptor* pass = view.currentRenderPassDescriptor();
        if (frames++ == 0 && pass) {
            firstPass = *pass;
            firstHadDrawable = view.currentDrawable() != nullptr;
        }
    }

    int paintedFramesLeft = 0;
    int frames = 0;
    std::optional<gpu::RenderPassDescriptor> firstPass;
    bool firstHadDrawable = false;
};

class QVMTKViewFrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // With an alpha channel the grab tells an opaque clear colour from a
        // framebuffer that Qt merely invalidated (transparent black on llvmpipe).
        QSurfaceFormat format = m_view.format();
        format.setAlphaBufferSize(8);
        m_view.setFormat(format);
        m_view.setDelegate(&m_delegate);
        m_view.resize(160, 120);
        m_view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_view));
    }
    void TearDown() override { m_view.setDelegate(nullptr); }

    bool waitForCalls(int count) {
        const int until = m_delegate.frames + count;
        return QTest::qWaitFor([&] { return m_delegate.frames >= until; }, kFrameTimeoutMs);
    }

    RecordingDelegate m_delegate;
    QVMTKView m_view;
};

// The pass and the drawable are offered during a frame only; a frame that nobody presents
// shows the clear colour, not what an earlier frame presented.
TEST_F(QVMTKViewFrameTest, OffersThePassOnlyDuringAFrameAndAFrameNobodyPresentsShowsTheClearColour) {
    ASSERT_TRUE(waitForCalls(1));
    const DrawableSize expected = m_view.drawableSize();
    ASSERT_TRUE(m_delegate.firstPass.has_value());
    EXPECT_TRUE(m_delegate.firstHadDrawable);
    EXPECT_EQ(m_delegate.firstPass->width, static_cast<std::uint32_t>(expected.width));
    EXPECT_EQ(m_delegate.firstPass->height, static_cast<std::uint32_t>(expected.height));
    EXPECT_TRUE(m_delegate.firstPass->clear);
    EXPECT_EQ(m_view.currentRenderPassDescriptor(), nullptr);
    EXPECT_EQ(m_view.currentDrawable(), nullptr);

    m_delegate.paintedFramesLeft = 1;
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_delegate.paintedFramesLeft == 0; }, kFrameTimeoutMs));
    // The frames after it took the pass and presented nothing.
    ASSERT_TRUE(waitForCalls(2));
    const QImage image = m_view.grabFramebuffer();
    ASSERT_FALSE(image.isNull());
    // Every pixel, not a red one left.
    const gpu::ClearColor clear = QVMTKView::clearColor();
    QImage cleared(image.size(), image.format());
    cleared.fill(QColor::fromRgbF(clear.red, clear.green, clear.blue, clear.alpha));
    EXPECT_TRUE(image == cleared);
}

constexpr int kSide = 64;
// CT numbers: air around a ball of soft tissue.
constexpr int kAir = -1000;
constexpr int kTissue = 400;
constexpr int kBallRadius = 24;

// The header of a 64³ signed volume, ending with a blank line: with the samples after
// it the data is attached; alone, it is a detached header that names no data file.
const QByteArray kBallHeader =
    nrrdHeader("short", {kSide, kSide, kSide}, "raw", "spacings: 1 1 1\nendian: little\n\n");

// The samples of a ball of `tissue` in `air` filling the 64³ volume, x fastest.
template <typename T> QByteArray ballSamples(T air, T tissue) {
    std::vector<T> samples;
    for (int z = 0; z < kSide; ++z)
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x) {
                const int dx = x - kSide / 2, dy = y - kSide / 2, dz = z - kSide / 2;
                samples.push_back(dx * dx + dy * dy + dz * dz <= kBallRadius * kBallRadius ? tissue : air);
            }
    return bytesOf(samples);
}
// A ball of soft tissue in air, as a signed CT import stores it.
const QByteArray kBall = ballSamples<std::int16_t>(kAir, kTissue);

// The viewer window on the built-in volume, importing through scripted panels.
class ImportAppTest : public ShownWindowTest {
  protected:
    void SetUp() override {
        auto window = std::make_unique<WindowController>(nullptr, gpu::createSystemDefaultDevice, m_budgets);
        std::tie(m_panels, m_alert) = script(window->contentViewController()->importCommand());
        ASSERT_NO_FATAL_FAILURE(show(std::move(window)));
    }

    ImportCommand& command() const { return m_window->contentViewController()->importCommand(); }
    std::string status() const { return m_window->statusText().toStdString(); }

    // Waits until the import's volume is drawn, every brick it needs resident, or the import
    // is refused: on a loaded machine the first frames of a new volume may still lack bricks.
    void waitForImport() {
        ASSERT_TRUE(QTest::qWaitFor([this] { return !command().isLoading(); }, kTimeoutMs));
        ASSERT_TRUE(waitForBricks());
    }
    void import(std::deque<std::optional<QString>> answers) {
        m_panels->answers = std::move(answers);
        m_window->menuImportaction();
        waitForImport();
    }

    // Drops a file or a link onto the window's middle as a file manager or a browser does;
    // the import starts once the drag has ended.
    void drop(const QUrl& url) {
        QMimeData dragged;
        dragged.setUrls({url});
        const QPoint centre = m_window->rect().center();
        QDragEnterEvent enter(centre, Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_window.get(), &enter);
        ASSERT_TRUE(enter.isAccepted());
        QDropEvent dropped(QPointF(centre), Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_window.get(), &dropped);
        ASSERT_TRUE(QTest::qWaitFor([this] { return command().isLoading(); }, kTimeoutMs));
    }

    ViewerBudgets m_budgets;
    TestFolder m_files;
    ScriptedFilePicker* m_panels = nullptr;
    RecordingAlert* m_alert = nullptr;
};

// The ways a user opens a detached header that ends with a blank line and names no data
// file: the menu (two panels), `voxview HEADER DATA` once the window is up (none) and a
// drop (the data file's panel). Each reaches its data file and shows the ball.
TEST_F(ImportAppTest, DetachedHeaderEndingInABlankLineOpensWithItsDataFile) {
    const QString data = m_files.write(QStringLiteral("ball.raw"), kBall);
    const QImage builtIn = grab(QStringLiteral("open-before"));
    const struct {
        const char* name;
        std::function<void(const QString& header)> open;
        std::size_t panels;
    } ways[] = {{"menu",
                 [&](const QString& header) {
                     m_panels->answers = {header, data};
                     QTest::keyClick(m_window->windowHandle(), Qt::Key_O, Qt::ControlModifier);
                 },
                 2},
                {"command-line", [&](const QString& header) { m_window->openFile(header, data); }, 0},
                {"drop",
                 [&](const QString& header) {
                     m_panels->answers = {data};
                     drop(QUrl::fromLocalFile(header));
                 },
                 1}};
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        const QString name = QString::fromLatin1(way.name);
        const std::size_t panelsBefore = m_panels->requests.size();
        way.open(m_files.write(name + QStringLiteral(".nhdr"), kBallHeader));
        waitForImport();
        const QImage after = grab(QStringLiteral("open-after-") + name);

        EXPECT_TRUE(m_alert->warnings.isEmpty()) << m_alert->warnings.join('\n').toStdString();
        EXPECT_EQ(m_panels->requests.size() - panelsBefore, way.panels);
        EXPECT_EQ(m_window->statusText(), QStringLiteral("64 × 64 × 64 · 1.0 × 1.0 × 1.0 mm"));
        EXPECT_EQ(m_window->windowTitle(), name + QStringLiteral(".nhdr — 64 × 64 × 64 — voxview"));
        ASSERT_EQ(after.size(), builtIn.size());
        EXPECT_GT(imagemetrics::changedPixels(builtIn, after), builtIn.width() * builtIn.height() / 10);
        // The ball sits in the middle and is lit; the air around it is not drawn.
        EXPECT_NE(after.pixel(after.width() / 2, after.height() / 2), after.pixel(2, 2));
    }
}

// An OME-Zarr store's folder dropped onto the window is read lazily and drawn; Ctrl+E (File ›
// Export as OME-Zarr) writes the volume on show back as a store with the same voxels.
TEST_F(ImportAppTest, DroppedZarrFolderOpensAndExportsBackVoxelForVoxel) {
    const VolumeRecord ball =
        volumeOf(VolumeFile::read(m_files.write(QStringLiteral("b.nrrd"), kBallHeader + kBall)));
    const QString store = m_files.path(QStringLiteral("ball.zarr"));
    ASSERT_FALSE(OmeZarrWriter::write(ball, store));
    const QImage before = grab(QStringLiteral("zarr-before"));
    drop(QUrl::fromLocalFile(store));
    waitForImport();
    const QImage after = grab(QStringLiteral("zarr-after"));
    EXPECT_TRUE(m_alert->warnings.isEmpty()) << m_alert->warnings.join('\n').toStdString();
    EXPECT_EQ(m_window->windowTitle(), QStringLiteral("ball.zarr — 64 × 64 × 64 — voxview"));
    EXPECT_EQ(m_window->statusText(), QStringLiteral("64 × 64 × 64 · 1.0 × 1.0 × 1.0 mm"));
    EXPECT_GT(imagemetrics::changedPixels(before, after), before.width() * before.height() / 10);

    const ScriptedFilePicker& asked =
        *script(m_window->exportZarrCommand(), {m_files.path(QStringLiteral("again"))}).first;
    QTest::keyClick(m_window->windowHandle(), Qt::Key_E, Qt::ControlModifier);
    ASSERT_EQ(asked.requests.size(), 1u);
    EXPECT_EQ(samplesOf(volumeOf(VolumeFile::read(m_files.path(QStringLiteral("again.zarr"))))),
              samplesOf(ball));
}

// Escape while the samples are being decoded stops the import: the volume, title and
// status line stay, and the window goes on drawing and importing. Escape once the
// upload has begun may let the volume arrive, but the window then describes the volume
// it shows. Escape is pressed as the status line shows the import's progress, from the
// slot that shows it: on a busy machine one turn of the event loop can carry an import
// through all its progress to its end, past any poll of the status line.
// An OME-Zarr store on a web server opens by its address, typed into File > Open Location
// (Ctrl+Shift+O) or dropped as a link; an address with nothing behind it is refused. The user
// name and password in the address reach the server, never the title, status line or warning.
TEST_F(ImportAppTest, WebStoreOpensByItsTypedOrDroppedAddress) {
    LocalNginx nginx;
    if (LocalNginx::binary().isEmpty())
        GTEST_SKIP() << "nginx is not installed (Debian's nginx-light runs this test)";
    writeZarrStore(
        nginx.root() + QStringLiteral("/ct.zarr"),
        R"({"format":2,"ome":true,"unit":"millimeter","scale":[1,1,1],"window":[0,900],"codec":"zstd",)"
        R"("sep":"/","dtype":"<u2","mod":900,"low":0,"fill":0,"shape":[24,32,40],"chunks":[8,16,16]})");
    ASSERT_TRUE(nginx.start());
    const QString address = nginx.url().replace("//", "//viewer:s3cret@") + QStringLiteral("/ct.zarr");
    const auto typed = [&](const QString& text) {
        // The dialog is modal: it is answered from a timer while the shortcut's handler waits.
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] {
            if (auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget())) {
                answer.stop();
                QTest::keyClick(dialog->findChild<QLineEdit*>(), Qt::Key_A, Qt::ControlModifier);
                QTest::keyClicks(dialog->findChild<QLineEdit*>(), text);
                QTest::keyClick(dialog->findChild<QLineEdit*>(), Qt::Key_Return);
            }
        });
        answer.start(20);
        // The window's shortcuts reach it only while it is the active window, which a closed
        // dialog does not always give back without a window manager.
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
        QTest::keyClick(m_window->windowHandle(), Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
        ASSERT_FALSE(answer.isActive()) << "the Open Location dialog did not show";
    };
    const std::vector<std::tuple<const char*, std::function<void()>, bool>> ways = {
        {"typed", [&] { typed(address); }, true},
        {"dropped", [&] { drop(QUrl(address)); }, true},
        {"typed, nothing there", [&] { typed(address + QStringLiteral("x")); }, false},
    };
    const QImage builtIn = grab(QStringLiteral("location-before"));
    for (const auto& [name, open, opens] : ways) {
        SCOPED_TRACE(name);
        open();
        waitForImport();
        const QImage after = grab(QStringLiteral("location-after"));
        const QString shown = m_window->windowTitle() + m_window->statusText() + m_alert->warnings.join('\n');
        EXPECT_FALSE(shown.contains(QStringLiteral("s3cret"))) << shown.toStdString();
        EXPECT_TRUE(
            m_window->windowTitle().startsWith(nginx.url() + QStringLiteral("/ct.zarr — 40 × 32 × 24")));
        EXPECT_GT(imagemetrics::changedPixels(builtIn, after), builtIn.width() * builtIn.height() / 20);
        EXPECT_EQ(m_alert->warnings.filter(QStringLiteral("/ct.zarrx")).size(), opens ? 0 : 1)
            << shown.toStdString();
    }
}

TEST_F(ImportAppTest, EscapeDuringAnImportKeepsAWholeVolumeOnShowAndTheWindowWorking) {
    // 256³ samples as text of 16 bytes each, written a slice at a time: parsed for several
    // tenths of a second after the first progress report, which comes a tenth of a second
    // into the import, so that an Escape pressed then lands while the samples are decoded.
    const QString slow = m_files.path(QStringLiteral("slow.nrrd"));
    QFile file(slow);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(nrrdHeader("ushort", {256, 256, 256}, "ascii", "\n"));
    const QByteArray slice = QByteArray("000000000000001 ").repeated(256 * 256);
    for (int z = 0; z < 256; ++z)
        file.write(slice);
    file.close();
    const QString ball = m_files.write(QStringLiteral("ball.nrrd"), kBallHeader + kBall);
    const QString title = m_window->windowTitle();
    const QString described = m_window->statusText();
    const QImage before = grab(QStringLiteral("escape-before"));
    auto* cancel = m_window->findChild<QPushButton*>(QStringLiteral("cancelImportButton"));
    EXPECT_FALSE(cancel->isVisible());
    // Imports the slow file and presses Escape when the status line first shows `when`.
    const auto escapeAt = [&](const char* when) {
        const QRegularExpression at(QString::fromUtf8(when));
        bool pressed = false;
        const QMetaObject::Connection watching =
            QObject::connect(&command(), &ImportCommand::statusChanged, [&](const QString& text) {
                if (pressed || !at.match(text).hasMatch())
                    return;
                pressed = true;
                EXPECT_TRUE(cancel->isVisible());
                QTest::keyClick(m_window->windowHandle(), Qt::Key_Escape);
                EXPECT_FALSE(command().isLoading());
                EXPECT_FALSE(cancel->isVisible());
            });
        m_panels->answers = {slow};
        m_window->menuImportaction();
        EXPECT_TRUE(QTest::qWaitFor([&] { return pressed; }, kTimeoutMs)) << when << ": " << status();
        QObject::disconnect(watching);
        QThreadPool::globalInstance()->waitForDone();
        ASSERT_TRUE(waitForFrames(2));
    };

    // The first progress report: decoding has begun.
    escapeAt("^Loading slow.nrrd … [1-9][0-9]? %$");
    EXPECT_EQ(renderer().volumeState().width, 512u);
    EXPECT_EQ(m_window->statusText(), described);
    EXPECT_EQ(m_window->windowTitle(), title);
    EXPECT_EQ(imagemetrics::changedPixels(before, grab(QStringLiteral("escape-during-decode"))), 0);

    escapeAt("^Uploading slow.nrrd");
    const std::uint64_t shown = renderer().volumeState().width;
    EXPECT_TRUE(shown == 512u || shown == 256u) << shown;
    EXPECT_EQ(m_window->windowTitle().contains(QStringLiteral("256 × 256 × 256")), shown == 256u)
        << m_window->windowTitle().toStdString();

    import({ball});
    EXPECT_EQ(m_window->windowTitle(), QStringLiteral("ball.nrrd — 64 × 64 × 64 — voxview"));
    EXPECT_TRUE(m_alert->warnings.isEmpty()) << m_alert->warnings.join('\n').toStdString();
}

// Volumes of other formats replace the picture through the menu command and panel: the
// ball as a NIfTI float volume, rescaled into the texture, starts with the window over its
// whole range, labels real values with decimals and resets the clip sliders and the lookup,
// which the menu shows; a DICOM folder
// of two series asks which one to show.
// A 20 × 30 × 40 volume of 0.5 × 0.75 × 2 mm voxels, each sample telling where it lies, in
// the 3-D view with the three slices beside it (View › Layout): a click in the axial slice
// moves the other two slices to the voxel clicked, the wheel and Page Up step slices, the
// status line tells the value and place of the voxel under the pointer, and a Shift+drag
// measures in millimetres across the unequal spacing.
TEST_F(ImportAppTest, SliceViewsFollowAClickAndTellValuesAndDistancesInMillimetres) {
    const auto sampleAt = [](int x, int y, int z) { return x + 32 * y + 1024 * z - 20000; };
    std::vector<std::int16_t> samples;
    for (int z = 0; z < 40; ++z)
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 20; ++x)
                samples.push_back(static_cast<std::int16_t>(sampleAt(x, y, z)));
    const QByteArray header =
        nrrdHeader("short", {20, 30, 40}, "raw", "spacings: 0.5 0.75 2\nendian: little\n\n");
    m_window->resize(800, 600);
    m_window->openFile(m_files.write(QStringLiteral("ramp.nrrd"), header + bytesOf(samples)));
    waitForImport();
    QTest::keyClick(m_window->windowHandle(), Qt::Key_2, Qt::AltModifier);
    SlicePanel& panel = *m_window->slicePanel();
    SliceView* axial = panel.view(SliceAxis::Axial);
    SliceView* coronal = panel.view(SliceAxis::Coronal);
    SliceView* sagittal = panel.view(SliceAxis::Sagittal);
    EXPECT_TRUE(action("actionLayoutOnePlusThree")->isChecked());
    const auto settled = [&] {
        return QTest::qWaitFor([&] { return axial->settled() && coronal->settled() && sagittal->settled(); },
                               kTimeoutMs);
    };
    ASSERT_TRUE(settled());
    for (QWidget* shown : {static_cast<QWidget*>(m_window->view()), static_cast<QWidget*>(axial),
                           static_cast<QWidget*>(coronal), static_cast<QWidget*>(sagittal)})
        ASSERT_TRUE(shown->isVisible() && shown->width() > 100) << shown->objectName().toStdString();
    EXPECT_THAT(axial->heading().toStdString(), testing::HasSubstr("z 20/40 · 40.0 mm"));

    // Window coordinates of the middle of the axial picture's voxel (x, y): x across, y down.
    const auto voxelCentre = [&](double x, double y) {
        const QRectF picture = axial->placement();
        return inWindow(axial, QPointF(picture.left() + (x + 0.5) * picture.width() / 20,
                                       picture.top() + (y + 0.5) * picture.height() / 30)
                                   .toPoint());
    };
    QTest::mouseClick(m_window->windowHandle(), Qt::LeftButton, Qt::NoModifier, voxelCentre(5, 7));
    ASSERT_TRUE(settled());
    EXPECT_THAT(sagittal->heading().toStdString(), testing::HasSubstr("x 5/20 · 2.5 mm"));
    EXPECT_THAT(coronal->heading().toStdString(), testing::HasSubstr("y 7/30 · 5.3 mm"));
    // The coronal slice now lies at y = 7: its bottom-left pixel is voxel (0, 7, 0), drawn in
    // the grey of that sample's place in the window.
    const double width = std::max<double>(renderer().ww(), 1.0);
    const double floor = renderer().wl() - width / 2;
    EXPECT_NEAR(qRed(coronal->picture().pixel(0, 39)),
                255.0 * std::clamp((sampleAt(0, 7, 0) - floor) / width, 0.0, 1.0), 1.0);

    // The 3-D view outlines the slices' planes; the camera looks from the first slice's side,
    // so the axial plane shrinks as it steps away.
    const auto* outlines = m_window->findChild<PlaneOutlines*>();
    ASSERT_TRUE(outlines && outlines->isVisible());
    const QRectF nearer = outlines->outline(SliceAxis::Axial).boundingRect();
    EXPECT_TRUE(m_window->view()->rect().contains(nearer.toRect()));
    wheelAt(inWindow(coronal, coronal->rect().center()), {0, 120});
    QTest::keyClick(m_window->windowHandle(), Qt::Key_PageUp, Qt::ShiftModifier); // the clicked axial view
    ASSERT_TRUE(settled());
    EXPECT_THAT(coronal->heading().toStdString(), testing::HasSubstr("y 8/30"));
    EXPECT_THAT(axial->heading().toStdString(), testing::HasSubstr("z 30/40 · 60.0 mm"));
    EXPECT_LT(outlines->outline(SliceAxis::Axial).boundingRect().width(), nearer.width() - 1.0);
    m_window->grab().save(artefactPath(QStringLiteral("slice-views")));

    QTest::mouseMove(m_window->windowHandle(), voxelCentre(12, 21));
    EXPECT_EQ(m_window->statusBar()->currentMessage().toStdString(),
              QStringLiteral("x 12, y 21, z 30 · 6.00, 15.75, 60.00 mm · %1")
                  .arg(sampleAt(12, 21, 30))
                  .toStdString());

    // 12 voxels of 0.5 mm across, 16 of 0.75 mm down: 6 and 12 mm, give or take a pixel.
    QTest::mousePress(m_window->windowHandle(), Qt::LeftButton, Qt::ShiftModifier, voxelCentre(2, 3));
    QTest::mouseMove(m_window->windowHandle(), voxelCentre(8, 11));
    QTest::mouseRelease(m_window->windowHandle(), Qt::LeftButton, Qt::ShiftModifier, voxelCentre(14, 19));
    const QRegularExpressionMatch distance = QRegularExpression(QStringLiteral("Distance: ([0-9.]+) mm"))
                                                 .match(m_window->statusBar()->currentMessage());
    ASSERT_TRUE(distance.hasMatch()) << m_window->statusBar()->currentMessage().toStdString();
    EXPECT_NEAR(distance.captured(1).toDouble(), std::hypot(6.0, 12.0), 0.2);
    EXPECT_THAT(sagittal->heading().toStdString(), testing::HasSubstr("x 5/20")); // a ruler is no click
    QTest::keyClick(m_window->windowHandle(), Qt::Key_Home);
    EXPECT_FALSE(axial->rulerMillimetres());

    // A window from row 13 to row 14.5 of column 12 (32 a row): square voxels show row 14's
    // grey up to its edge; Smooth windows the blended values there, so it turns white early.
    DisplayModel& display = renderer().displayModel();
    display.setWindowWidth(48);
    display.setWindowLevel(sampleAt(12, 13, 30) + 24);
    ASSERT_TRUE(QTest::qWaitFor([&] { return qRed(axial->picture().pixel(12, 14)) == 170; }, kTimeoutMs));
    const QRectF picture = axial->placement();
    const QPoint between(static_cast<int>(std::floor(picture.left() + 12.5 * picture.width() / 20)),
                         static_cast<int>(std::floor(picture.top() + 14.8 * picture.height() / 30)));
    EXPECT_EQ(axial->grab().toImage().pixel(between), axial->picture().pixel(12, 14));
    action("actionSliceLinear")->trigger();
    const double row = (between.y() + 0.5 - picture.top()) / picture.height() * 30 - 0.5;
    const double value = sampleAt(12, 0, 30) + 32 * row;
    EXPECT_NEAR(qRed(axial->grab().toImage().pixel(between)),
                255.0 * std::clamp((value - sampleAt(12, 13, 30)) / 48.0, 0.0, 1.0), 1.0);
}

// A store wider than a slice view's pixels shows its slices from the coarse level those pixels
// need, and a value read there says it is a mean; zoomed in, the view reads level 0.
TEST_F(ImportAppTest, SliceViewsOfAStoreReadTheLevelTheirPixelsNeed) {
    const QString folder = m_files.path(QStringLiteral("wide.zarr"));
    writeZarrStore(folder,
                   R"({"format":2,"ome":true,"unit":"millimeter","scale":[1,1,1],"window":[0,4400],)"
                   R"("codec":"zstd","sep":"/","dtype":"<u2","mod":999,"low":0,"fill":0,"marker":4321,)"
                   R"("shape":[4,512,512],"chunks":[4,128,128]})");
    m_window->resize(800, 600);
    m_window->openFile(folder);
    waitForImport();
    QTest::keyClick(m_window->windowHandle(), Qt::Key_2, Qt::AltModifier);
    SliceView* axial = m_window->slicePanel()->view(SliceAxis::Axial);
    ASSERT_TRUE(QTest::qWaitFor([&] { return axial->settled(); }, kTimeoutMs));
    ASSERT_LT(axial->placement().width() * axial->devicePixelRatioF(), 256.0);
    EXPECT_EQ(axial->picture().width(), 256);
    const auto valueAt = [&](QPoint offset) {
        QTest::mouseMove(m_window->windowHandle(),
                         inWindow(axial, axial->placement().center().toPoint() + offset));
        return m_window->statusBar()->currentMessage().toStdString();
    };
    EXPECT_THAT(valueAt({}), testing::EndsWith("· ≈ 4321 (mean of 2 × 2 × 2 voxels)"));

    wheelAt(inWindow(axial, axial->rect().center()), {0, 4 * 120}, {}, Qt::NoScrollPhase,
            Qt::ControlModifier);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return axial->settled() && axial->picture().width() == 512; }, kTimeoutMs));
    EXPECT_THAT(valueAt({5, 5}), testing::MatchesRegex(".* mm · [0-9]+"));
}

// View > Slices > Slices in the 3-D View: the slices through the crosshair show inside a
// volume that the colour map's curve hides entirely, in the map's colour of their value, and
// go again when turned off.
TEST_F(ImportAppTest, TheSlicesShowInsideTheVolumeWhenAsked) {
    const std::vector<std::uint16_t> flat(32 * 32 * 32, 1000);
    m_window->resize(500, 400);
    m_window->openFile(
        m_files.write(QStringLiteral("flat.nrrd"),
                      nrrdHeader("ushort", {32, 32, 32}, "raw", "endian: little\n\n") + bytesOf(flat)));
    waitForImport();
    DisplayModel& display = renderer().displayModel();
    display.setWindowLevel(1000);
    display.setWindowWidth(400);
    display.setColourMap(
        ColourMap(QStringLiteral("hidden grey"), {{0.0, 0, 0, 0}, {1.0, 1, 1, 1}}, {{0.0, 0.0}, {1.0, 0.0}}));
    const auto centre = [&] {
        const QImage image = m_window->view()->grabFramebuffer();
        return image.pixel(image.width() / 2, image.height() / 2);
    };
    // The curve hides every value: the picture goes dark where the volume showed.
    ASSERT_TRUE(QTest::qWaitFor([&] { return qRed(centre()) < 40; }, kTimeoutMs)) << qRed(centre());
    const QRgb hidden = centre();
    action("actionSlicesIn3D")->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return std::abs(qRed(centre()) - 128) <= 3; }, kTimeoutMs))
        << qRed(centre());
    action("actionSlicesIn3D")->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return centre() == hidden; }, kTimeoutMs));
}

// A volume whose voxel axes are turned in the patient (x superior, y left, z posterior) in
// the 2 × 2 layout: each slice view is named by the patient axis of its normal, and letters
// drawn at its edges name the sides they face; without orientation, voxel-axis names.
TEST_F(ImportAppTest, SliceViewsAreNamedByThePatientAxesTheFileGives) {
    const QByteArray zeros(16 * 12 * 8 * 2, '\0');
    const QString lps = "space: LPS\nspace directions: (0,0,2) (1,0,0) (0,1,0)\n\n";
    m_window->resize(800, 600);
    m_window->openFile(m_files.write("turned.nrrd", nrrdHeader("ushort", {16, 12, 8}, "raw", lps) + zeros));
    waitForImport();
    QTest::keyClick(m_window->windowHandle(), Qt::Key_3, Qt::AltModifier);
    const SlicePanel& panel = *m_window->slicePanel();
    const std::array views{panel.view(SliceAxis::Sagittal), panel.view(SliceAxis::Coronal),
                           panel.view(SliceAxis::Axial)};
    const auto headings = [&] {
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return std::ranges::all_of(views, &SliceView::settled); }, kTimeoutMs));
        return (views[0]->heading() + ';' + views[1]->heading() + ';' + views[2]->heading()).toStdString();
    };
    // The letter drawn white in the middle of the right edge, over the black picture.
    const auto whiteAtRightEdge = [&] {
        const QImage shot = views[0]->grab().toImage();
        int white = 0;
        for (int y = shot.height() / 2 - 12; y < shot.height() / 2 + 12; ++y)
            for (int x = shot.width() - 28; x < shot.width(); ++x)
                white += qGray(shot.pixel(x, y)) > 200;
        return white;
    };
    EXPECT_THAT(headings(), testing::MatchesRegex("Axial · x .*;Sagittal · y .*;Coronal · z .*"));
    // Across x: columns run along y (left), rows rise along z (posterior).
    ASSERT_TRUE(views[0]->edges());
    const SliceEdges edges = *views[0]->edges();
    EXPECT_EQ(QString(edges.left) + edges.right + edges.top, QStringLiteral("RLP"));
    EXPECT_GT(whiteAtRightEdge(), 5);

    m_window->openFile(m_files.write("plain.nrrd", nrrdHeader("ushort", {16, 12, 8}, "raw", "\n") + zeros));
    waitForImport();
    EXPECT_THAT(headings(), testing::MatchesRegex("Sagittal · x .*;Coronal · y .*;Axial · z .*"));
    EXPECT_FALSE(views[0]->edges());
    EXPECT_THAT(views[0]->toolTip().toStdString(), testing::HasSubstr("names no patient orientation"));
    EXPECT_EQ(whiteAtRightEdge(), 0);
}

TEST_F(ImportAppTest, NiftiAndDicomVolumesReplaceThePicture) {
    const QString nifti = m_files.path(QStringLiteral("ball.nii.gz"));
    writeNifti(nifti,
               {{3, kSide, kSide, kSide, 1}, DT_FLOAT32, ballSamples(0.0f, 0.75f), {1, 1, 1}, 0, 0, false});
    // CT numbers -500 ... -43: inside the window an import starts with.
    const DicomTestSeries head{.intercept = 0};
    head.write(m_files.dir().path());
    DicomTestSeries{.depth = 2, .uid = head.uid + ".2", .description = "Localizer", .fileNumbers = {21, 22}}
        .write(m_files.dir().path());
    // Listed by description: "Head 2.0" before "Localizer".
    auto chooser = std::make_unique<ScriptedSeriesPicker>(0);
    const ScriptedSeriesPicker& offered = *chooser;
    command().setSeriesPicker(std::move(chooser));
    const QImage before = grab(QStringLiteral("import-formats-before"));
    slider("xslider")->setValue(70);
    action("actionClutBW")->trigger();

    import({nifti});
    EXPECT_EQ(slider("xslider")->value(), 100);
    EXPECT_EQ(renderer().xcept(), 1.0f);
    EXPECT_TRUE(action("actionClutDefault")->isChecked());
    const QImage ball = grab(QStringLiteral("import-nifti"));
    EXPECT_THAT(status(), testing::StartsWith("64 × 64 × 64 · 1.0 × 1.0 × 1.0 mm"));
    EXPECT_EQ(label("wlLabel")->text(), QStringLiteral("WL: 0.37501"));
    EXPECT_GT(imagemetrics::changedPixels(before, ball), before.width() * before.height() / 20);
    EXPECT_NE(ball.pixel(ball.width() / 2, ball.height() / 2), ball.pixel(2, 2));

    import({m_files.dir().path()});
    EXPECT_EQ(offered.offered, std::vector<std::size_t>{2});
    EXPECT_EQ(m_window->statusText(), QStringLiteral("8 × 6 × 5 · 0.5 × 0.75 × 2.0 mm"));
    EXPECT_GT(imagemetrics::changedPixels(ball, grab(QStringLiteral("import-dicom"))), 0);
    EXPECT_TRUE(m_alert->warnings.isEmpty()) << m_alert->warnings.join('\n').toStdString();
}

// A refused import leaves the window, its picture and its controls as they were and says
// why: a file cut short; a folder whose DICOM file is damaged where GDCM asserts (the VR of
// the file meta group's first element), which the import worker lists so that the library's
// abort ends the worker instead of the window; a column whose page table the GPU cannot
// hold, refused at the hand-over.
TEST_F(ImportAppTest, RefusedImportKeepsThePictureAndShowsWhy) {
    const QByteArray ball = kBallHeader + kBall;
    const QString shortBall = m_files.write(QStringLiteral("short.nrrd"), ball.left(ball.size() - 1000));
    constexpr qsizetype kFirstMetaVr = 136; // after the preamble, "DICM" and the first tag
    const QTemporaryDir written;
    QByteArray slice = readFile(DicomTestSeries{}.write(written.path()).front());
    slice[kFirstMetaVr] = static_cast<char>(~slice[kFirstMetaVr]);
    ASSERT_TRUE(QDir(m_files.dir().path()).mkdir(QStringLiteral("damaged")));
    const QString damaged = QFileInfo(m_files.write(QStringLiteral("damaged/IM0001.dcm"), slice)).path();
    const QString column = m_files.write(QStringLiteral("column.nrrd"),
                                         nrrdHeader("ushort", {1, 1, 600000}, "raw", "endian: little\n\n") +
                                             QByteArray(1200000, '\1'));
    slider("xslider")->setValue(70);
    QTest::keyClick(m_window->windowHandle(), Qt::Key_8); // a window preset: more bricks show
    ASSERT_TRUE(waitForFrames(1));
    ASSERT_TRUE(waitForBricks());
    const QImage before = grab(QStringLiteral("refused-before"));
    const QSize windowSize = m_window->size();
    const QString level = label("wlLabel")->text();
    const QString title = m_window->windowTitle();
    const struct {
        QString path;
        const char* start;
        const char* said;
    } refusals[] = {{shortBall, "Cannot import short.nrrd: The data holds", "1000 bytes short"},
                    {damaged, "Cannot import damaged: ", "IM0001.dcm"},
                    {column, "Cannot import column.nrrd: the volume is too long for this GPU",
                     "its page table needs 10 x 1 x 18750"}};
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.start);
        const qsizetype warnings = m_alert->warnings.size();
        import({refusal.path});
        EXPECT_THAT(status(),
                    testing::AllOf(testing::StartsWith(refusal.start), testing::HasSubstr(refusal.said)));
        EXPECT_EQ(m_alert->warnings.size(), warnings + 1);
        EXPECT_EQ(m_window->size(), windowSize);
        EXPECT_EQ(m_window->windowTitle(), title);
        EXPECT_EQ(slider("xslider")->value(), 70);
        EXPECT_EQ(label("wlLabel")->text(), level);
        EXPECT_EQ(imagemetrics::changedPixels(before, grab(QStringLiteral("refused-after"))), 0);
    }
}

class InPlaceImportAppTest : public ImportAppTest {
  protected:
    InPlaceImportAppTest() {
        m_budgets.importRamBytes = 1;
        m_budgets.pool.gpuBytes = std::uint64_t{96} << 20;
    }
};

// The window's budgets reach its renderer and its imports. A 512 × 512 × 4 slab read in
// place, its face drawn from level 1 until a zoom needs level 0, whose bricks cannot be read once the file is
// cut short: the status line says so, Save Image saves nothing rather than the coarse picture, and the file
// made whole reloads.
TEST_F(InPlaceImportAppTest, DataFileCutShortWhileStreamedIsToldAndNoCoarsePictureIsSaved) {
    const QByteArray samples = sampleBytes(std::vector<int>(512 * 512 * 4, 500), 2);
    const QString data = m_files.write(QStringLiteral("slab.raw"), samples);
    import({m_files.write(QStringLiteral("slab.nhdr"),
                          nrrdHeader("ushort", {512, 512, 4}, "raw", "spacings: 1 1 1\n")),
            data});
    EXPECT_EQ(renderer().budgets().gpuBytes, m_budgets.pool.gpuBytes);
    const BrickPool& pool = *renderer().brickPool();
    ASSERT_GT(pool.level(), 0u);
    ASSERT_TRUE(QFile::resize(data, samples.size() / 2));
    for (int notch = 0; notch < 20 && pool.level() > 0; ++notch) {
        wheelAt(viewCentre(), {0, 120});
        ASSERT_TRUE(waitForFrames(2));
    }
    const QString told = "The data file slab.raw changed or vanished: the view cannot be completed.";
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_window->statusText() == told; }, kTimeoutMs)) << status();
    auto* reload = m_window->findChild<QPushButton*>(QStringLiteral("reloadButton"));
    EXPECT_TRUE(reload->isVisible());

    const QString picture = m_files.path(QStringLiteral("slab view.png"));
    const RecordingAlert& saveWarnings = *script(m_window->saveImageCommand(), {picture}).second;
    QTest::keyClick(m_window->windowHandle(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_FALSE(QFile::exists(picture));
    EXPECT_TRUE(saveWarnings.warnings.value(0).startsWith(
        QStringLiteral("The picture is incomplete: the data file slab.raw changed or vanished")));

    m_files.write(QStringLiteral("slab.raw"), samples);
    QTest::mouseClick(reload, Qt::LeftButton);
    waitForImport();
    EXPECT_EQ(m_window->statusText(), QStringLiteral("512 × 512 × 4 · 1.0 × 1.0 × 1.0 mm"));
    EXPECT_FALSE(reload->isVisible());
}

// A volume read in place shows its slices, once the pass over its file has finished, from the
// coarse level the pass keeps in memory where the view's pixels need no finer, and says the
// value under the pointer is a mean there.
TEST_F(InPlaceImportAppTest, SlicesOfAVolumeReadInPlaceComeFromThePassesLevelOnceItIsDone) {
    std::vector<int> samples(512 * 512 * 4);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = 100 + 2 * static_cast<int>(i % 2); // 100 and 102 along x: a mean of 101
    }
    import({m_files.write(QStringLiteral("slab.nhdr"),
                          nrrdHeader("ushort", {512, 512, 4}, "raw", "spacings: 1 1 1\n")),
            m_files.write(QStringLiteral("slab.raw"), sampleBytes(samples, 2))});
    m_window->resize(800, 600);
    QTest::keyClick(m_window->windowHandle(), Qt::Key_2, Qt::AltModifier);
    const std::shared_ptr<const CoarseLevels> pass = renderer().brickPool()->pass();
    ASSERT_TRUE(pass);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pass->finished(); }, kTimeoutMs));
    SliceView* axial = m_window->slicePanel()->view(SliceAxis::Axial);
    ASSERT_LT(axial->placement().width() * axial->devicePixelRatioF(), 256.0);
    wheelAt(inWindow(axial, axial->rect().center()), {0, 120});
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return axial->settled() && axial->picture().width() == 256; }, kTimeoutMs));
    QTest::mouseMove(m_window->windowHandle(), inWindow(axial, axial->placement().center().toPoint()));
    EXPECT_THAT(m_window->statusBar()->currentMessage().toStdString(),
                testing::EndsWith("· ≈ 101 (mean of 2 × 2 × 2 voxels)"));
}

// A web store's server that stops while its finer bricks are still to come: the frames go on
// with the coarse level, the status line says the store cannot be read now, and once the
// server answers again at the same address the bricks arrive and the description returns,
// without a reload.
TEST_F(InPlaceImportAppTest, WebStoreWhoseServerStopsIsToldAndCompletedWhenItAnswersAgain) {
    LocalNginx nginx;
    if (LocalNginx::binary().isEmpty())
        GTEST_SKIP() << "nginx is not installed (Debian's nginx-light runs this test)";
    writeZarrStore(nginx.root() + QStringLiteral("/slab.zarr"),
                   R"({"format":2,"ome":true,"unit":"millimeter","scale":[1,1,1],"window":[0,900],)"
                   R"("codec":"zstd","sep":"/","dtype":"<u2","mod":900,"low":0,"fill":0,)"
                   R"("shape":[4,512,512],"chunks":[1,64,512]})");
    ASSERT_TRUE(nginx.start());
    drop(QUrl(nginx.url() + QStringLiteral("/slab.zarr")));
    waitForImport();
    const QString description = m_window->statusText();
    const BrickPool& pool = *renderer().brickPool();
    ASSERT_GT(pool.level(), 0u);

    nginx.stop();
    for (int notch = 0; notch < 20 && pool.level() > 0; ++notch) {
        wheelAt(viewCentre(), {0, 120});
        ASSERT_TRUE(waitForFrames(2));
    }
    ASSERT_EQ(pool.level(), 0u);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return m_window->statusText().endsWith(QStringLiteral("cannot be read now: the view will be "
                                                                  "completed once it answers again."));
        },
        kTimeoutMs))
        << status();
    const QImage coarse = grab(QStringLiteral("server-stopped"));
    EXPECT_TRUE(waitForFrames(2)) << "the frames stopped while the server was away";

    ASSERT_TRUE(nginx.start());
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_window->statusText() == description; }, kTimeoutMs))
        << status();
    ASSERT_TRUE(waitForBricks());
    EXPECT_GT(imagemetrics::changedPixels(coarse, grab(QStringLiteral("server-back"))), 0)
        << "the finer bricks did not replace the coarse picture";
}

// The window's own import path under load: the command reads and decodes on the global
// thread pool and hands each volume over while the view keeps drawing on the GUI thread;
// imports start before the previous one has finished, so later ones stop earlier ones
// mid-read or mid-upload. Run under ThreadSanitizer it finds races between the upload
// and the frames; in any build the last import's volume must be the one on show.
class ImportStress : public ImportAppTest {};

TEST_F(ImportStress, OverlappingImportsThroughTheCommandEndOnTheLastVolume) {
    constexpr int kImports = 12;
    constexpr int kPauseStepMs = 25;
    const struct { int width, height, depth; } sizes[] = {{48, 40, 32}, {64, 24, 40}};
    QStringList paths;
    for (const auto& size : sizes)
        paths << m_files.write(
            QStringLiteral("v%1.nrrd").arg(size.width),
            nrrdHeader("unsigned short", {size.width, size.height, size.depth}, "raw", "endian: little\n\n") +
                QByteArray(size.width * size.height * size.depth * 2, '\5'));
    for (int import = 0; import < kImports; ++import) {
        m_panels->answers = {paths[import % 2]};
        m_window->menuImportaction();
        // The GUI thread turns its event loop (frames, queued hand-over results) for no
        // time at all up to a few frames' worth: some imports overtake a read, some an upload.
        QTest::qWait(kPauseStepMs * (import % 3));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !command().isLoading(); }, 2 * kTimeoutMs));
    ASSERT_TRUE(waitForFrames(1));

    EXPECT_TRUE(m_alert->warnings.isEmpty()) << m_alert->warnings.join('\n').toStdString();
    const auto& last = sizes[(kImports - 1) % 2];
    const QVRenderer::VolumeState shown = renderer().volumeState();
    EXPECT_EQ(std::tuple(shown.width, shown.height, shown.depth),
              std::tuple(std::uint64_t(last.width), std::uint64_t(last.height), std::uint64_t(last.depth)));
}

} // namespace
