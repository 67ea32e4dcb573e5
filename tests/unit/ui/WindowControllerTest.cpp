#include "ui/window/WindowController.h"

#include "RecordingGpu.h"
#include "render/QVRenderer.h"
#include "ui/view/QVMTKView.h"

#include <QAction>
#include <QLabel>
#include <QSlider>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

// The window from MainWindow.ui, loaded as the application loads it, drawing through a
// recording GPU device. It is not shown: the offscreen platform has no OpenGL.
class WindowControllerTest : public ::testing::Test {
  protected:
    WindowControllerTest() {
        // The built-in volume's upload would only copy it here.
        m_device->options().textureError = "not needed by the window tests";
        m_window = std::make_unique<WindowController>(nullptr, [this] { return m_device; });
    }

    bool hidden(const char* name) const {
        return m_window->findChild<QWidget*>(QString::fromLatin1(name))->isHidden();
    }
    QAction* action(const char* name) const {
        return m_window->findChild<QAction*>(QString::fromLatin1(name));
    }
    std::int64_t clutmode() const { return m_window->contentViewController()->renderer()->clutmode(); }

    std::shared_ptr<recording::Device> m_device = std::make_shared<recording::Device>();
    std::unique_ptr<WindowController> m_window;
};

// Each menu toggle shows and hides its own controls and no others, and its check follows.
TEST_F(WindowControllerTest, MenuTogglesShowTheirSlidersAndLabelsAndTheChecksFollow) {
    const struct {
        const char* action;
        std::vector<const char*> controls;
    } toggles[] = {{"actionIntercept",
                    {"xslider", "xbtmslider", "yslider", "ybtmslider", "zslider", "zbtmslider",
                     "xsliderLabel", "ysliderLabel", "zsliderLabel", "uppersliderLabel", "lowersliderLabel"}},
                   {"actionZrot", {"zrotslider", "zrotsliderLabel"}}};
    for (const auto& toggle : toggles) {
        for (const bool shown : {true, false}) {
            action(toggle.action)->trigger();
            EXPECT_EQ(action(toggle.action)->isChecked(), shown) << toggle.action;
            for (const auto& group : toggles)
                for (const char* name : group.controls)
                    EXPECT_EQ(hidden(name), !(shown && &group == &toggle)) << toggle.action << " " << name;
        }
    }
}

// The two lookups are one exclusive choice: choosing one again keeps it, and the menu
// shows the renderer's.
TEST_F(WindowControllerTest, LookupItemsAreOneChoiceThatTheMenuShows) {
    EXPECT_TRUE(action("actionClutDefault")->isChecked());
    for (int round = 0; round < 2; ++round) {
        action("actionClutBW")->trigger();
        EXPECT_EQ(clutmode(), 1);
        EXPECT_TRUE(action("actionClutBW")->isChecked());
        EXPECT_FALSE(action("actionClutDefault")->isChecked());
    }
    action("actionClutDefault")->trigger();
    EXPECT_EQ(clutmode(), 0);
    EXPECT_FALSE(action("actionClutBW")->isChecked());
}

// The view outlives a controller that goes first: it must not call a renderer that is gone.
TEST_F(WindowControllerTest, AControllerGoingAwayUnsetsTheViewsDelegate) {
    QVMTKView view;
    {
        ViewController vc(nullptr, [this] { return m_device; });
        vc.setView(&view);
        vc.viewDidLoad();
        ASSERT_NE(view.delegate(), nullptr);
    }
    EXPECT_EQ(view.delegate(), nullptr);
}

} // namespace
