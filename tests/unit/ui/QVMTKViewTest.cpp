#include "ui/view/QVMTKView.h"

#include "RecordingGpu.h"
#include "ui/view/ViewController.h"

#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <QWheelEvent>
#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <memory>

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

} // namespace
