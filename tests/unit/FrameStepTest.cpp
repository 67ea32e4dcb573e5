#include "RendererTestBed.h"

#include <array>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;
using Columns = std::array<float4, 4>;

constexpr float kTolerance = 1e-5f;

void expectNear(float4 actual, float4 expected, const char* what) {
    SCOPED_TRACE(what);
    EXPECT_NEAR(actual.x, expected.x, kTolerance);
    EXPECT_NEAR(actual.y, expected.y, kTolerance);
    EXPECT_NEAR(actual.z, expected.z, kTolerance);
    EXPECT_NEAR(actual.w, expected.w, kTolerance);
}

void expectColumns(const float4x4& m, const Columns& expected, const char* what) {
    SCOPED_TRACE(what);
    for (int c = 0; c < 4; ++c) {
        expectNear(m.columns[c], expected[static_cast<std::size_t>(c)],
                   ("column " + std::to_string(c)).c_str());
    }
}

bool allFinite(const Uniforms& u) {
    const auto* values = reinterpret_cast<const float*>(&u);
    // The three matrices and the camera position: 52 floats from the start.
    for (int i = 0; i < 52; ++i) {
        if (!std::isfinite(values[i])) {
            return false;
        }
    }
    return true;
}

TEST(FrameStep, FirstFrameOfTheSampleVolume) {
    RendererTestBed bed;
    bed.create();
    bed.log->clear();

    bed.frame();

    const QVRenderer& r = *bed.renderer;
    EXPECT_EQ(bed.log->callsStartingWith("notify"), (Calls{"notify ww", "notify wl"}));
    EXPECT_EQ(r.ww(), 1384);
    EXPECT_EQ(r.wl(), 738);
    EXPECT_EQ(r.wlww().wl, 738);
    EXPECT_EQ(r.wlww().ww, 1384);
    const Uniforms& u = r.uniforms();
    expectColumns(u.modelMatrix, {{{0.6911447f, 0, 0, 0}, {0, 0.6911447f, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}},
                  "model");
    expectNear(u.cameraPosition, {0, 0, -2, 1}, "camera");
    expectColumns(u.viewMatrix, {{{-1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 2, 1}}}, "view");
    expectColumns(u.projectionMatrix,
                  {{{2.41557f, 0, 0, 0}, {0, 2.41557f, 0, 0}, {0, 0, 1.010101f, 1}, {0, 0, -0.1010101f, 0}}},
                  "projection");
    expectNear(u.intercept, {1, 1, 1, 0}, "intercept");
    expectNear(u.interceptBtm, {0, 0, 0, 0}, "interceptBtm");
    EXPECT_EQ(u.clutmode, 0);
}

TEST(FrameStep, ReadsTheViewAndNotifiesInTheFixedOrderThenDraws) {
    RendererTestBed bed;
    bed.create(testvolumes::sampleOfZeros());
    bed.log->clear();

    bed.frame();

    const std::vector<std::string> calls = bed.log->calls();
    ASSERT_GE(calls.size(), 8u);
    EXPECT_EQ(Calls(calls.begin(), calls.begin() + 8),
              (Calls{"view.rdeltaX()", "notify ww", "view.rdeltaY()", "notify wl", "view.deltaY()",
                     "view.deltaX()", "view.zoom()", "commandQueue.commandBuffer()"}));
    EXPECT_EQ(calls.back(), "commandBuffer.commit()");
    EXPECT_EQ(bed.log->callsStartingWith("encoder.drawPrimitives").size(), 1u);
}

TEST(FrameStep, RightDragHeldForTenFramesMovesTheWindowEveryFrame) {
    RendererTestBed bed;
    bed.create();
    bed.view.setRdeltaX(5);
    bed.view.setRdeltaY(-3);
    bed.log->clear();

    for (int i = 0; i < 10; ++i) {
        bed.frame();
    }

    EXPECT_EQ(bed.renderer->ww(), 1384 + 100);
    EXPECT_EQ(bed.renderer->wl(), 738 + 60);
    Calls expected;
    for (int i = 0; i < 10; ++i) {
        expected.insert(expected.end(), {"notify ww", "notify wl"});
    }
    EXPECT_EQ(bed.log->callsStartingWith("notify"), expected);
    EXPECT_EQ(bed.renderer->wlww().wl, 798);
    EXPECT_EQ(bed.renderer->wlww().ww, 1484);
}

TEST(FrameStep, WindowPairKeepsTheLowThirtyTwoBits) {
    RendererTestBed bed;
    bed.create();
    bed.renderer->setWl((std::int64_t{1} << 32) - 5);
    bed.renderer->setWw(-(std::int64_t{1} << 32) + 7);
    bed.frame();
    EXPECT_EQ(bed.renderer->wlww().wl, -5);
    EXPECT_EQ(bed.renderer->wlww().ww, 7);
}

struct RotationCase {
    const char* name;
    bool tilt; // xrot driven by deltaY, else yrot driven by deltaX
    float start;
    std::int64_t delta;
    float expected; // after three frames
};

class FrameStepRotation : public testing::TestWithParam<RotationCase> {};

TEST_P(FrameStepRotation, StepsThatWouldReachTheBoundAreDroppedWhole) {
    const RotationCase& c = GetParam();
    RendererTestBed bed;
    bed.create();
    if (c.tilt) {
        bed.renderer->setXrot(c.start);
        bed.view.setDeltaY(c.delta);
    } else {
        bed.renderer->setYrot(c.start);
        bed.view.setDeltaX(c.delta);
    }
    for (int i = 0; i < 3; ++i) {
        bed.frame();
    }
    EXPECT_EQ(c.tilt ? bed.renderer->xrot() : bed.renderer->yrot(), c.expected);
}

// 1.56 + 0.01 rounds to the float just below 1.57, which is accepted; the next step is not.
const float kJustBelowBound = std::nextafter(1.57f, 0.0f);

INSTANTIATE_TEST_SUITE_P(
    , FrameStepRotation,
    testing::Values(RotationCase{"TiltPastTheBound", true, 1.56f, 4, 1.56f},
                    RotationCase{"TiltToJustBelowTheBound", true, 1.56f, 2, kJustBelowBound},
                    RotationCase{"TiltDownPastTheBound", true, -1.56f, -4, -1.56f},
                    RotationCase{"TurnPastTheBound", false, -1.56f, 4, -1.56f},
                    RotationCase{"TurnToJustBelowTheBound", false, -1.56f, 2, -kJustBelowBound},
                    RotationCase{"TurnFreely", false, 0.0f, -20, 0.3f}),
    [](const testing::TestParamInfo<RotationCase>& info) { return std::string(info.param.name); });

TEST(FrameStep, PortraitViewportHalvesTheAspect) {
    RendererTestBed bed;
    bed.create();
    bed.renderer->mtkView_drawableSizeWillChange(bed.view, {600.0, 1200.0});
    bed.frame();
    EXPECT_NEAR(bed.renderer->uniforms().projectionMatrix.columns[0].x, 4.83115f, kTolerance);
    EXPECT_NEAR(bed.renderer->uniforms().projectionMatrix.columns[1].y, 2.41557f, kTolerance);
}

TEST(FrameStep, VoxelSpacingGivesTheBoxItsProportions) {
    RendererTestBed bed;
    bed.create();
    NRRDfmt record = testvolumes::record(256, 256, 113, [](auto, auto, auto) { return 0; });
    record.cellspaceZ = 2.0f;
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&record));
    bed.frame();
    expectColumns(bed.renderer->uniforms().modelMatrix,
                  {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 0.8828125f, 0}, {0, 0, 0, 1}}}, "model");
}

TEST(FrameStep, ViewingAxisTurnAloneLeavesTheCameraOnTheAxis) {
    RendererTestBed bed;
    bed.create();
    bed.renderer->setZrot(0.7f);
    bed.renderer->setZoom(0.5f);
    bed.frame();
    expectNear(bed.renderer->uniforms().cameraPosition, {0, 0, -1.5f, 1}, "camera");
}

TEST(FrameStep, WheelMovesTheCameraInAndPastTheTargetToTheFarSide) {
    RendererTestBed bed;
    bed.create();
    bed.view.setZoom(5);
    bed.frame();
    EXPECT_FLOAT_EQ(bed.renderer->zoom(), 0.5f);
    expectNear(bed.renderer->uniforms().cameraPosition, {0, 0, -1.5f, 1}, "nearer");

    bed.view.setZoom(0);
    bed.renderer->setZoom(2.5f);
    bed.frame();
    const Uniforms& u = bed.renderer->uniforms();
    expectNear(u.cameraPosition, {0, 0, 0.5f, 1}, "far side");
    // Looking back along −z, the world's x axis is no longer mirrored.
    expectNear(u.viewMatrix.columns[0], {1, 0, 0, 0}, "view column 0");
}

TEST(FrameStep, ClipValuesAndTheLowByteOfTheLookupModeReachTheUniforms) {
    RendererTestBed bed;
    bed.create();
    bed.renderer->setXcept(0.5f);
    bed.renderer->setYceptBtm(0.25f);
    bed.renderer->setZcept(0.75f);
    bed.renderer->setClutmode(257);
    bed.frame();
    expectNear(bed.renderer->uniforms().intercept, {0.5f, 1, 0.75f, 0}, "intercept");
    expectNear(bed.renderer->uniforms().interceptBtm, {0, 0.25f, 0, 0}, "interceptBtm");
    EXPECT_EQ(bed.renderer->uniforms().clutmode, 1);
}

TEST(FrameStep, EmptyViewportSkipsTheDrawButStillCommitsAndFoldsTheInputs) {
    for (const DrawableSize size : {DrawableSize{512.0, 0.0}, DrawableSize{0.0, 512.0}}) {
        RendererTestBed bed;
        bed.create(testvolumes::sampleOfZeros());
        bed.renderer->mtkView_drawableSizeWillChange(bed.view, size);
        bed.view.setRdeltaX(1);
        bed.log->clear();

        bed.frame();

        EXPECT_TRUE(bed.log->callsStartingWith("commandBuffer.renderCommandEncoder").empty());
        EXPECT_EQ(bed.log->count("commandBuffer.commit()"), 1u);
        EXPECT_EQ(bed.renderer->ww(), 1386);
        EXPECT_TRUE(allFinite(bed.renderer->uniforms()));
    }
}

TEST(FrameStep, CameraOnItsTargetIsKeptJustInFront) {
    RendererTestBed bed;
    bed.create();
    bed.renderer->setZoom(2.0f);
    bed.renderer->setYrot(0.4f);
    bed.frame();
    const Uniforms& u = bed.renderer->uniforms();
    EXPECT_TRUE(allFinite(u));
    const float4 p = u.cameraPosition;
    EXPECT_GT(p.x * p.x + p.y * p.y + p.z * p.z, 0.0f);
    EXPECT_LT(p.z, 0.0f);
}

class FrameStepDegenerateSpacing : public testing::TestWithParam<float> {};

TEST_P(FrameStepDegenerateSpacing, KeepsTheMatricesFinite) {
    RendererTestBed bed;
    bed.create();
    NRRDfmt record = testvolumes::record(4, 4, 2, [](auto, auto, auto) { return 0; });
    record.cellspaceX = GetParam();
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&record));
    bed.frame();
    const float4x4& model = bed.renderer->uniforms().modelMatrix;
    EXPECT_TRUE(allFinite(bed.renderer->uniforms()));
    // The spacing counts as 1: the x side is as long as y, twice z.
    expectColumns(model, {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 0.5f, 0}, {0, 0, 0, 1}}}, "model");
}

INSTANTIATE_TEST_SUITE_P(, FrameStepDegenerateSpacing,
                         testing::Values(0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(),
                                         std::numeric_limits<float>::infinity()));

TEST(FrameStep, HugeSpacingStillGivesFiniteProportions) {
    RendererTestBed bed;
    bed.create();
    NRRDfmt record = testvolumes::record(4, 4, 2, [](auto, auto, auto) { return 0; });
    record.cellspaceX = std::numeric_limits<float>::max();
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&record));
    bed.frame();
    EXPECT_TRUE(allFinite(bed.renderer->uniforms()));
    EXPECT_EQ(bed.renderer->uniforms().modelMatrix.columns[0].x, 1.0f);
}

} // namespace
