#include "ui/view/QVMTKView.h"

#include <QImage>
#include <QPainter>
#include <QSurfaceFormat>
#include <QTest>
#include <gtest/gtest.h>
#include <optional>

namespace {

// Frames on llvmpipe come quickly at this size; the bound only keeps a broken view from hanging the run.
constexpr int kTimeoutMs = 10000;

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
        return QTest::qWaitFor([&] { return m_delegate.frames >= until; }, kTimeoutMs);
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_delegate.paintedFramesLeft == 0; }, kTimeoutMs));
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

} // namespace
