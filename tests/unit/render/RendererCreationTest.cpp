#include "LogCapture.h"
#include "RendererTestBed.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

// The sample goes up brick by brick, each into a whole slot of the atlas, never more
// bytes in one frame than the budget allows, until the view has all it needs; the brick
// grid follows as mipmap levels once surveyed.
TEST(RendererCreation, StreamsTheSampleIntoAtlasSlotsWithinTheBudgetOfEachFrame) {
    RendererTestBed bed;
    bed.create(testvolumes::sampleOfZeros());
    const BrickPool& pool = *bed.renderer->brickPool();
    const std::uint64_t side = pool.layout().slotSide();
    const std::uint64_t budget = bed.renderer->budgets().uploadBytesPerFrame;

    std::size_t uploaded = 0;
    while ((!pool.complete() || !bed.renderer->volumeState().brickTexture) && bed.frames < 20000) {
        bed.frame();
        const recording::TextureRecord atlas = bed.device->texture(*pool.atlas());
        std::uint64_t bytes = 0;
        for (std::size_t i = uploaded; i < atlas.uploads.size(); ++i) {
            const gpu::Region& region = atlas.uploads[i].region;
            EXPECT_EQ(region.size.width * region.size.height * region.size.depth, side * side * side);
            EXPECT_EQ(region.origin.x % side + region.origin.y % side + region.origin.z % side, 0u);
            bytes += atlas.uploads[i].bytesPerImage * region.size.depth;
        }
        EXPECT_LE(bytes, budget);
        uploaded = atlas.uploads.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(pool.complete());
    // Zeros lie below the start-up window: only the atlas's zero slot and the base level go up.
    EXPECT_EQ(uploaded, 1 + pool.layout().brickCount(pool.layout().baseLevel()));
    // The atlas holds what went up, and at most one layer of slots more.
    const std::uint64_t layers = pool.atlas()->depth() / side;
    EXPECT_LT(pool.capacity() - pool.residentCount(), pool.capacity() / layers);
    const recording::TextureRecord grid = bed.device->texture(*bed.renderer->volumeState().brickTexture);
    EXPECT_EQ(grid.descriptor.mipmapLevelCount, grid.uploads.size());
}

// A failure while building the GPU objects, or a record without voxels, leaves a renderer
// that only clears: one log line that names the cause, frames that still clear the view,
// present and commit.
struct CreationFailure {
    const char* name;
    recording::Options options;
    const char* logged;
    bool voxels = true;
};

class RendererCreationFailure : public testing::TestWithParam<CreationFailure> {};

TEST_P(RendererCreationFailure, LogsTheCauseAndFramesShowOnlyTheClearColour) {
    RendererTestBed bed;
    bed.device->options() = GetParam().options;
    LogCapture capture;
    bed.create(GetParam().voxels ? testvolumes::sampleOfZeros() : testvolumes::sampleWithoutVoxels());
    if (!GetParam().voxels) {
        EXPECT_TRUE(bed.device->textures().empty());
    }
    std::optional<recording::Frame> frame;
    // Until the cause shows: at once, or once the base level's bricks are read and offered.
    const QString logged = QString::fromLatin1(GetParam().logged);
    for (int i = 0; i < 5000 && (i == 0 || capture.count(logged) == 0); ++i) {
        frame = bed.frame();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(capture.count(logged), 1) << capture.lines().join('\n').toStdString();

    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->passes, (std::vector<recording::Target>{{0, 64, 64}}));
    EXPECT_TRUE(frame->draws.empty());
    EXPECT_TRUE(frame->committed);
    EXPECT_EQ(bed.view.drawable.presented(), bed.frames);
}

INSTANTIATE_TEST_SUITE_P(
    , RendererCreationFailure,
    testing::Values(
        CreationFailure{"NoLibrary", {.libraryMissing = true}, "no default shader library"},
        CreationFailure{"NoVertexFunction", {.missingFunctions = {"vertexShader"}}, "lacks \"vertexShader\""},
        CreationFailure{
            "NoFragmentFunction", {.missingFunctions = {"fragmentShader"}}, "lacks \"fragmentShader\""},
        CreationFailure{"PipelineDoesNotLink",
                        {.pipelineError = "`tex' undeclared"},
                        "render pipeline cannot be built; only the clear colour will show: `tex' undeclared"},
        CreationFailure{"NoTexture", {.textureError = "out of memory"}, "cannot make the brick atlas"},
        CreationFailure{
            "AtlasAboveTextureLimit", {.maxTexture3DSize = 16}, "cannot hold the volume's coarsest level"},
        CreationFailure{"NoVoxelData", {}, "the volume is not shown: there is no voxel data", false}),
    [](const testing::TestParamInfo<CreationFailure>& row) { return std::string(row.param.name); });

TEST(RendererCreation, ViewWithoutDeviceGivesARendererThatDrawsNothing) {
    RendererTestBed bed;
    bed.view.gpu = nullptr;
    LogCapture capture;
    bed.create();
    EXPECT_EQ(capture.count(QStringLiteral("no GPU device")), 1);
    EXPECT_FALSE(bed.frame());
    EXPECT_EQ(bed.renderer->ww(), 1384);
}

} // namespace
