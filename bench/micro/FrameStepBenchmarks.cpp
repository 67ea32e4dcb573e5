// The renderer's frame step on the real OpenGL backend: its CPU side alone (a view that
// offers no render pass, so the frame commits an empty command buffer), whole frames of
// the built-in sample drawn offscreen and waited for, and the import of the sample on a
// pool thread (upload in slabs and brick grid, through the worker's own context).

#include "OffscreenMTKView.h"
#include "render/QVRenderer.h"
#include "volume/core/VolumeData.h"
#include "volume/core/VolumeRecord.h"

#include <QThreadPool>
#include <benchmark/benchmark.h>

namespace {

// 2° of camera turn per frame, so that every frame sees a new view.
constexpr std::int64_t kOrbitDeltaX = 7;
constexpr double kDrawableSide = 512.0;

// A view with a drawable size but nothing to draw into: DrawA commits empty buffers.
class NoPassView : public MTKView {
  public:
    explicit NoPassView(std::shared_ptr<gpu::Device> device) : m_device(std::move(device)) {}
    std::shared_ptr<gpu::Device> device() const override { return m_device; }
    gpu::PixelFormat colorPixelFormat() const override { return gpu::PixelFormat::RGBA8Unorm; }
    DrawableSize drawableSize() const override { return {kDrawableSide, kDrawableSide}; }
    const gpu::RenderPassDescriptor* currentRenderPassDescriptor() override { return nullptr; }
    gpu::Drawable* currentDrawable() override { return nullptr; }
    std::int64_t deltaX() const override { return kOrbitDeltaX; }
    std::int64_t deltaY() const override { return 0; }
    std::int64_t zoom() const override { return 0; }
    std::int64_t rdeltaX() const override { return 0; }
    std::int64_t rdeltaY() const override { return 0; }

  private:
    std::shared_ptr<gpu::Device> m_device;
};

// The orbit swings back and forth so the turn angle never reaches its bound.
void swingOrbit(QVRenderer& renderer, OffscreenMTKView& view) {
    constexpr float kSwing = 1.0f;
    if (view.deltaX() == 0) {
        return;
    }
    if (renderer.yrot() < -kSwing) {
        view.setDeltaX(-kOrbitDeltaX);
    } else if (renderer.yrot() > kSwing) {
        view.setDeltaX(kOrbitDeltaX);
    }
}

void BM_FrameStepCpu(benchmark::State& state) {
    std::shared_ptr<gpu::Device> device = gpu::createSystemDefaultDevice();
    if (!device) {
        state.SkipWithError("no OpenGL 4.1 core device (run under Xvfb)");
        return;
    }
    NoPassView view(device);
    QVRenderer renderer(view);
    renderer.mtkView_drawableSizeWillChange(view, view.drawableSize());
    for (auto _ : state) {
        renderer.drawInMTKView(view);
        benchmark::DoNotOptimize(renderer.uniforms());
    }
}
BENCHMARK(BM_FrameStepCpu)->Unit(benchmark::kMicrosecond);

void BM_FrameOffscreen(benchmark::State& state) {
    std::shared_ptr<gpu::Device> device = gpu::createSystemDefaultDevice();
    if (!device) {
        state.SkipWithError("no OpenGL 4.1 core device (run under Xvfb)");
        return;
    }
    const int side = static_cast<int>(state.range(0));
    QString error;
    std::unique_ptr<OffscreenMTKView> view = OffscreenMTKView::create(device, {side, side}, &error);
    if (!view) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    QVRenderer renderer(*view);
    renderer.mtkView_drawableSizeWillChange(*view, view->drawableSize());
    const bool turning = state.range(1) != 0;
    // Turning: every frame in full, as the bench measures them. Still: the kept image again.
    renderer.setAdaptiveQuality(false);
    view->setDeltaX(turning ? kOrbitDeltaX : 0);
    view->draw(renderer); // the first frame compiles the shaders
    for (auto _ : state) {
        swingOrbit(renderer, *view);
        view->draw(renderer);
    }
}
BENCHMARK(BM_FrameOffscreen)
    ->ArgNames({"side", "turning"})
    ->Args({256, 1})
    ->Args({512, 1})
    ->Args({512, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ImportSampleOnWorker(benchmark::State& state) {
    std::shared_ptr<gpu::Device> device = gpu::createSystemDefaultDevice();
    const std::unique_ptr<VolumeData> sample = VolumeData::initWithBundle();
    if (!device || !sample || sample->data().isNull()) {
        state.SkipWithError("no OpenGL device (run under Xvfb) or no built-in sample");
        return;
    }
    NoPassView view(device);
    QVRenderer renderer(view);
    VolumeRecord record;
    record.width = static_cast<std::uint32_t>(sample->width());
    record.height = static_cast<std::uint32_t>(sample->height());
    record.depth = static_cast<std::uint32_t>(sample->depth());
    record.cellspaceX = sample->cellspaceX();
    record.cellspaceY = sample->cellspaceY();
    record.cellspaceZ = sample->cellspaceZ();
    record.data = sample->data();
    for (auto _ : state) {
        bool accepted = false;
        QThreadPool::globalInstance()->start(
            [&] { accepted = renderer.updateVolumeDataWithNRRDfmt(&record); });
        QThreadPool::globalInstance()->waitForDone();
        if (!accepted) {
            state.SkipWithError("the import was refused");
            return;
        }
        renderer.drawInMTKView(view); // releases the replaced texture, as the next frame does
    }
}
BENCHMARK(BM_ImportSampleOnWorker)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
