#include "GpuTestBed.h"
#include "ImageMetrics.h"
#include "VolumeFileWriters.h"
#include "render/display/ColourMap.h"
#include "render/streaming/BrickGrid.h"
#include "volume/core/VolumeFile.h"
#include "volume/zarr/OmeZarrWriter.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

using namespace imagemetrics;

constexpr QColor kBackground = GpuTestBed::kBackground;
// After an import the window is −10 / 1300, so it spans −660 … 640 raw units: a ball of
// 300 sits at 0.74 of it, its surroundings of 0 at 0.51. Where the ball shows and how
// large: the frames against the CPU reference.

class RendererPixels : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(bed.create(QSize(128, 128)).toStdString(), "");
        // Below the window's lower edge (−660) the surroundings are transparent.
        ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&ball));
        bed.renderer->adoptPostedVolume();
    }

    GpuTestBed bed;
    const VolumeRecord ball = GpuTestBed::signedBall(64);
};

// A frame of an empty drawable presents nothing and leaves the renderer drawing; then the
// clear colour shows exactly where no ray meets the volume, and every frame drawn is presented.
TEST_F(RendererPixels, AnEmptyViewportDrawsNothingThenTheClearColourSurroundsTheBall) {
    bed.renderer->mtkView_drawableSizeWillChange(*bed.view, {128.0, 0.0});
    bed.view->draw(*bed.renderer);
    EXPECT_EQ(bed.view->presentedFrames(), 0);
    bed.renderer->mtkView_drawableSizeWillChange(*bed.view, {128.0, 128.0});
    const QImage image = bed.frame();
    EXPECT_TRUE(isForeground(image.pixel(64, 64), kBackground));
    for (const QPoint corner : {QPoint(0, 0), QPoint(127, 0), QPoint(0, 127), QPoint(127, 127)}) {
        EXPECT_EQ(image.pixel(corner), kBackground.rgb()) << corner.x() << "," << corner.y();
    }
    EXPECT_EQ(bed.view->presentedFrames(), bed.drawn);
}

// Seen small, the ball is drawn from its base level, whose page-table entries lie beside
// level 0's: it shows all the same.
TEST(RendererPixelsFromAfar, TheBaseLevelShowsTheBall) {
    GpuTestBed bed;
    ASSERT_EQ(bed.create(QSize(24, 24)).toStdString(), "");
    const VolumeRecord ball = GpuTestBed::signedBall(64);
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&ball));
    const QImage image = bed.frame();
    ASSERT_GT(bed.renderer->brickPool()->level(), 0u);
    EXPECT_TRUE(isForeground(image.pixel(12, 12), kBackground));
}

// The ball of 300 with a window two units wide: level 301 puts its lower edge on the value
// (transparent), level 300 one unit below it (half intensity: visible). Any error in
// recovering raw units from the texels and the sample offset shows as the wrong one of the
// two. Lower clip values cut from the other side than upper ones, and nothing shows where
// they pass them.
TEST_F(RendererPixels, RawValuesMeetTheWindowExactlyAndLowerClipValuesCutFromTheOtherSide) {
    bed.renderer->setWw(2);
    bed.renderer->setWl(301);
    EXPECT_EQ(foregroundCount(bed.frame(), kBackground), 0);
    bed.renderer->setWl(300);
    EXPECT_GT(foregroundCount(bed.frame(), kBackground), 1000);
    bed.renderer->setXceptBtm(0.5f);
    EXPECT_LT(foregroundCentroid(bed.frame(), kBackground).x(), 60.0);
    bed.renderer->setXceptBtm(0.6f);
    bed.renderer->setXcept(0.4f);
    EXPECT_EQ(foregroundCount(bed.frame(), kBackground), 0);
}

// Rays skip the cells of the brick grid whose range of values the opacity curve hides, not
// only those below the window's floor. A grid doctored to claim that every cell holds only 0,
// inside the window but below the band around the ball's 300, blanks the picture under the
// band and only there: the default map, opaque above the window's floor, marches such cells
// and shows the ball.
TEST_F(RendererPixels, CellsWhoseValuesTheCurveHidesAreSkipped) {
    const ColourMap band(QStringLiteral("Band"), {{0.0, 1.0, 1.0, 1.0}, {1.0, 1.0, 1.0, 1.0}},
                         {{0.0, 0.0}, {0.6, 0.0}, {0.74, 1.0}, {0.9, 0.0}, {1.0, 0.0}});
    bed.renderer->displayModel().setColourMap(band);
    EXPECT_GT(foregroundCount(bed.frame(), kBackground), 1000);

    const VolumeState& volume = bed.renderer->volumeState();
    const std::uint16_t claimed = 0 - ball.sampleOffset;
    for (std::size_t index = 0; index < BrickGrid::kLevels; ++index) {
        const BrickGrid::Level& level = volume.bricks->level(index);
        const std::vector<std::uint16_t> cells(2 * level.maxima.size(), claimed);
        ASSERT_TRUE(volume.brickTexture->replaceRegion({{0, 0, 0}, {level.width, level.height, level.depth}},
                                                       index, 0, cells.data(), 4 * level.width,
                                                       4 * level.width * level.height));
    }
    bed.renderer->displayModel().setColourMap(ColourMap::warmDefault());
    EXPECT_GT(foregroundCount(bed.frame(), kBackground), 1000);
    bed.renderer->displayModel().setColourMap(band);
    EXPECT_EQ(foregroundCount(bed.frame(), kBackground), 0);
}

// A store that holds its own coarse levels gets no survey and no pass over its level 0: its
// rays skip by the ranges of the bricks as they arrive (air cells known to hold air), and
// draw the picture of the same voxels surveyed in memory.
TEST(RendererStorePixels, AStoreHoldingItsLevelsSkipsByItsBricksAndShowsTheSurveyedPicture) {
    const VolumeRecord ball = GpuTestBed::signedBall(128);
    TestFolder folder;
    ASSERT_FALSE(OmeZarrWriter::write(ball, folder.path("ball.zarr")));
    const VolumeRecord store = volumeOf(VolumeFile::read(folder.path("ball.zarr")));
    ASSERT_GT(store.source->storedLevels(), 0u);
    // Seen small, both draw a coarse level: the store's grid then counts that level's voxels.
    for (const int side : {128, 32}) {
        SCOPED_TRACE(side);
        std::array<GpuTestBed, 2> beds;
        std::array<QImage, 2> pictures;
        for (std::size_t i = 0; i < beds.size(); ++i) {
            const VolumeRecord& volume = i == 0 ? ball : store;
            ASSERT_EQ(beds[i].create(QSize(side, side)).toStdString(), "");
            ASSERT_TRUE(beds[i].renderer->updateVolumeDataWithNRRDfmt(&volume));
            beds[i].renderer->adoptPostedVolume();
            // Air (−1000) below the window's floor, the ball (300) inside it; the window is set
            // in stored values, which the store's rescale maps to the same values as the ball's.
            beds[i].renderer->setWw(static_cast<std::int64_t>(std::lround(600 / volume.valueScale)));
            beds[i].renderer->setWl(
                static_cast<std::int64_t>(std::lround((200 - volume.valueOffset) / volume.valueScale)));
            pictures[i] = beds[i].frame();
        }
        const BrickGrid* grid = beds[1].renderer->volumeState().bricks.get();
        ASSERT_NE(grid, nullptr);
        EXPECT_EQ(grid->shift(), beds[1].renderer->brickPool()->level());
        EXPECT_EQ(grid->shift() > 0, side == 32);
        // Cells known to hold air alone, in the store's texels.
        const auto air = static_cast<std::uint16_t>(
            std::lround((-1000 - store.valueOffset) / store.valueScale - store.sampleOffset));
        EXPECT_GT(std::ranges::count_if(grid->level(0).maxima,
                                        [air](std::uint16_t maximum) { return maximum <= air; }),
                  0);
        EXPECT_GT(foregroundCount(pictures[1], kBackground), side * side / 16);
        EXPECT_LT(meanChannelDifference(pictures[1], pictures[0]), 0.5);
    }
}

// The OpenGL device itself, on the bed the renderer draws with.
using GlDevice = RendererPixels;

TEST_F(GlDevice, RefusesABrokenShaderWithItsCompilerLogAndATextureAboveTheLimitWithAReason) {
    const gpu::Function vertex{"vertexShader",
                               "#version 410 core\nvoid main() { gl_Position = undeclaredThing; }\n"};
    const gpu::Function fragment{"fragmentShader",
                                 "#version 410 core\nout vec4 c;\nvoid main() { c = vec4(1.0); }\n"};
    const gpu::RenderPipelineDescriptor descriptor{
        .label = "Broken", .vertexFunction = &vertex, .fragmentFunction = &fragment};
    std::string error;
    EXPECT_FALSE(bed.device->newRenderPipelineStateWithDescriptor(descriptor, &error));
    EXPECT_NE(error.find("undeclaredThing"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;

    const gpu::TextureDescriptor tooWide{.pixelFormat = gpu::PixelFormat::R16Uint,
                                         .width = bed.device->maxTexture3DSize() + 1};
    EXPECT_FALSE(bed.device->newTextureWithDescriptor(tooWide, &error));
    EXPECT_NE(error.find("limit"), std::string::npos) << error;
    EXPECT_GE(bed.device->maxTexture3DSize(), 512u);
}

// Clears a render-target texture to a colour, then the view, and copies the texture onto it.
struct ClearAndShow : MTKViewDelegate {
    void mtkView_drawableSizeWillChange(MTKView&, DrawableSize) override {}
    void drawInMTKView(MTKView& view) override {
        gpu::RenderPassDescriptor into{
            .colorTexture = texture, .width = 4, .height = 4, .clearColor = colour};
        gpu::CommandBuffer* commands = queue->commandBuffer();
        ASSERT_NE(commands, nullptr);
        // The view is cleared after the texture: only the copy can bring the colour to it.
        const gpu::RenderPassDescriptor* shown = view.currentRenderPassDescriptor();
        for (const gpu::RenderPassDescriptor* clear :
             {static_cast<const gpu::RenderPassDescriptor*>(&into), shown}) {
            gpu::RenderCommandEncoder* pass = commands->renderCommandEncoderWithDescriptor(*clear);
            ASSERT_NE(pass, nullptr);
            pass->endEncoding();
        }
        commands->blitCommandEncoder()->copyRenderTarget(into, *shown);
        commands->commit();
    }
    std::unique_ptr<gpu::CommandQueue> queue;
    const gpu::Texture* texture = nullptr;
    gpu::ClearColor colour;
};

// Render-target textures, more than the framebuffers kept for them, taking turns: each is
// drawn into itself every time, also once its framebuffer had to go.
TEST_F(GlDevice, RenderTargetTexturesTakingTurnsAreEachDrawnIntoThemselves) {
    ClearAndShow delegate;
    delegate.queue = bed.device->newCommandQueue();
    const gpu::TextureDescriptor target{.pixelFormat = gpu::PixelFormat::RGBA8Unorm,
                                        .textureType = gpu::TextureType::Type2D,
                                        .width = 4,
                                        .height = 4,
                                        .usage = gpu::TextureUsage::RenderTarget};
    std::string error;
    std::vector<std::shared_ptr<gpu::Texture>> textures;
    for (int i = 0; i < 6; ++i) {
        textures.push_back(bed.device->newTextureWithDescriptor(target, &error));
        ASSERT_TRUE(textures.back()) << error;
    }
    // There and back: the way back finds the framebuffers kept on the way there, then the
    // ones that had to go.
    for (int turn = 0; turn < 12; ++turn) {
        const QColor colour = QColor::fromHsv(turn * 30, 255, 255);
        delegate.texture = textures[static_cast<std::size_t>(turn < 6 ? turn : 11 - turn)].get();
        delegate.colour = {colour.redF(), colour.greenF(), colour.blueF(), 1.0};
        bed.view->draw(delegate);
        EXPECT_EQ(bed.view->grabImage().pixel(64, 64), colour.rgb()) << turn;
    }
}

// While a worker imports, frames go on drawing.
constexpr int kMinimumFrames = 200;
constexpr int kUpdates = 24;
// The worker waits for this many frames between two imports, so that they interleave.
constexpr int kFramesBetweenUpdates = 3;
constexpr int kMaximumFrames = 5000;
// Two frames of one state may differ by rounding only.
constexpr int kSameFrame = 2;

// A slab, to alternate with a ball of another size.
VolumeRecord slab() {
    VolumeRecord record = testvolumes::record(48, 24, 32, [](auto x, auto y, auto) {
        return static_cast<std::uint16_t>(x > 8 && x < 40 && y > 4 ? 1500 : 0);
    });
    record.sampleOffset = -1000;
    return record;
}

TEST(RendererHandOver, WorkerImportsWhileFramesDrawAndEveryFrameShowsAWholeVolume) {
    GpuTestBed bed;
    ASSERT_EQ(bed.create(QSize(96, 96)).toStdString(), "");
    // Two volumes that differ in size, proportions and content: any frame that mixed the
    // texture of one with the sizes of the other would match neither picture.
    const VolumeRecord first = GpuTestBed::signedBall(40), second = slab();
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&first));
    const QImage firstPicture = bed.frame();
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&second));
    const QImage secondPicture = bed.frame();
    ASSERT_GT(differingPixels(firstPicture, secondPicture), 500);

    std::atomic<int> framesDrawn{0};
    std::atomic<int> accepted{0};
    std::atomic<bool> workerDone{false};
    std::thread worker([&] {
        for (int update = 0; update < kUpdates; ++update) {
            const int due = framesDrawn + kFramesBetweenUpdates;
            while (framesDrawn < due && framesDrawn < kMaximumFrames) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            accepted += bed.renderer->updateVolumeDataWithNRRDfmt(update % 2 == 0 ? &first : &second) ? 1 : 0;
        }
        workerDone = true;
    });

    int showingFirst = 0, showingSecond = 0, mixed = 0;
    while ((!workerDone || framesDrawn < kMinimumFrames) && framesDrawn < kMaximumFrames) {
        const QImage picture = bed.frame();
        ++framesDrawn;
        if (differingPixels(picture, firstPicture, kSameFrame) == 0) {
            ++showingFirst;
        } else if (differingPixels(picture, secondPicture, kSameFrame) == 0) {
            ++showingSecond;
        } else {
            ++mixed;
        }
    }
    worker.join();

    EXPECT_EQ(accepted, kUpdates);
    EXPECT_EQ(mixed, 0);
    EXPECT_GT(showingFirst, 0);
    EXPECT_GT(showingSecond, 0);
}

} // namespace
