// The renderer's frame step on the real OpenGL backend: its CPU side alone (a view that
// offers no render pass, so the frame commits an empty command buffer), and whole frames
// of the built-in sample drawn offscreen and waited for.

#include "QVRenderer.h"
#include "gl/OffscreenMTKView.h"

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
void swingOrbit(QVRenderer& renderer, gl::OffscreenMTKView& view) {
    constexpr float kSwing = 1.0f;
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
    std::unique_ptr<gl::OffscreenMTKView> view = gl::OffscreenMTKView::create(device, {side, side}, &error);
    if (!view) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    QVRenderer renderer(*view);
    renderer.mtkView_drawableSizeWillChange(*view, view->drawableSize());
    view->setDeltaX(kOrbitDeltaX);
    view->draw(renderer); // the first frame compiles the shaders
    for (auto _ : state) {
        swingOrbit(renderer, *view);
        view->draw(renderer);
    }
}
BENCHMARK(BM_FrameOffscreen)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
