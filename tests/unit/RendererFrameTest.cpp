#include "RendererTestBed.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using Calls = std::vector<std::string>;
using namespace std::chrono_literals;

// The GPU calls of the log, without the view's reads and the observers' notifications.
Calls gpuCalls(const CallLog& log) {
    Calls calls;
    for (const std::string& call : log.calls()) {
        if (call.rfind("view.", 0) != 0 && call.rfind("notify", 0) != 0) {
            calls.push_back(call);
        }
    }
    return calls;
}

// The cube's draw into `target`, with the volume in texture#1 and its brick grid in texture#2.
Calls drawInto(const std::string& target) {
    return {
        "commandBuffer.renderCommandEncoderWithDescriptor(" + target + ")",
        "encoder.setLabel(MyRenderEncoder)",
        "encoder.setRenderPipelineState(Simple Pipeline)",
        "device.newBufferWithBytes(length=1152 options=0)",
        "encoder.setVertexBuffer(length=1152 offset=0 index=0)",
        "encoder.setVertexBytes(length=256 index=1)",
        "encoder.setVertexBytes(length=8 index=2)",
        "encoder.setFragmentBytes(length=32 index=3)",
        "encoder.setFragmentTexture(texture#1 index=0)",
        "encoder.setFragmentTexture(texture#2 index=1)",
        "encoder.drawPrimitives(type=3 start=0 count=36)",
        "encoder.endEncoding()",
    };
}

Calls copyOf(const std::string& from, const std::string& to) {
    return {"commandBuffer.blitCommandEncoder()", "blit.copyRenderTarget(" + from + " -> " + to + ")",
            "blit.endEncoding()"};
}

Calls frame(std::vector<Calls> parts) {
    Calls calls{"commandQueue.commandBuffer()", "commandBuffer.setLabel(MyCommand)"};
    for (const Calls& part : parts) {
        calls.insert(calls.end(), part.begin(), part.end());
    }
    calls.insert(calls.end(), {"commandBuffer.presentDrawable(drawable)", "commandBuffer.commit()"});
    return calls;
}

class RendererFrames : public testing::Test {
  protected:
    void SetUp() override {
        bed.create();
        const NRRDfmt ball = testvolumes::sphere(16, 1000);
        ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&ball));
        bed.frame(); // the first frame: drawn in full and kept in texture#3
        bed.log->clear();
    }

    RendererTestBed bed;
};

TEST_F(RendererFrames, AFrameWhereNothingChangedShowsTheKeptImageWithoutDrawing) {
    bed.frame();
    EXPECT_EQ(gpuCalls(*bed.log), frame({copyOf("texture#3 64x64", "64x64")}));
}

// What the image depends on is unchanged: the framebuffer it goes to does not count.
TEST_F(RendererFrames, AViewThatAlternatesFramebuffersStillGetsTheKeptImage) {
    for (const std::uint64_t target : {7u, 8u, 7u}) {
        bed.view.setRenderPassTarget(target);
        bed.log->clear();
        bed.frame();
        EXPECT_EQ(gpuCalls(*bed.log), frame({copyOf("texture#3 64x64", "64x64")}))
            << "framebuffer " << target;
    }
}

// The rule that keeps an idle window cheap: the view still shows the kept picture, so a
// frame that changes nothing encodes nothing, while the observers still hear the window.
TEST_F(RendererFrames, AFrameThatChangesNothingInAViewThatKeepsItsPictureEncodesNothing) {
    bed.view.setKeepsPresentedPicture(true);
    const std::vector<std::function<void(QVRenderer&)>> changes{
        [](QVRenderer&) {},
        [](QVRenderer& r) { r.setWw(r.ww() + 1); },
        [](QVRenderer& r) { r.setWl(r.wl() + 1); },
        [](QVRenderer& r) { r.setXcept(0.9f); },
        [](QVRenderer& r) { r.setZceptBtm(0.2f); },
        [](QVRenderer& r) { r.setClutmode(1); },
        [](QVRenderer& r) { r.setZoom(0.5f); },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        changes[i](*bed.renderer);
        bed.log->clear();
        bed.frame();
        EXPECT_EQ(bed.log->count("commandBuffer.renderCommandEncoderWithDescriptor(64x64)"), i == 0 ? 0u : 1u)
            << "change " << i;
        bed.log->clear();
        bed.frame();
        EXPECT_EQ(gpuCalls(*bed.log), Calls{}) << "after change " << i;
        EXPECT_EQ(bed.log->calls(), (Calls{"view.rdeltaX()", "notify ww", "view.rdeltaY()", "notify wl",
                                           "view.deltaY()", "view.deltaX()", "view.zoom()"}));
    }
    // The view made its framebuffer anew: the kept picture goes to it again.
    bed.view.setKeepsPresentedPicture(false);
    bed.log->clear();
    bed.frame();
    EXPECT_EQ(gpuCalls(*bed.log), frame({copyOf("texture#3 64x64", "64x64")}));
}

// Reduced frames while the hands are on the controls; the turning that goes on after they
// let go is drawn in full, and so is a still pointer once the settle time has passed.
TEST_F(RendererFrames, ReducedFramesOnlyWhileTheUserInteracts) {
    bed.view.setRenderPassSize(1024, 768);
    bed.renderer->setQualitySettle(1h);
    bed.view.setUserInteracting(true);
    bed.view.setDeltaX(5);
    const auto encodedInto = [&] {
        bed.log->clear();
        bed.frame();
        const Calls encoders = bed.log->callsStartingWith("commandBuffer.renderCommandEncoderWithDescriptor");
        return encoders.empty() ? std::string("nothing") : encoders.back();
    };
    const std::string reduced = encodedInto();
    EXPECT_NE(reduced.find("texture#"), std::string::npos) << reduced;
    EXPECT_EQ(encodedInto(), reduced);

    bed.view.setUserInteracting(false);
    EXPECT_EQ(encodedInto(), "commandBuffer.renderCommandEncoderWithDescriptor(1024x768)");
    EXPECT_EQ(encodedInto(), "commandBuffer.renderCommandEncoderWithDescriptor(1024x768)");

    // The button held, the pointer still: the reduced picture stands until the settle time.
    bed.view.setUserInteracting(true);
    EXPECT_NE(encodedInto().find("texture#"), std::string::npos);
    bed.view.setDeltaX(0);
    EXPECT_EQ(encodedInto(), "nothing");
    EXPECT_FALSE(bed.renderer->showsFullQuality());
    bed.renderer->setQualitySettle(0ms);
    EXPECT_EQ(encodedInto(), "commandBuffer.renderCommandEncoderWithDescriptor(1024x768)");
    EXPECT_TRUE(bed.renderer->showsFullQuality());
}

// The reduction follows the measured frame time: frames that come further apart than the
// target hold fewer pixels, in the drawable's proportions.
TEST_F(RendererFrames, ReducedFramesShrinkWhenTheyTakeLongerThanTheTarget) {
    bed.view.setRenderPassSize(1024, 768);
    bed.view.setUserInteracting(true);
    std::vector<std::pair<int, int>> sizes;
    for (int i = 0; i < 3; ++i) {
        bed.view.setDeltaX(5 + i);
        bed.log->clear();
        bed.frame();
        const Calls made =
            bed.log->callsStartingWith("device.newTextureWithDescriptor(pixelFormat=70 type=2");
        ASSERT_EQ(made.size(), 1u) << "frame " << i;
        int width = 0, height = 0;
        ASSERT_EQ(std::sscanf(made[0].c_str(),
                              "device.newTextureWithDescriptor(pixelFormat=70 type=2 size=%dx%d", &width,
                              &height),
                  2);
        sizes.emplace_back(width, height);
        std::this_thread::sleep_for(FrameTimeBudget::kTargetFrameTime * 3);
    }
    EXPECT_LE(sizes[0].first * sizes[0].second, FrameTimeBudget::kInitialPixels);
    for (std::size_t i = 1; i < sizes.size(); ++i) {
        EXPECT_LT(sizes[i].first, sizes[i - 1].first) << "frame " << i;
        EXPECT_NEAR(sizes[i].first * 3.0 / 4.0, sizes[i].second, 1.0) << "frame " << i;
    }
}

TEST_F(RendererFrames, WithAdaptiveQualityOffEveryChangedFrameIsDrawnInFull) {
    bed.renderer->setAdaptiveQuality(false);
    bed.view.setUserInteracting(true);
    bed.view.setDeltaX(5);
    for (int i = 0; i < 3; ++i) {
        bed.log->clear();
        bed.frame();
        EXPECT_EQ(gpuCalls(*bed.log), frame({drawInto("64x64"), copyOf("64x64", "texture#3 64x64")}));
    }
}

// An import replaces the volume: the kept image of the old one is not shown again.
TEST_F(RendererFrames, AnImportedVolumeIsDrawnNotTheKeptImage) {
    bed.renderer->setAdaptiveQuality(false);
    const NRRDfmt other = testvolumes::sphere(16, 3000);
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&other));
    bed.log->clear();
    bed.frame();
    EXPECT_EQ(bed.log->count("commandBuffer.renderCommandEncoderWithDescriptor(64x64)"), 1u);
}

struct BoxCase {
    const char* name;
    std::int64_t wl, ww;
    float low[3], high[3];
    bool empty;
};

class RendererSkippingBox : public testing::TestWithParam<BoxCase> {};

// A 32³ volume of air (0) holding a block of 1000 at voxels x 20…23, y 4…7, z 10…13,
// stored +1000 as signed imports are: the box goes around the bricks that can blend the
// block (x bricks 2…3, y 0…1, z 1) as soon as the window's lower edge lies above the air.
TEST_P(RendererSkippingBox, HoldsEveryBrickThatReachesIntoTheWindow) {
    RendererTestBed bed;
    bed.create();
    NRRDfmt block = testvolumes::record(32, 32, 32, [](auto x, auto y, auto z) {
        const bool inside = x >= 20 && x <= 23 && y >= 4 && y <= 7 && z >= 10 && z <= 13;
        return static_cast<std::uint16_t>(inside ? 2000 : 1000);
    });
    block.sampleOffset = -1000;
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&block));
    bed.renderer->adoptPostedVolume();
    bed.renderer->setWl(GetParam().wl);
    bed.renderer->setWw(GetParam().ww);
    bed.frame();

    const MarchUniforms& march = bed.renderer->marchUniforms();
    const float low[3] = {march.occupiedLow.x, march.occupiedLow.y, march.occupiedLow.z};
    const float high[3] = {march.occupiedHigh.x, march.occupiedHigh.y, march.occupiedHigh.z};
    const bool empty = low[0] >= high[0] || low[1] >= high[1] || low[2] >= high[2];
    EXPECT_EQ(empty, GetParam().empty);
    for (int axis = 0; axis < 3 && !GetParam().empty; ++axis) {
        EXPECT_FLOAT_EQ(low[axis], GetParam().low[axis]) << "axis " << axis;
        EXPECT_FLOAT_EQ(high[axis], GetParam().high[axis]) << "axis " << axis;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, RendererSkippingBox,
    testing::Values(
        // Lower edge −660: the air shows, so does everything.
        BoxCase{"ImportWindowShowsTheAir", -10, 1300, {0, 0, 0}, {1, 1, 1}, false},
        // Lower edge 500: only the block.
        BoxCase{"WindowAboveTheAir", 600, 200, {0.5f, 0, 0.25f}, {1, 0.5f, 0.5f}, false},
        // Lower edge 999.5: the block's 1000 still shows, faintly.
        BoxCase{"LowerEdgeJustBelowTheBlock", 1000, 1, {0.5f, 0, 0.25f}, {1, 0.5f, 0.5f}, false},
        // Lower edge 1500: nothing can show, no ray is marched.
        BoxCase{"WindowAboveEverything", 2000, 1000, {}, {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
