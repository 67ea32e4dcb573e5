#include "RendererTestBed.h"
#include "render/display/ColourMap.h"
#include "render/display/OpacityRanges.h"
#include "render/display/OrbitController.h"
#include "render/display/WindowPresets.h"
#include "render/frame/FrameTimeBudget.h"

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <span>
#include <thread>

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

using namespace std::chrono_literals;
using recording::Frame;
using recording::Target;
using Copies = std::vector<recording::Copy>;

const Target kView{0, 64, 64};

// A ball imported and its first frame drawn, in full, into the view's 64 x 64 pass and kept.
// A frame that encoded nothing reads as an empty one, which no test expects.
class RendererFrames : public testing::Test {
  protected:
    void SetUp() override {
        const VolumeRecord ball = testvolumes::sphere(16, 1000);
        ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&ball));
        const Frame first = bed.settledFrame().value_or(Frame{});
        ASSERT_EQ(first.copies.size(), 1u);
        kept = first.copies[0].to;
    }

    // Where a frame drew the volume: the view, a reduced texture, or nowhere.
    std::optional<Target> drawnInto() {
        const std::optional<Frame> frame = bed.frame();
        return frame && !frame->draws.empty() ? std::optional(frame->draws.back()) : std::nullopt;
    }

    CreatedRendererTestBed bed;
    Target kept; // where the first frame's image is kept
};

// What the image depends on is unchanged: the framebuffer it goes to does not count. A view
// that offers no render pass descriptor gets an empty command buffer, committed, and no
// present. With adaptive quality off every changed frame is drawn in full and kept, even
// while the hands are on the controls.
TEST_F(RendererFrames, AFrameWhereNothingChangedCopiesTheKeptImageToWhicheverFramebufferIsOffered) {
    for (const std::uint64_t target : {7u, 8u, 7u}) {
        bed.view.pass.nativeTarget = target;
        const Frame frame = bed.frame().value_or(Frame{});
        EXPECT_TRUE(frame.passes.empty()) << "framebuffer " << target;
        EXPECT_EQ(frame.copies, (Copies{{kept, kView}})) << "framebuffer " << target;
    }
    EXPECT_EQ(bed.view.drawable.presented(), bed.frames);

    bed.view.hasPass = false;
    const Frame frame = bed.frame().value_or(Frame{});
    EXPECT_TRUE(frame.passes.empty() && frame.copies.empty());
    EXPECT_TRUE(frame.committed);
    EXPECT_EQ(bed.view.drawable.presented(), bed.frames - 1);

    bed.view.hasPass = true;
    bed.renderer->setAdaptiveQuality(false);
    bed.view.interacting = true;
    bed.view.pointer.deltaX = 5;
    for (int i = 0; i < 3; ++i) {
        const Frame changed = bed.frame().value_or(Frame{});
        EXPECT_EQ(changed.passes, std::vector<Target>{kView}) << "frame " << i;
        EXPECT_EQ(changed.copies, (Copies{{kView, kept}})) << "frame " << i;
    }
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
    EXPECT_EQ(bed.frame().value_or(Frame{}).copies, (Copies{{kept, kView}}));
}

// Reduced frames while the hands are on the controls, holding fewer pixels (in the
// drawable's proportions) when they come further apart than the target; the turning that
// goes on after the hands let go is drawn in full, and so is a still pointer once the
// settle time has passed.
TEST_F(RendererFrames, ReducedFramesOnlyWhileTheUserInteractsShrinkingWhenTheyTakeLongerThanTheTarget) {
    const Target full{0, 1024, 768};
    bed.view.resize(1024, 768);
    bed.renderer->setQualitySettle(1h);
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
        EXPECT_EQ(drawn[i].texture, drawn[0].texture) << "frame " << i; // one texture for every budget
        EXPECT_NEAR(drawn[i].width * 3.0 / 4.0, drawn[i].height, 1.0) << "frame " << i;
    }

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

// A 32 x 20 x 32 volume of air (0) holding a block of 1000 at voxels x 20…23, y 4…7,
// z 10…13, stored +1000 as signed imports are: the box goes around the bricks that can blend
// the block (x bricks 2…3, y 0…1, z 1) as soon as the window's lower edge lies above the
// air, and ends where the volume does, short of its last brick's end (y 24).
TEST(RendererSkippingBox, HoldsEveryBrickThatReachesIntoTheWindowAndShowsInTheColourMap) {
    const struct {
        std::int64_t wl, ww;
        std::array<float, 3> low, high; // equal: nothing can show, no ray is marched
        const char* preset = nullptr;   // a colour preset's map instead of the default
        bool blockBelow = false;        // the block at 1000 inside 2000, not 2000 inside 1000
    } cases[] = {
        {-10, 1300, {0, 0, 0}, {1, 1, 1}}, // lower edge −660: the air shows, so does everything
        // The same window, but no opacity below 0.6 of it (120): the air shows nothing.
        {-10,
         1300,
         {0.5f, 0, 0.25f},
         {1, 0.8f, 0.5f},
         R"({"RGBPoints": [0, 1, 1, 1, 1, 1, 1, 1], "Points": [0, 0, 0.5, 0, 0.6, 0, 0.5, 0, 0.7, 1, 0.5, 0]})"},
        {600, 200, {0.5f, 0, 0.25f}, {1, 0.8f, 0.5f}}, // lower edge 500: only the block
        {1000, 1, {0.5f, 0, 0.25f}, {1, 0.8f, 0.5f}},  // 999.5: the block's 1000 still shows, faintly
        {1002, 2, {}, {}},                             // 1001: just above the block's 1000
        // A band around the block's 0 hides the 1000 around it, above the band.
        {-10,
         1300,
         {0.5f, 0, 0.25f},
         {1, 0.8f, 0.5f},
         R"({"RGBPoints": [0, 1, 1, 1, 1, 1, 1, 1], "Points": [0, 0, 0.5, 0, 0.45, 0, 0.5, 0, 0.5, 1, 0.5, 0,)"
         R"( 0.55, 0, 0.5, 0, 1, 0, 0.5, 0]})",
         true},
    };
    CreatedRendererTestBed bed;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "window " << c.wl << " / " << c.ww);
        VolumeRecord block = testvolumes::record(32, 20, 32, [&](auto x, auto y, auto z) {
            const bool inside = x >= 20 && x <= 23 && y >= 4 && y <= 7 && z >= 10 && z <= 13;
            return static_cast<std::uint16_t>(inside != c.blockBelow ? 2000 : 1000);
        });
        block.sampleOffset = -1000;
        ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&block));
        bed.renderer->adoptPostedVolume();
        bed.renderer->setWl(c.wl);
        bed.renderer->setWw(c.ww);
        bed.renderer->displayModel().setColourMap(
            c.preset ? std::get<ColourMap::Preset>(ColourMap::fromParaViewPreset(c.preset)).map
                     : ColourMap::warmDefault());
        bed.settledFrame();
        const MarchUniforms& march = bed.renderer->marchUniforms();
        const std::array low{march.occupiedLow.x, march.occupiedLow.y, march.occupiedLow.z};
        const std::array high{march.occupiedHigh.x, march.occupiedHigh.y, march.occupiedHigh.z};
        if (c.low == c.high) {
            EXPECT_FALSE(std::ranges::equal(low, high, std::less<>())); // low reaches high on an axis
        } else {
            EXPECT_THAT(low, testing::Pointwise(testing::FloatEq(), c.low));
            EXPECT_THAT(high, testing::Pointwise(testing::FloatEq(), c.high));
        }
    }
}

// Whole pixels, truncated; sizes no drawable has neither wrap around nor overflow.
TEST(RendererDrawableSize, StoresWholePixelsTruncated) {
    constexpr std::uint32_t kMost = std::numeric_limits<std::uint32_t>::max();
    const struct {
        double width, height;
        std::uint32_t expectedWidth, expectedHeight;
    } cases[] = {{1023.9, 767.5, 1023, 767},
                 {0.99, 0.0, 0, 0},
                 {-3.0, std::nan(""), 0, 0},
                 {1.0e12, std::numeric_limits<double>::infinity(), kMost, kMost}};
    CreatedRendererTestBed bed;
    for (const auto& c : cases) {
        bed.renderer->mtkView_drawableSizeWillChange(bed.view, {c.width, c.height});
        EXPECT_EQ(bed.renderer->viewportSize().width, c.expectedWidth) << c.width;
        EXPECT_EQ(bed.renderer->viewportSize().height, c.expectedHeight) << c.height;
    }
}

using Clock = FrameTimeBudget::Clock;
constexpr double kLeast = FrameTimeBudget::kLeastPixels / FrameTimeBudget::kInitialPixels;

// Twenty reduced frames in a row on a machine whose frames take time in proportion to
// their pixels.
TEST(FrameTimeBudgetTest, MovesTowardThePixelsThatTakeTheTargetTime) {
    const struct {
        double initialFrameMs;  // what a frame of the initial budget takes on this machine
        bool largeDrawable;     // the budget limits each frame (else a drawable of a tenth of it)
        double lowest, highest; // where the budget ends, in multiples of the initial one
        bool gaps = false;      // the drag is interrupted after every frame: nothing is measured
    } cases[] = {
        {30.0, true, 0.99, 1.01},      // on target: stays
        {60.0, true, 0.49, 0.51},      // twice too slow: halves
        {10.0, true, 2.9, 3.1},        // three times too fast: triples
        {1.0e6, true, kLeast, kLeast}, // very slow frames stop at the least
        // Frames of a small drawable are quick whatever the budget: they do not raise it.
        {1.0, false, 1.0, 1.0},
        {1.0e6, true, 1.0, 1.0, true}, // the gaps between drags, however long, are not measured
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.initialFrameMs << " ms" << (c.gaps ? ", interrupted" : ""));
        const double msPerPixel = c.initialFrameMs / FrameTimeBudget::kInitialPixels;
        FrameTimeBudget budget;
        Clock::time_point now{};
        double pixels = 0.0;
        for (int frame = 0; frame < 20; ++frame) {
            pixels = budget.frameStarted(now);
            // A budgeted frame is rounded down to whole rows and columns of a 2048 × 1536 drawable.
            const double drawable =
                c.largeDrawable ? 2048.0 * 1536.0 : FrameTimeBudget::kInitialPixels / 10.0;
            const double scale = std::min(1.0, std::sqrt(pixels / drawable));
            const double drawn =
                c.largeDrawable ? std::floor(scale * 2048.0) * std::floor(scale * 1536.0) : drawable;
            budget.frameDrawn(drawn, drawable);
            if (c.gaps) {
                budget.interrupted();
            }
            now += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::milli>(drawn * msPerPixel));
        }
        EXPECT_GE(pixels, c.lowest * FrameTimeBudget::kInitialPixels);
        EXPECT_LE(pixels, c.highest * FrameTimeBudget::kInitialPixels);
    }
}

// Tables of the window's colours: the two lookups (the warm default from dark red over orange,
// the middle of the window, to ivory; black and white grey; both opaque), exactly; maps blended
// in another colour space against published or hand-worked values of that space (a diverging
// map's light grey middle, CIELAB's lightness 50 as sRGB 119, HSV's way from red to blue through
// magenta); opacity shaped by a point's midpoint and sharpness (-1: not checked).
TEST(ColourMap, TablesFollowTheirLookupColourSpaceAndTheShapeOfTheirCurve) {
    const std::vector<ColourMap::Point> grey{{0.0, 0.0, 0.0, 0.0}, {1.0, 1.0, 1.0, 1.0}};
    const auto shaped = [&](double midpoint, double sharpness) {
        return ColourMap(QString(), grey, {{0.0, 0.0, midpoint, sharpness}, {1.0, 1.0}});
    };
    const ColourMap coolToWarm(QString(), {{0.0, 0.230, 0.299, 0.754}, {1.0, 0.706, 0.016, 0.150}}, {},
                               ColourSpace::Diverging);
    const ColourMap lab(QString(), grey, {}, ColourSpace::Lab), step(QString(), grey, {}, ColourSpace::Step);
    const ColourMap redToBlue(QString(), {{0.0, 1.0, 0.0, 0.0}, {1.0, 0.0, 0.0, 1.0}}, {}, ColourSpace::Hsv);
    const ColourMap quarter = shaped(0.25, 0.0), stepAtAQuarter = shaped(0.25, 1.0),
                    sCurve = shaped(0.5, 0.5);
    const struct {
        const ColourMap& map;
        std::size_t entry; // of 257, from the window's floor to its top
        std::array<int, 4> rgba;
        int tolerance = 0;
    } cases[] = {
        {ColourMap::warmDefault(), 0, {102, 13, 8, 255}},
        {ColourMap::warmDefault(), 64, {172, 70, 23, 255}},
        {ColourMap::warmDefault(), 128, {242, 128, 38, 255}},
        {ColourMap::warmDefault(), 256, {255, 245, 219, 255}},
        {ColourMap::blackAndWhite(), 0, {0, 0, 0, 255}},
        {ColourMap::blackAndWhite(), 64, {64, 64, 64, 255}},
        {ColourMap::blackAndWhite(), 256, {255, 255, 255, 255}},
        {coolToWarm, 128, {221, 221, 221, 255}, 2},
        {coolToWarm, 0, {59, 76, 192, 255}, 2},
        {lab, 128, {119, 119, 119, 255}, 2},
        {step, 255, {0, 0, 0, 255}},
        {step, 256, {255, 255, 255, 255}},
        {redToBlue, 128, {255, 0, 255, 255}, 2},
        {quarter, 64, {-1, -1, -1, 128}, 1},
        {quarter, 32, {-1, -1, -1, 64}, 1},
        {stepAtAQuarter, 63, {-1, -1, -1, 0}},
        {stepAtAQuarter, 65, {-1, -1, -1, 255}},
        {sCurve, 128, {-1, -1, -1, 128}, 1},
    };
    for (const auto& c : cases) {
        const ColourMap::Table table = c.map.table();
        for (std::size_t channel = 0; channel < 4; ++channel) {
            if (c.rgba[channel] >= 0) {
                EXPECT_NEAR(table[4 * c.entry + channel], c.rgba[channel], c.tolerance)
                    << c.map.name().toStdString() << " entry " << c.entry << " channel " << channel;
            }
        }
    }
    // An S-curve rises slower than a straight line below its midpoint and faster above it.
    const ColourMap::Table s = sCurve.table();
    EXPECT_LT(s[4 * 64 + 3], 64 - 8);
    EXPECT_GT(s[4 * 192 + 3], 191 + 8);
}

// ParaView's colour presets: the first of an array (or a lone object), its points in order
// of value, stretched over its value range; refused with the reason when it is not one.
TEST(ColourMap, ReadsParaViewColourPresetsAndRefusesOthersSayingWhy) {
    const auto preset = ColourMap::fromParaViewPreset(
        R"([{"Name": "Ramp", "ColorSpace": "RGB", "Points": [300, 1, 0.5, 0, -100, 0, 0.5, 0],
             "RGBPoints": [300, 1, 1, 1,  -100, 0, 0, 1,  100, 1, 0, 0]}, {"Name": "Second"}])");
    ASSERT_TRUE(std::holds_alternative<ColourMap::Preset>(preset)) << std::get<QString>(preset).toStdString();
    const auto& [map, low, high] = std::get<ColourMap::Preset>(preset);
    EXPECT_EQ(map.name(), QStringLiteral("Ramp"));
    EXPECT_EQ(std::pair(low, high), std::pair(-100.0, 300.0));
    ASSERT_EQ(map.points().size(), 3u);
    EXPECT_EQ(map.points()[1].x, 0.5);
    EXPECT_EQ(map.points()[1].red, 1.0);
    // The opacity rises from none at -100 to all at 300: half at the middle entry.
    const ColourMap::Table table = map.table();
    EXPECT_EQ(std::tuple(table[3], table[4 * 128 + 3], table[4 * 256 + 3]), std::tuple(0, 128, 255));
    // A full channel written through single precision is still full.
    const auto lone = ColourMap::fromParaViewPreset(R"({"RGBPoints": [0, 0, 0, 0, 1, 1.0000001, 1, 1]})");
    ASSERT_TRUE(std::holds_alternative<ColourMap::Preset>(lone));
    EXPECT_FALSE(std::get<ColourMap::Preset>(lone).map.hasOpacity());
    EXPECT_EQ(std::get<ColourMap::Preset>(lone).map.points()[1].red, 1.0);
    const std::pair<const char*, const char*> refusals[] = {
        {"{", "not JSON"},
        {R"([{"Name": "Opacity only", "Points": [0, 0, 0.5, 0]}])", "no colour preset"},
        {R"({"RGBPoints": [0, 0, 0, 0, 1, 1, 1, 1], "Points": [0, 0, 0.5, 0]})", "Points are not"},
        {R"({"RGBPoints": [0, 0, 0, 0, 1, 1, 1, 1], "Points": [0, 0, 0.5, 0, 1, 3, 0.5, 0]})",
         "opacity outside"},
        {R"({"RGBPoints": [0, 0, 0, 0, 1, 1, 1]})", "quadruples"},
        {R"({"RGBPoints": [0, 0, 0, 0]})", "quadruples"},
        {R"({"RGBPoints": [0, 0, 0, 0, 1, 2, 1, 1]})", "outside 0 to 1"},
        {R"({"RGBPoints": [0, 0, 0, 0, "one", 1, 1, 1]})", "no number"},
        {R"({"RGBPoints": [5, 0, 0, 0, 5, 1, 1, 1]})", "no range"},
        {R"({"ColorSpace": "CMYK", "RGBPoints": [0, 0, 0, 0, 1, 1, 1, 1]})", "ColorSpace CMYK"},
        {R"({"RGBPoints": [0, 0, 0, 0, 1, 1, 1, 1], "Points": [0, 0, 1.5, 0, 1, 1, 0.5, 0]})", "midpoint"},
        {R"({"RGBPoints": [0, 0, 0, 0, 1, 1, 1, 1], "Points": [0, 0, 0.5, -1, 1, 1, 0.5, 0]})", "sharpness"},
    };
    for (const auto& [json, reason] : refusals) {
        const auto refused = ColourMap::fromParaViewPreset(json);
        ASSERT_TRUE(std::holds_alternative<QString>(refused)) << json;
        EXPECT_TRUE(std::get<QString>(refused).contains(QLatin1String(reason))) << json;
    }
}

// A preset file is read whole only where it is small enough to be one; the reason names the file.
TEST(ColourMap, AHugePresetFileIsRefusedByNameUnread) {
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("huge.json")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(qint64{1} << 32));
    file.close();
    const auto refused = ColourMap::readParaViewPreset(file.fileName());
    ASSERT_TRUE(std::holds_alternative<QString>(refused));
    EXPECT_TRUE(std::get<QString>(refused).startsWith(file.fileName()));
    EXPECT_TRUE(std::get<QString>(refused).contains(QLatin1String("too large")));
}

// A preset written out reads back as the same map over the same values, curve and all.
TEST(ColourMap, APresetSavedAsParaViewJsonReadsBackTheSame) {
    const ColourMap::Preset saved{
        ColourMap(QStringLiteral("Band"), {{0.0, 0.1, 0.2, 0.3}, {0.6, 0.9, 0.5, 0.0}, {1.0, 1.0, 1.0, 1.0}},
                  {{0.0, 0.0}, {0.3, 0.0, 0.3, 0.6}, {0.5, 0.8}, {0.7, 0.0}, {1.0, 0.0}}, ColourSpace::Lab),
        -1000.0, 3000.0};
    const auto read = ColourMap::fromParaViewPreset(ColourMap::toParaViewPreset(saved));
    ASSERT_TRUE(std::holds_alternative<ColourMap::Preset>(read)) << std::get<QString>(read).toStdString();
    const auto& [map, low, high] = std::get<ColourMap::Preset>(read);
    EXPECT_EQ(map.name(), saved.map.name());
    EXPECT_EQ(std::pair(low, high), std::pair(saved.low, saved.high));
    EXPECT_EQ(map.table(), saved.map.table());
    EXPECT_EQ(map.opacity().size(), saved.map.opacity().size());
}

// Rays skip the cells whose window levels the opacity curve hides; a level below the window
// takes the first entry's opacity and one above it the last's, so the table's ends decide
// what lies beyond the window, and the entries next to a range count against rounding. A
// curve of more bands than the shader is handed runs hides less, never more.
TEST(OpacityRanges, HidesOnlyLevelsWhoseEntriesAreAllTransparent) {
    const std::vector<ColourMap::Point> grey{{0.0, 0.0, 0.0, 0.0}, {1.0, 1.0, 1.0, 1.0}};
    const std::vector<ColourMap::OpacityPoint> band{
        {0.0, 0.0}, {0.4, 0.0}, {0.5, 1.0}, {0.6, 0.0}, {1.0, 0.0}};
    const std::vector<ColourMap::OpacityPoint> floorOnly{{0.0, 1.0}, {0.01, 0.0}, {1.0, 0.0}};
    const std::vector<ColourMap::OpacityPoint> topOnly{{0.0, 0.0}, {0.99, 0.0}, {1.0, 1.0}};
    const std::vector<ColourMap::OpacityPoint> none{{0.0, 0.0}, {1.0, 0.0}};
    // Five bands, more than the runs kept: the two nearest (0.30, 0.38) are joined across their
    // gap, which then shows; the wider gaps stay hidden.
    std::vector<ColourMap::OpacityPoint> fiveBands{{0.0, 0.0}};
    for (const double centre : {0.1, 0.3, 0.38, 0.6, 0.8}) {
        fiveBands.insert(fiveBands.end(), {{centre - 0.02, 0.0}, {centre, 1.0}, {centre + 0.02, 0.0}});
    }
    fiveBands.push_back({1.0, 0.0});
    struct Case {
        const char* name;
        const std::vector<ColourMap::OpacityPoint>& curve;
        double low, high;
        bool hidden;
    };
    const Case cases[] = {
        {"BelowTheBand", band, -3.0, 0.38, true},
        {"AboveTheBand", band, 0.62, 4.0, true},
        {"AcrossTheBand", band, 0.1, 0.9, false},
        {"InsideTheBand", band, 0.5, 0.5, false},
        // Entry 102 is transparent, 103 the first that shows: one entry's margin.
        {"AnEntryShortOfTheBand", band, 0.0, 101.5 / 256.0, false},
        {"BelowTheWindowTakesTheFirstEntry", floorOnly, -5.0, -1.0, false},
        {"AboveTheFloorsEntries", floorOnly, 0.05, 9.0, true},
        {"AboveTheWindowTakesTheLastEntry", topOnly, 2.0, 5.0, false},
        {"BelowTheTopsEntries", topOnly, -1.0, 0.95, true},
        {"NothingShowsAnywhere", none, -10.0, 10.0, true},
        {"AnEmptyRange", none, 0.6, 0.4, false},
        {"BetweenTheNearestOfManyBands", fiveBands, 0.34, 0.34, false},
        {"BetweenWiderApartBands", fiveBands, 0.45, 0.53, true},
        {"BeyondTheLastOfManyBands", fiveBands, 0.86, 3.0, true},
    };
    for (const Case& c : cases) {
        const OpacityRanges ranges(ColourMap(QStringLiteral("Curve"), grey, c.curve).table());
        EXPECT_EQ(ranges.hides(c.low, c.high), c.hidden) << c.name;
    }
}

// Windows given in the file's units reach the renderer in sample units:
// sample = (value − valueOffset) / valueScale, width / valueScale.
// A colour library's map over 0 to 1 or -1 to 1 is stretched over the window in force on a volume
// whose values reach beyond that range; on one whose values lie inside it, and for any other
// range, the preset's values are the volume's own.
TEST(WindowPresets, OnlyANormalisedPresetOnWiderValuesIsStretchedOverTheWindow) {
    const struct {
        double low, high;
        std::uint16_t volumeMin, volumeMax; // texels; values are texel · 0.001
        bool stretched;
    } cases[] = {
        {0.0, 1.0, 0, 3000, true},    {-1.0, 1.0, 0, 3000, true},
        {0.0, 1.0, 0, 1000, false},   // a volume of values from 0 to 1
        {0.0, 2.0, 0, 3000, false},   // not a normalised range
        {-1.0, 1.0, 500, 900, false}, // inside it
    };
    for (const auto& c : cases) {
        QVRenderer::VolumeState volume;
        volume.valueScale = 0.001;
        volume.texels = SampleStatistics::Summary{c.volumeMin, c.volumeMax, c.volumeMin, c.volumeMax};
        EXPECT_EQ(WindowPresets::stretchesOverTheWindow(c.low, c.high, volume), c.stretched)
            << c.low << " to " << c.high << " on " << c.volumeMin << " to " << c.volumeMax;
    }
    EXPECT_FALSE(WindowPresets::stretchesOverTheWindow(0.0, 1.0, QVRenderer::VolumeState{})); // not surveyed
}

TEST(WindowPresetFor, VolumeWithItsValueMap) {
    const struct {
        WindowPreset preset;
        double valueScale, valueOffset;
        bool hounsfield;
        std::optional<VolumeRecord::Window> fileWindow;
        std::optional<WindowPresets::SampleWindow> expected; // none: refused with a reason
    } cases[] = {
        {WindowPreset::Lung, 0.5, -1024.0, true, {}, {{848, 3000}}}, // a rescaled CT
        {WindowPreset::Brain, 1.0, 0.0, false, {}, {}},              // values that are not HU
        {WindowPreset::File, 2.0, 10.0, false, {{100, 50}}, {{45, 25}}},
        {WindowPreset::SoftTissue, 0.0, 0.0, true, {}, {}}, // a scale of zero
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "preset " << static_cast<int>(c.preset));
        QVRenderer::VolumeState volume;
        volume.valueScale = c.valueScale;
        volume.valueOffset = c.valueOffset;
        volume.hounsfield = c.hounsfield;
        volume.fileWindow = c.fileWindow;
        const auto window = WindowPresets::windowFor(c.preset, volume);
        if (!c.expected) {
            const QString* reason = std::get_if<QString>(&window);
            ASSERT_NE(reason, nullptr);
            EXPECT_FALSE(reason->isEmpty());
            continue;
        }
        const auto* chosen = std::get_if<WindowPresets::SampleWindow>(&window);
        ASSERT_NE(chosen, nullptr) << qPrintable(std::get<QString>(window));
        EXPECT_EQ(chosen->level, c.expected->level);
        EXPECT_EQ(chosen->width, c.expected->width);
    }
}

} // namespace
