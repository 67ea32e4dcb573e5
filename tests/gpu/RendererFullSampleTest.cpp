#include "Bundle.h"
#include "GpuTestBed.h"
#include "ImageMetrics.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {

using namespace imagemetrics;

constexpr QSize kViewSize{512, 512};
// Far beyond what streaming the sample's bricks takes even on a loaded machine.
constexpr qint64 kSettleMs = 60000;

// The viewer's start-up path: the renderer loads the built-in 512 x 512 x 463 sample from
// the Resources folder the build writes beside the executables, at the start-up window.
TEST(RendererFullSample, BuiltInSampleRendersAtFullSize) {
    const QString resource =
        Bundle::mainBundle().pathForResource(QStringLiteral("512x512x463-16U"), QStringLiteral("raw"));
    ASSERT_TRUE(Bundle::mainBundle().URLForResource(QStringLiteral("512x512x463-16U"), QStringLiteral("raw")))
        << "missing " << resource.toStdString() << ": build the default target first";

    std::shared_ptr<gpu::Device> device = gpu::createSystemDefaultDevice();
    ASSERT_TRUE(device);
    QString error;
    std::unique_ptr<OffscreenMTKView> view = OffscreenMTKView::create(device, kViewSize, &error);
    ASSERT_TRUE(view) << error.toStdString();
    const QColor background = GpuTestBed::kBackground;
    view->setClearColor({background.redF(), background.greenF(), background.blueF(), 1.0});

    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<QVRenderer> renderer = QVRenderer::initWithMetalKitView(*view);
    const qint64 creationMs = timer.restart();
    ASSERT_TRUE(renderer->brickPool());
    renderer->mtkView_drawableSizeWillChange(*view, view->drawableSize());

    view->draw(*renderer);
    const qint64 firstFrameMs = timer.restart();
    int frames = 1;
    while (!renderer->brickPool()->complete() && timer.elapsed() < kSettleMs) {
        view->draw(*renderer);
        ++frames;
    }
    ASSERT_TRUE(renderer->brickPool()->complete());
    EXPECT_EQ(renderer->brickPool()->level(), 0u);
    timer.restart();
    view->draw(*renderer);
    ++frames;
    const qint64 frameMs = timer.elapsed();
    RecordProperty("creation_ms", static_cast<int>(creationMs));
    RecordProperty("frame_ms", static_cast<int>(frameMs));
    std::printf("512 x 512 x 463 sample at 512 x 512: creation with upload %lld ms, first frame %lld ms, "
                "next frame %lld ms\n",
                static_cast<long long>(creationMs), static_cast<long long>(firstFrameMs),
                static_cast<long long>(frameMs));

    const QImage image = view->grabImage();
    EXPECT_TRUE(isForeground(image.pixel(256, 256), background));
    EXPECT_EQ(image.pixel(0, 0), background.rgb());
    // Seen from below, the neck's cut and the head behind it: a few percent of the view.
    EXPECT_GT(foregroundCount(image, background), 512 * 512 / 50);
    EXPECT_EQ(view->presentedFrames(), frames);
}

} // namespace
