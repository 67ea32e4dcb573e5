#include "render/frame/FrameCache.h"

#include "FakeMTKView.h"
#include "RecordingGpu.h"

#include <gtest/gtest.h>

namespace {

using Action = AdaptiveQuality::Action;
using std::chrono::milliseconds;

// While bricks stream in and nothing else changes, a still view keeps its full picture for
// up to a quarter second before it draws what arrived; the frame that completes the view,
// a change of anything else and a view with adaptation off draw at once.
TEST(FrameCache, WhileBricksStreamInAStillViewIsRedrawnAtMostFourTimesASecondAndSlowPicturesLess) {
    auto device = std::make_shared<recording::Device>();
    FakeMTKView view(device);
    gpu::CommandQueue queue(device);
    FrameCache frames(device);
    const AdaptiveQuality::Clock::time_point start{};
    FrameCache::Inputs inputs;
    inputs.width = view.pass.width;
    inputs.height = view.pass.height;

    struct Step {
        int atMs;
        bool moreBricks;  // bricks arrived since the last frame
        bool cameraMoved; // and the camera moved
        bool streaming;   // bricks the view needs are still on their way
        bool adaptive;
        Action expected;
    };
    const Step steps[] = {
        {0, false, false, true, true, Action::DrawFull}, // the first picture, drawn in 10 ms
        {10, true, false, true, true, Action::Reuse},    // within the quarter second
        {240, true, false, true, true, Action::Reuse},
        {260, true, false, true, true, Action::DrawFull}, // a quarter second on; drawn in 300 ms
        {560, true, false, true, true, Action::Reuse},
        {1400, true, false, true, true, Action::Reuse}, // within four times as long
        {1470, true, false, true, true, Action::DrawFull},
        {1480, true, false, false, true, Action::DrawFull}, // the view is complete
        {1490, true, true, true, true, Action::DrawFull},   // the camera moved too
        {1500, true, false, true, true, Action::Reuse},
        {1510, true, false, true, false, Action::DrawFull}, // adaptation off
    };
    for (const Step& step : steps) {
        inputs.bricks += step.moreBricks ? 1 : 0;
        inputs.uniforms.cameraPosition.x += step.cameraMoved ? 1.0f : 0.0f;
        frames.setAdaptiveQuality(step.adaptive);
        const Action action = frames.decide(inputs, false, step.streaming, start + milliseconds(step.atMs));
        EXPECT_EQ(action, step.expected) << "at " << step.atMs << " ms";
        gpu::CommandBuffer* buffer = queue.commandBuffer();
        ASSERT_NE(buffer, nullptr);
        frames.encode(*buffer, view.pass, action, inputs,
                      [](gpu::CommandBuffer&, const gpu::RenderPassDescriptor&) {});
        buffer->commit();
    }
}

} // namespace
