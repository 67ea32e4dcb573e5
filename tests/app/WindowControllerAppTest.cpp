#include "ImageMetrics.h"
#include "ScriptedFilePicker.h"
#include "ShownWindow.h"
#include "TestVolumes.h"
#include "ui/view/ViewWindow.h"
#include "ui/window/AppDelegate.h"
#include "ui/window/SaveImageCommand.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QStatusBar>
#include <QStyle>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <map>
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
// Pixels of an area of the picture where the volume shows over the clear colour (black).
int volumePixels(const QImage& image, const QRect& area) {
    return imagemetrics::foregroundCount(image.copy(area), Qt::black);
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
    for (const char* name : {"statusLabel", "wwLabel", "wlLabel"}) {
        const QLabel* text = label(name);
        const QImage line =
            m_window->grab(QRect(text->mapTo(m_window.get(), QPoint(0, 0)), text->size())).toImage();
        line.save(artefactPath(QString::fromLatin1(name)));
        EXPECT_GE(textContrast(line), 4.5) << name;
    }
    // The window labels stay readable over the brightest picture: the camera inside a
    // volume that lies wholly above the window sees the top of the lookup everywhere.
    renderer().setWl(-5000);
    renderer().setZoom(1.9f);
    ASSERT_TRUE(waitForFrames(2));
    for (const char* name : {"wwLabel", "wlLabel"}) {
        const QLabel* text = label(name);
        const QImage line =
            m_window->grab(QRect(text->mapTo(m_window.get(), QPoint(0, 0)), text->size())).toImage();
        line.save(artefactPath(QString::fromLatin1(name) + QStringLiteral("-over-bright")));
        EXPECT_GE(textContrast(line), 4.5) << name << " over a bright picture";
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
        const int covered = volumePixels(before, before.rect());
        EXPECT_GT(volumePixels(stopped, stopped.rect()), covered + covered / 50)
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

    // The upper x clip's handle dragged to the middle cuts away the volume's +x half,
    // which lies on the left of the view at the start.
    QSlider* xslider = slider("xslider");
    pointerDrag(Qt::LeftButton, handleAt(xslider, 100), handleAt(xslider, 50));
    const QImage cut = grabStill(QStringLiteral("reset-x-clip"));
    m_window->grab().save(artefactPath(QStringLiteral("window-with-clip-sliders")));
    const QRect upperXSide(0, 0, start.width() / 2 - 2, start.height());
    ASSERT_GT(volumePixels(start, upperXSide), 200);
    EXPECT_LT(volumePixels(cut, upperXSide), volumePixels(start, upperXSide) / 2);

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

// The two lookups are one choice: choosing one again keeps it, and the menu shows the
// renderer's. Maximum intensity projection from the menu redraws the volume and is the one
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
    action("actionClutDefault")->trigger();
    EXPECT_FALSE(action("actionClutBW")->isChecked());

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
    EXPECT_LT(
        std::abs(volumePixels(warmMaximum, warmMaximum.rect()) - volumePixels(composite, composite.rect())),
        volumePixels(composite, composite.rect()) / 10);
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

} // namespace
