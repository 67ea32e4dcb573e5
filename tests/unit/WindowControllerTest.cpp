#include "WindowController.h"

#include "AppDelegate.h"
#include "QVMTKView.h"
#include "QVRenderer.h"
#include "RecordingGpu.h"

#include <QAction>
#include <QLabel>
#include <QSlider>
#include <array>
#include <gtest/gtest.h>
#include <memory>

namespace {

// The window from MainWindow.ui, loaded as the application loads it, drawing
// through a recording GPU device. It is not shown: the offscreen platform has no
// OpenGL to compose the view with.
class WindowControllerTest : public ::testing::Test {
  protected:
    WindowControllerTest() {
        m_device->options().textureError = "not needed by the window tests";
        m_window = std::make_unique<WindowController>(&m_appDelegate, [this] { return m_device; });
    }

    QSlider* slider(const char* name) const {
        return m_window->findChild<QSlider*>(QString::fromLatin1(name));
    }
    QAction* action(const char* name) const {
        return m_window->findChild<QAction*>(QString::fromLatin1(name));
    }
    QVRenderer& renderer() const { return *m_window->contentViewController()->renderer(); }

    std::shared_ptr<recording::Device> m_device = std::make_shared<recording::Device>();
    AppDelegate m_appDelegate;
    std::unique_ptr<WindowController> m_window;
};

constexpr std::array kClipSliders{"xslider", "xbtmslider", "yslider", "ybtmslider", "zslider", "zbtmslider"};

TEST_F(WindowControllerTest, LayoutConnectsEveryOutletOfTheViewController) {
    const ViewController& vc = *m_window->contentViewController();
    EXPECT_EQ(vc.view(), m_window->view());
    EXPECT_EQ(m_window->centralWidget(), m_window->view());
    EXPECT_EQ(vc.zrotslider, slider("zrotslider"));
    EXPECT_EQ(vc.xslider, slider("xslider"));
    EXPECT_EQ(vc.yslider, slider("yslider"));
    EXPECT_EQ(vc.zslider, slider("zslider"));
    EXPECT_EQ(vc.xbtmslider, slider("xbtmslider"));
    EXPECT_EQ(vc.ybtmslider, slider("ybtmslider"));
    EXPECT_EQ(vc.zbtmslider, slider("zbtmslider"));
    EXPECT_EQ(vc.wwLabel, m_window->findChild<QLabel*>(QStringLiteral("wwLabel")));
    EXPECT_EQ(vc.wlLabel, m_window->findChild<QLabel*>(QStringLiteral("wlLabel")));
    for (QObject* outlet :
         std::initializer_list<QObject*>{vc.zrotslider, vc.xslider, vc.wwLabel, vc.wlLabel}) {
        EXPECT_NE(outlet, nullptr);
    }
    EXPECT_EQ(vc.wwLabel->text(), QStringLiteral("WW"));
    EXPECT_EQ(vc.wlLabel->text(), QStringLiteral("WL"));
}

TEST_F(WindowControllerTest, SlidersStartHiddenAtTheirResetPositions) {
    struct Expected {
        const char* name;
        int minimum, maximum, value;
    };
    for (const Expected& e : {Expected{"xslider", 0, 100, 100}, Expected{"yslider", 0, 100, 100},
                              Expected{"zslider", 0, 100, 100}, Expected{"xbtmslider", 0, 100, 50},
                              Expected{"ybtmslider", 0, 100, 50}, Expected{"zbtmslider", 0, 100, 50},
                              Expected{"zrotslider", -100, 100, 0}}) {
        const QSlider* s = slider(e.name);
        ASSERT_NE(s, nullptr) << e.name;
        EXPECT_EQ(s->minimum(), e.minimum) << e.name;
        EXPECT_EQ(s->maximum(), e.maximum) << e.name;
        EXPECT_EQ(s->value(), e.value) << e.name;
        EXPECT_TRUE(s->isHidden()) << e.name;
    }
}

TEST_F(WindowControllerTest, MenuItemsRunTheWindowCommandsAndShowTheirState) {
    constexpr std::array kInterceptLabels{"xsliderLabel", "ysliderLabel", "zsliderLabel", "uppersliderLabel",
                                          "lowersliderLabel"};
    const auto label = [this](const char* name) {
        return m_window->findChild<QLabel*>(QString::fromLatin1(name));
    };
    action("actionIntercept")->trigger();
    for (const char* name : kClipSliders) {
        EXPECT_FALSE(slider(name)->isHidden()) << name;
    }
    for (const char* name : kInterceptLabels) {
        EXPECT_FALSE(label(name)->isHidden()) << name;
    }
    EXPECT_TRUE(action("actionIntercept")->isChecked());
    EXPECT_TRUE(slider("zrotslider")->isHidden());
    EXPECT_TRUE(label("zrotsliderLabel")->isHidden());
    action("actionZrot")->trigger();
    EXPECT_FALSE(slider("zrotslider")->isHidden());
    EXPECT_FALSE(label("zrotsliderLabel")->isHidden());
    EXPECT_TRUE(action("actionZrot")->isChecked());
    action("actionIntercept")->trigger();
    action("actionZrot")->trigger();
    EXPECT_TRUE(slider("xslider")->isHidden());
    EXPECT_TRUE(label("xsliderLabel")->isHidden());
    EXPECT_TRUE(slider("zrotslider")->isHidden());
    EXPECT_FALSE(action("actionIntercept")->isChecked());
    EXPECT_FALSE(action("actionZrot")->isChecked());

    // The two lookups are one exclusive choice, and the menu shows the renderer's.
    EXPECT_TRUE(action("actionClutDefault")->isChecked());
    action("actionClutBW")->trigger();
    EXPECT_EQ(renderer().clutmode(), 1);
    EXPECT_TRUE(action("actionClutBW")->isChecked());
    EXPECT_FALSE(action("actionClutDefault")->isChecked());
    action("actionClutBW")->trigger();
    EXPECT_TRUE(action("actionClutBW")->isChecked());
    action("actionClutDefault")->trigger();
    EXPECT_EQ(renderer().clutmode(), 0);
    EXPECT_FALSE(action("actionClutBW")->isChecked());
}

TEST_F(WindowControllerTest, LookupCommandsSelectTheirModeWhateverItWas) {
    struct Case {
        std::int64_t before;
        void (WindowController::*command)();
        std::int64_t after;
    };
    for (const Case& c :
         {Case{0, &WindowController::clutBW, 1}, Case{1, &WindowController::clutBW, 1},
          Case{1, &WindowController::clutDefault, 0}, Case{0, &WindowController::clutDefault, 0},
          Case{7, &WindowController::clutBW, 1}, Case{7, &WindowController::clutDefault, 0},
          Case{-1, &WindowController::clutDefault, 0}}) {
        renderer().setClutmode(c.before);
        (m_window.get()->*c.command)();
        EXPECT_EQ(renderer().clutmode(), c.after) << "from " << c.before;
    }
}

TEST_F(WindowControllerTest, WindowIsGreyAndStatusLineDescribesTheBuiltInVolume) {
    EXPECT_EQ(m_window->size(), QSize(1024, 768));
    EXPECT_EQ(m_window->palette().color(QPalette::Window), QColor::fromRgbF(0.4f, 0.4f, 0.4f, 0.9f));
    EXPECT_EQ(m_window->statusText(), QStringLiteral("512 × 512 × 463 · 0.625 × 0.625 × 1.0 mm"));
}

TEST(AppDelegateTest, SupportsSecureRestorableStateForAnyApplication) {
    const AppDelegate delegate;
    const QObject someObject;
    EXPECT_TRUE(delegate.applicationSupportsSecureRestorableState(nullptr));
    EXPECT_TRUE(delegate.applicationSupportsSecureRestorableState(&someObject));
}

} // namespace
