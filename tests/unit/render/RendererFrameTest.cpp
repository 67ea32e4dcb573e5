#include "RendererTestBed.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <thread>

namespace {

using namespace std::chrono_literals;
using recording::Copy;
using recording::Frame;
using recording::Target;
using Copies = std::vector<Copy>;

const Target kView{0, 64, 64};

// A ball imported and its first frame drawn, in full, into the view's 64 x 64 pass.
class RendererFrames : public testing::Test {
  protected:
    void SetUp() override {
        const VolumeRecord ball = testvolumes::sphere(16, 1000);
        ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&ball));
        const std::optional<Frame> frame = bed.settledFrame();
        ASSERT_TRUE(frame && frame->copies.size() == 1);
        first = *frame;
    }

    // Where the first frame's image is kept.
    Target kept() const { return first.copies[0].to; }

    // Where a frame drew the volume: the view, a reduced texture, or nowhere.
    std::optional<Target> drawnInto() {
        const std::optional<Frame> frame = bed.frame();
        return frame && !frame->draws.empty() ? std::optional(frame->draws.back().target) : std::nullopt;
    }

    CreatedRendererTestBed bed;
    Frame first;
};

// What the image depends on is unchanged: the framebuffer it goes to does not count.
TEST_F(RendererFrames, AFrameWhereNothingChangedCopiesTheKeptImageToWhicheverFramebufferIsOffered) {
    for (const std::uint64_t target : {7u, 8u, 7u}) {
        bed.view.pass.nativeTarget = target;
        const std::optional<Frame> frame = bed.frame();
        ASSERT_TRUE(frame);
        EXPECT_TRUE(frame->passes.empty()) << "framebuffer " << target;
        EXPECT_EQ(frame->copies, (Copies{{kept(), kView}})) << "framebuffer " << target;
    }
    EXPECT_EQ(bed.view.drawable.presented(), bed.frames);
}

// The rule that keeps an idle window cheap: the view still shows the kept picture, so a
// frame that changes nothing encodes nothing, while the observers still hear the window.
TEST_F(RendererFrames, AFrameThatChangesNothingInAViewThatKeepsItsPictureEncodesNothing) {
    bed.view.keepsPicture = true;
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
        EXPECT_EQ(drawnInto().has_value(), i != 0) << "change " << i;
        bed.notified.clear();
        EXPECT_FALSE(bed.frame()) << "after change " << i;
        EXPECT_EQ(bed.notified, (QStringList{"ww", "wl"}));
    }
    // The view made its framebuffer anew: the kept picture goes to it again.
    bed.view.keepsPicture = false;
    const std::optional<Frame> frame = bed.frame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->copies, (Copies{{kept(), kView}}));
}

// Reduced frames while the hands are on the controls; the turning that goes on after they
// let go is drawn in full, and so is a still pointer once the settle time has passed.
TEST_F(RendererFrames, ReducedFramesOnlyWhileTheUserInteracts) {
    const Target full{0, 1024, 768};
    bed.view.resize(1024, 768);
    bed.renderer->setQualitySettle(1h);
    bed.view.interacting = true;
    bed.view.pointer.deltaX = 5;
    const std::optional<Target> reduced = drawnInto();
    ASSERT_TRUE(reduced);
    EXPECT_NE(reduced->texture, 0u);
    EXPECT_LT(reduced->width, full.width);
    EXPECT_EQ(drawnInto(), reduced);

    bed.view.interacting = false;
    EXPECT_EQ(drawnInto(), full);
    EXPECT_EQ(drawnInto(), full);

    // The button held, the pointer still: the reduced picture stands until the settle time.
    bed.view.interacting = true;
    EXPECT_NE(drawnInto(), full);
    bed.view.pointer.deltaX = 0;
    EXPECT_FALSE(drawnInto());
    EXPECT_FALSE(bed.renderer->showsFullQuality());
    bed.renderer->setQualitySettle(0ms);
    EXPECT_EQ(drawnInto(), full);
    EXPECT_TRUE(bed.renderer->showsFullQuality());
}

// The reduction follows the measured frame time: frames that come further apart than the
// target hold fewer pixels, in the drawable's proportions.
TEST_F(RendererFrames, ReducedFramesShrinkWhenTheyTakeLongerThanTheTarget) {
    bed.view.resize(1024, 768);
    bed.view.interacting = true;
    std::vector<Target> drawn;
    for (int i = 0; i < 3; ++i) {
        bed.view.pointer.deltaX = 5 + i;
        const std::optional<Target> target = drawnInto();
        ASSERT_TRUE(target && target->texture != 0) << "frame " << i;
        drawn.push_back(*target);
        std::this_thread::sleep_for(FrameTimeBudget::kTargetFrameTime * 3);
    }
    EXPECT_LE(drawn[0].width * drawn[0].height, FrameTimeBudget::kInitialPixels);
    for (std::size_t i = 1; i < drawn.size(); ++i) {
        EXPECT_LT(drawn[i].width, drawn[i - 1].width) << "frame " << i;
        EXPECT_NEAR(drawn[i].width * 3.0 / 4.0, drawn[i].height, 1.0) << "frame " << i;
    }
}

TEST_F(RendererFrames, WithAdaptiveQualityOffEveryChangedFrameIsDrawnInFullAndKept) {
    bed.renderer->setAdaptiveQuality(false);
    bed.view.interacting = true;
    bed.view.pointer.deltaX = 5;
    for (int i = 0; i < 3; ++i) {
        const std::optional<Frame> frame = bed.frame();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->passes, std::vector<Target>{kView}) << "frame " << i;
        EXPECT_EQ(frame->copies, (Copies{{kView, kept()}})) << "frame " << i;
    }
}

TEST_F(RendererFrames, WithoutRenderPassDescriptorAnEmptyCommandBufferIsCommitted) {
    bed.view.hasPass = false;
    const std::optional<Frame> frame = bed.frame();
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->passes.empty());
    EXPECT_TRUE(frame->copies.empty());
    EXPECT_TRUE(frame->committed);
    // Every frame but this one presented.
    EXPECT_EQ(bed.view.drawable.presented(), bed.frames - 1);
}

// A second view of the scene turns its own camera only; the window it changes and the
// volume it adopts are the first view's too, whose kept picture then no longer serves.
TEST_F(RendererFrames, ASecondViewSharesWindowAndVolumeButNotTheCamera) {
    bed.view.keepsPicture = true;
    FakeMTKView otherView{bed.device};
    QVRenderer other(otherView, *bed.renderer);
    otherView.pointer.deltaX = 40;
    other.drawInMTKView(otherView);
    EXPECT_FLOAT_EQ(other.yrot(), -0.2f);
    EXPECT_EQ(bed.renderer->yrot(), 0.0f);
    otherView.pointer = {};
    bed.settledFrame();
    ASSERT_FALSE(bed.frame());

    otherView.pointer.rdeltaX = 5;
    other.drawInMTKView(otherView);
    EXPECT_EQ(bed.renderer->ww(), VolumeSurvey::kImportWindowWidth + 10);
    EXPECT_TRUE(drawnInto());

    const VolumeRecord slab = testvolumes::record(8, 8, 4, [](auto, auto, auto) { return 500; });
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&slab));
    other.drawInMTKView(otherView);
    EXPECT_EQ(other.yrot(), 0.0f);
    bed.frame();
    EXPECT_EQ(bed.renderer->uniforms().modelMatrix.columns[2].z, 0.5f);
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
    CreatedRendererTestBed bed;
    VolumeRecord block = testvolumes::record(32, 32, 32, [](auto x, auto y, auto z) {
        const bool inside = x >= 20 && x <= 23 && y >= 4 && y <= 7 && z >= 10 && z <= 13;
        return static_cast<std::uint16_t>(inside ? 2000 : 1000);
    });
    block.sampleOffset = -1000;
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&block));
    bed.renderer->adoptPostedVolume();
    bed.renderer->setWl(GetParam().wl);
    bed.renderer->setWw(GetParam().ww);
    bed.settledFrame();

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
    [](const auto& row) { return std::string(row.param.name); });

struct SizeCase {
    double width, height;
    std::uint32_t expectedWidth, expectedHeight;
};

class RendererDrawableSize : public testing::TestWithParam<SizeCase> {};

TEST_P(RendererDrawableSize, StoresWholePixelsTruncated) {
    CreatedRendererTestBed bed;
    bed.renderer->mtkView_drawableSizeWillChange(bed.view, {GetParam().width, GetParam().height});
    EXPECT_EQ(bed.renderer->viewportSize().width, GetParam().expectedWidth);
    EXPECT_EQ(bed.renderer->viewportSize().height, GetParam().expectedHeight);
}

constexpr std::uint32_t kMaxPixels = std::numeric_limits<std::uint32_t>::max();

INSTANTIATE_TEST_SUITE_P(, RendererDrawableSize,
                         testing::Values(SizeCase{1023.9, 767.5, 1023, 767}, SizeCase{0.99, 0.0, 0, 0},
                                         // Sizes no drawable has: nothing wraps around or overflows.
                                         SizeCase{-3.0, std::nan(""), 0, 0},
                                         SizeCase{1.0e12, std::numeric_limits<double>::infinity(), kMaxPixels,
                                                  kMaxPixels}));

} // namespace
