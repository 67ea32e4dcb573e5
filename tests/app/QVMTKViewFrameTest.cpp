#include "ui/view/QVMTKView.h"

#include <QImage>
#include <QPainter>
#include <QSurfaceFormat>
#include <QTest>
#include <gtest/gtest.h>
#include <vector>

namespace {

// Frames on llvmpipe come quickly at this size; the bound only keeps a broken view from hanging the run.
constexpr int kTimeoutMs = 10000;

// Records what the view offers its delegate in each frame.
class RecordingDelegate : public MTKViewDelegate {
  public:
    struct Frame {
        bool hadPass = false;
        gpu::RenderPassDescriptor pass;
        bool hadDrawable = false;
    };

    void mtkView_drawableSizeWillChange(MTKView&, DrawableSize) override {}

    void drawInMTKView(MTKView& view) override {
        if (paintedFramesLeft > 0) {
            // Stands in for a renderer that draws and presents: fills the frame red.
            --paintedFramesLeft;
            QPainter(widget).fillRect(widget->rect(), Qt::red);
            view.currentDrawable()->present();
        }
        Frame frame;
        if (const gpu::RenderPassDescriptor* pass = view.currentRenderPassDescriptor()) {
            frame.hadPass = true;
            frame.pass = *pass;
        }
        frame.hadDrawable = view.currentDrawable() != nullptr;
        frames.push_back(frame);
    }

    QWidget* widget = nullptr;
    int paintedFramesLeft = 0;
    std::vector<Frame> frames;
};

class QVMTKViewFrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // With an alpha channel the grab tells an opaque clear colour from a
        // framebuffer that Qt merely invalidated (transparent black on llvmpipe).
        QSurfaceFormat format = m_view.format();
        format.setAlphaBufferSize(8);
        m_view.setFormat(format);
        m_delegate.widget = &m_view;
        m_view.setDelegate(&m_delegate);
        m_view.resize(160, 120);
        m_view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_view));
    }
    void TearDown() override { m_view.setDelegate(nullptr); }

    bool waitForCalls(std::size_t count) {
        const std::size_t until = m_delegate.frames.size() + count;
        return QTest::qWaitFor([&] { return m_delegate.frames.size() >= until; }, kTimeoutMs);
    }

    RecordingDelegate m_delegate;
    QVMTKView m_view;
};

TEST_F(QVMTKViewFrameTest, OffersThePassAndDrawableOnlyDuringAFrame) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_delegate.frames.empty(); }, kTimeoutMs));
    const DrawableSize expected = m_view.drawableSize();
    const RecordingDelegate::Frame& frame = m_delegate.frames.front();
    ASSERT_TRUE(frame.hadPass);
    EXPECT_TRUE(frame.hadDrawable);
    EXPECT_EQ(frame.pass.width, static_cast<std::uint32_t>(expected.width));
    EXPECT_EQ(frame.pass.height, static_cast<std::uint32_t>(expected.height));
    EXPECT_TRUE(frame.pass.clear);
    EXPECT_EQ(frame.pass.nativeTarget, m_view.defaultFramebufferObject());
    EXPECT_EQ(m_view.currentRenderPassDescriptor(), nullptr);
    EXPECT_EQ(m_view.currentDrawable(), nullptr);
}

TEST_F(QVMTKViewFrameTest, AFrameNobodyPresentsShowsTheClearColour) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_delegate.frames.empty(); }, kTimeoutMs));
    m_delegate.paintedFramesLeft = 1;
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_delegate.paintedFramesLeft == 0; }, kTimeoutMs));
    // The frames after it took the pass and presented nothing.
    ASSERT_TRUE(waitForCalls(2));
    const QImage image = m_view.grabFramebuffer();
    ASSERT_FALSE(image.isNull());
    const gpu::ClearColor clear = QVMTKView::clearColor();
    const QColor expected = QColor::fromRgbF(clear.red, clear.green, clear.blue, clear.alpha);
    for (const QPoint p : {QPoint(0, 0), QPoint(image.width() / 2, image.height() / 2),
                           QPoint(image.width() - 1, image.height() - 1)}) {
        EXPECT_EQ(image.pixelColor(p).rgba(), expected.rgba()) << p.x() << "," << p.y();
    }
}

} // namespace
