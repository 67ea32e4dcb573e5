#include "ui/view/ViewController.h"

#include "RecordingGpu.h"
#include "ui/view/QVMTKView.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

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
