#include "AppDelegate.h"
#include "ImageMetrics.h"
#include "QVMTKView.h"
#include "WindowController.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QTest>
#include <array>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

namespace {

// Small, so that llvmpipe draws the built-in 512 × 512 × 463 volume quickly.
constexpr QSize kWindowSize(320, 240);
// Generous: the first frame waits for the volume upload on a loaded machine.
constexpr int kTimeoutMs = 30000;
// A pixel is background when it is within this distance of the clear colour.
constexpr int kBackgroundTolerance = 8;

bool isBackground(QRgb pixel) {
    return qRed(pixel) <= kBackgroundTolerance && qGreen(pixel) <= kBackgroundTolerance &&
           qBlue(pixel) <= kBackgroundTolerance;
}

int volumePixels(const QImage& image, const QRect& area) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            count += isBackground(image.pixel(x, y)) ? 0 : 1;
        }
    }
    return count;
}

// The whole viewer window, from MainWindow.ui, drawing the built-in volume on the
// system's OpenGL (Mesa llvmpipe under Xvfb).
class AppWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_window = std::make_unique<WindowController>(&m_appDelegate);
        m_window->resize(kWindowSize);
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
        m_view = m_window->view();
        ASSERT_TRUE(waitForFrames(2));
    }

    bool waitForFrames(int frames) {
        QSignalSpy swapped(m_view, &QOpenGLWidget::frameSwapped);
        return QTest::qWaitFor([&] { return swapped.count() >= frames; }, kTimeoutMs);
    }

    static QString artefactPath(const QString& name) {
        const QDir artefacts(QCoreApplication::applicationDirPath() + QStringLiteral("/../test-artifacts"));
        artefacts.mkpath(QStringLiteral("."));
        return artefacts.filePath(name + QStringLiteral(".png"));
    }

    // The view's current picture, kept as a test artefact.
    QImage grab(const QString& name) {
        const QImage image = m_view->grabFramebuffer();
        image.save(artefactPath(name));
        return image;
    }

    // The whole window with its controls, kept as a test artefact.
    void grabWindow(const QString& name) { m_window->grab().save(artefactPath(name)); }

    void send(QEvent::Type type, QPointF position, Qt::MouseButton button, Qt::MouseButtons buttons) {
        QMouseEvent event(type, position, m_view->mapToGlobal(position), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(m_view, &event);
    }

    void drag(Qt::MouseButton button, QPointF movement) {
        const QPointF start(m_view->width() / 2.0, m_view->height() / 2.0);
        send(QEvent::MouseButtonPress, start, button, button);
        send(QEvent::MouseMove, start + movement, Qt::NoButton, button);
        send(QEvent::MouseButtonRelease, start + movement, button, Qt::NoButton);
    }

    // A left click stops whatever turning or windowing the last drags left going.
    void stopDrags() { drag(Qt::LeftButton, {0, 0}); }

    QSlider* slider(const char* name) const {
        return m_window->findChild<QSlider*>(QString::fromLatin1(name));
    }
    QLabel* label(const char* name) const { return m_window->findChild<QLabel*>(QString::fromLatin1(name)); }
    void trigger(const char* action) const {
        m_window->findChild<QAction*>(QString::fromLatin1(action))->trigger();
    }

    AppDelegate m_appDelegate;
    std::unique_ptr<WindowController> m_window;
    QVMTKView* m_view = nullptr;
};

TEST_F(AppWindowTest, ShowsTheBuiltInVolumeInTheMiddleOfTheView) {
    const QImage image = grab(QStringLiteral("startup"));
    ASSERT_EQ(image.size(), QSize(m_view->width(), m_view->height()) * m_view->devicePixelRatio());
    const QPoint centre(image.width() / 2, image.height() / 2);
    EXPECT_GT(volumePixels(image, QRect(centre - QPoint(4, 4), QSize(9, 9))), 70);
    for (const QPoint corner : {QPoint(0, 0), QPoint(image.width() - 1, 0), QPoint(0, image.height() - 1),
                                QPoint(image.width() - 1, image.height() - 1)}) {
        EXPECT_TRUE(isBackground(image.pixel(corner))) << corner.x() << "," << corner.y();
    }
    EXPECT_EQ(label("wwLabel")->text(), QStringLiteral("WW: 1384"));
    EXPECT_EQ(label("wlLabel")->text(), QStringLiteral("WL: 738"));
    EXPECT_EQ(m_window->statusText(), QStringLiteral("512 × 512 × 463 · 0.625 × 0.625 × 1.0 mm"));
}

TEST_F(AppWindowTest, RightDragChangesTheWindowShownInTheLabels) {
    drag(Qt::RightButton, {10, 6});
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return label("wwLabel")->text() != QStringLiteral("WW: 1384"); }, kTimeoutMs));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return label("wlLabel")->text() != QStringLiteral("WL: 738"); }, kTimeoutMs));
    EXPECT_TRUE(label("wwLabel")->text().startsWith(QStringLiteral("WW: ")));
    EXPECT_TRUE(label("wlLabel")->text().startsWith(QStringLiteral("WL: ")));
    stopDrags();
    ASSERT_TRUE(waitForFrames(1));
    const QString stopped = label("wwLabel")->text();
    ASSERT_TRUE(waitForFrames(2));
    EXPECT_EQ(label("wwLabel")->text(), stopped);
}

TEST_F(AppWindowTest, LeftDragTurnsTheVolume) {
    const QImage before = grab(QStringLiteral("before-left-drag"));
    drag(Qt::LeftButton, {12, 0});
    ASSERT_TRUE(waitForFrames(3));
    stopDrags();
    const QImage after = grab(QStringLiteral("after-left-drag"));
    EXPECT_GT(imagemetrics::changedPixels(before, after), 200);
}

TEST_F(AppWindowTest, FirstClickIntoAnInactiveWindowOnlyActivatesIt) {
    drag(Qt::LeftButton, {12, 0});
    ASSERT_EQ(m_view->deltaX(), 12);
    QWidget other;
    other.resize(100, 100);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    ASSERT_FALSE(m_window->isActiveWindow());

    const QPointF inside(10, 10);
    send(QEvent::MouseButtonPress, inside, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, inside, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(m_view->deltaX(), 12);
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));

    send(QEvent::MouseButtonPress, inside, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, inside, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(m_view->deltaX(), 0);
}

// At the start the camera sits at z = -2 and looks toward +z with y up, so the
// volume's +x side (the part an upper x clip removes) lies on the left of the view.
TEST_F(AppWindowTest, XTopSliderAtHalfCutsAwayTheVolumesUpperXHalf) {
    const QImage whole = grab(QStringLiteral("before-x-clip"));
    trigger("actionIntercept");
    slider("xslider")->setValue(50);
    ASSERT_TRUE(waitForFrames(2));
    const QImage cut = grab(QStringLiteral("x-clip-at-half"));
    const int centreX = whole.width() / 2;
    const QRect upperXSide(0, 0, centreX - 2, whole.height());
    const QRect lowerXSide(centreX + 2, 0, whole.width() - centreX - 2, whole.height());
    ASSERT_GT(volumePixels(whole, upperXSide), 200);
    EXPECT_LT(volumePixels(cut, upperXSide), volumePixels(whole, upperXSide) / 10);
    EXPECT_GT(volumePixels(cut, lowerXSide), volumePixels(whole, lowerXSide) / 2);
    slider("xslider")->setValue(100);
    ASSERT_TRUE(waitForFrames(2));
    EXPECT_GT(volumePixels(grab(QStringLiteral("x-clip-reset")), upperXSide),
              volumePixels(whole, upperXSide) / 2);
}

TEST_F(AppWindowTest, BlackAndWhiteMakesTheVolumeGrey) {
    auto colourSpread = [](const QImage& image) {
        int spread = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb p = image.pixel(x, y);
                spread = std::max({spread, std::abs(qRed(p) - qGreen(p)), std::abs(qGreen(p) - qBlue(p)),
                                   std::abs(qRed(p) - qBlue(p))});
            }
        }
        return spread;
    };
    const QImage colour = grab(QStringLiteral("default-lookup"));
    ASSERT_GT(colourSpread(colour), 40);
    trigger("actionClutBW");
    ASSERT_TRUE(waitForFrames(2));
    const QImage grey = grab(QStringLiteral("black-and-white-lookup"));
    EXPECT_GT(volumePixels(grey, grey.rect()), 200);
    EXPECT_LE(colourSpread(grey), 2);
}

TEST_F(AppWindowTest, InterceptCommandShowsThenHidesTheSixClipSliders) {
    constexpr std::array kClipSliders{"xslider",    "xbtmslider", "yslider",
                                      "ybtmslider", "zslider",    "zbtmslider"};
    for (const char* name : kClipSliders) {
        EXPECT_FALSE(slider(name)->isVisible()) << name;
    }
    trigger("actionIntercept");
    for (const char* name : kClipSliders) {
        EXPECT_TRUE(slider(name)->isVisible()) << name;
    }
    grabWindow(QStringLiteral("window-with-clip-sliders"));
    trigger("actionIntercept");
    for (const char* name : kClipSliders) {
        EXPECT_FALSE(slider(name)->isVisible()) << name;
    }
    EXPECT_FALSE(slider("zrotslider")->isVisible());
}

// The CT windows are in Hounsfield units; the built-in sample stores HU + 1024.
TEST_F(AppWindowTest, WindowPresetsFromTheMenuAndTheirShortcutsSetTheLabels) {
    const auto shown = [&] { return label("wwLabel")->text() + QLatin1Char(' ') + label("wlLabel")->text(); };
    const auto width = [&] { return label("wwLabel")->text().mid(4).toLongLong(); };
    trigger("actionWindowBone");
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
    trigger("actionWindowStartup");
    ASSERT_TRUE(waitForFrames(1));
    EXPECT_EQ(shown(), QStringLiteral("WW: 1384 WL: 738"));
}

TEST_F(AppWindowTest, MaximumIntensityProjectionFromTheMenuRedrawsTheVolume) {
    const QImage composite = grab(QStringLiteral("composite"));
    trigger("actionRenderMip");
    ASSERT_TRUE(waitForFrames(2));
    const QImage maximum = grab(QStringLiteral("maximum-intensity-projection"));
    EXPECT_TRUE(m_window->findChild<QAction*>(QStringLiteral("actionRenderMip"))->isChecked());
    EXPECT_FALSE(m_window->findChild<QAction*>(QStringLiteral("actionRenderComposite"))->isChecked());
    EXPECT_GT(imagemetrics::changedPixels(composite, maximum), 1000);
}

} // namespace
