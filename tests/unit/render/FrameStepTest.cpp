#include "RendererTestBed.h"
#include "render/display/OrbitController.h"

#include <array>
#include <cmath>
#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>

namespace {

constexpr float kTolerance = 1e-5f;

// The floats of a vector or a matrix (column by column), to compare as a whole.
template <typename T> std::array<float, sizeof(T) / sizeof(float)> floats(const T& value) {
    std::array<float, sizeof(T) / sizeof(float)> out;
    std::memcpy(out.data(), &value, sizeof(T));
    return out;
}

template <typename T> auto near(const T& expected) {
    return testing::Pointwise(testing::FloatNear(kTolerance), floats(expected));
}

bool allFinite(const Uniforms& u) {
    const auto* values = reinterpret_cast<const float*>(&u);
    // The three matrices and the camera position: 52 floats from the start.
    return std::all_of(values, values + 52, [](float v) { return std::isfinite(v); });
}

// The first frame gives the sample (512 × 512 voxels of 0.625 mm, 463 slices of 1 mm) its
// proportions. The window reaches the shaders cut to its low 32 bits, the clip values as
// set, the lookup mode as its low byte; a portrait drawable halves the aspect, and the near
// and far planes, 0.1 and 10 in front of the camera, go to depth 0 and 1. The camera sits
// where zoom and angles put it.
TEST(FrameStep, FramesHandProportionsWindowClipLookupAspectAndCameraToTheShaders) {
    CreatedRendererTestBed bed;
    bed.frame();
    const QVRenderer& r = *bed.renderer;
    EXPECT_THAT(floats(r.uniforms().modelMatrix),
                near(float4x4{{{0.6911447f, 0, 0, 0}, {0, 0.6911447f, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}));

    bed.renderer->setWl((std::int64_t{1} << 32) - 5);
    bed.renderer->setWw(-(std::int64_t{1} << 32) + 7);
    bed.renderer->setXcept(0.5f);
    bed.renderer->setYceptBtm(0.25f);
    bed.renderer->setZcept(0.75f);
    bed.renderer->setClutmode(257);
    bed.renderer->mtkView_drawableSizeWillChange(bed.view, {600.0, 1200.0});
    bed.frame();
    EXPECT_EQ(std::pair(r.wlww().wl, r.wlww().ww), std::pair(-5, 7));
    EXPECT_THAT(floats(r.uniforms().intercept), near(float4{0.5f, 1, 0.75f, 0}));
    EXPECT_THAT(floats(r.uniforms().interceptBtm), near(float4{0, 0.25f, 0, 0}));
    EXPECT_EQ(r.uniforms().clutmode, 1);
    const float4x4& projection = r.uniforms().projectionMatrix;
    EXPECT_NEAR(projection.columns[0].x, 4.83115f, kTolerance);
    EXPECT_NEAR(projection.columns[1].y, 2.41557f, kTolerance);
    for (const auto& [z, depth] : {std::pair{0.1f, 0.0f}, std::pair{10.0f, 1.0f}}) {
        const float4 clip = projection * float4{0, 0, z, 1};
        EXPECT_NEAR(clip.z / clip.w, depth, kTolerance) << "view z " << z;
    }

    const struct {
        float zoom, xrot, yrot, zrot;
        float4 camera;
    } cases[] = {
        {0, 0, 0, 0, {0, 0, -2, 1}},
        {0.5f, 0, 0, 0.7f, {0, 0, -1.5f, 1}}, // a turn about the viewing axis leaves it on the axis
        {2.5f, 0, 0, 0, {0, 0, 0.5f, 1}},     // past the target, on the far side
        // Turned about y first, then tilted about x, each by the right-hand rule.
        {0, 0.5f, 0.3f, 0, {-0.591040f, 0.916025f, -1.676773f, 1}},
        // On its target it would have no viewing direction: it stays just in front.
        {2, 0, 0.4f, 0, {-0.000389f, 0, -0.000921f, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "camera at zoom " << c.zoom);
        bed.renderer->setZoom(c.zoom);
        bed.renderer->setXrot(c.xrot);
        bed.renderer->setYrot(c.yrot);
        bed.renderer->setZrot(c.zrot);
        bed.frame();
        EXPECT_THAT(floats(r.uniforms().cameraPosition), near(c.camera));
        EXPECT_TRUE(allFinite(r.uniforms()));
    }
}

// Speeds are levels: each frame applies them again.
TEST(Orbit, FoldsTheSpeedsOfEachFrameIntoCameraAndWindow) {
    constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
    const struct {
        OrbitController::Speeds speeds;
        int frames;
        Camera camera; // after them, from the start (and the window from 1384 / 738)
        std::int64_t ww, wl;
    } cases[] = {
        {{0, 0, 0, 5, -3}, 10, {}, 1484, 798}, // a right drag moves the window
        // Half a radian per frame: the step that would pass ±1.57 is dropped.
        {{100, 100}, 5, {1.5f, -1.5f}, 1384, 738},
        {{0, 0, 5}, 2, {0, 0, 1.0f}, 1384, 738}, // the wheel brings the camera nearer
        {{0, 0, 0, kMost, kMost}, 1, {}, kMost, std::numeric_limits<std::int64_t>::min()}, // saturates
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.frames << " frames");
        DisplayModel model(QVRenderer::kStartupWindowLevel, QVRenderer::kStartupWindowWidth);
        Camera camera;
        OrbitController orbit(camera, model);
        for (int i = 0; i < c.frames; ++i) {
            orbit.integrate(c.speeds);
        }
        EXPECT_FLOAT_EQ(camera.xAngle, c.camera.xAngle);
        EXPECT_FLOAT_EQ(camera.yAngle, c.camera.yAngle);
        EXPECT_FLOAT_EQ(camera.zoom, c.camera.zoom);
        EXPECT_EQ(model.windowWidth(), c.ww);
        EXPECT_EQ(model.windowLevel(), c.wl);
    }
}

// A zero, negative or non-finite spacing counts as 1 (the x side as long as y, twice z);
// the largest float still gives finite proportions.
TEST(FrameStep, OddSpacingKeepsTheMatricesFinite) {
    for (const float spacing : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(),
                                std::numeric_limits<float>::infinity(), std::numeric_limits<float>::max()}) {
        SCOPED_TRACE(spacing);
        CreatedRendererTestBed bed;
        VolumeRecord record = testvolumes::record(4, 4, 2, [](auto, auto, auto) { return 0; });
        record.cellspaceX = spacing;
        ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&record));
        bed.frame();
        EXPECT_TRUE(allFinite(bed.renderer->uniforms()));
        const float4x4& model = bed.renderer->uniforms().modelMatrix;
        if (spacing == std::numeric_limits<float>::max()) {
            EXPECT_EQ(model.columns[0].x, 1.0f);
        } else {
            EXPECT_THAT(floats(model),
                        near(float4x4{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 0.5f, 0}, {0, 0, 0, 1}}}));
        }
    }
}

} // namespace
