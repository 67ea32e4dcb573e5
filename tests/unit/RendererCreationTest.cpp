#include "LogCapture.h"
#include "RendererTestBed.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// The voxels go up in slabs of at most 32 MiB, each slice once, so that a mapped file's
// pages can go back once uploaded; the brick grid's levels follow as mipmap levels.
TEST(RendererCreation, UploadsTheSampleSlabBySlabAndItsBrickGridLevelByLevel) {
    RendererTestBed bed;
    bed.create(testvolumes::sampleOfZeros());

    const std::vector<recording::TextureRecord> textures = bed.device->textures();
    ASSERT_EQ(textures.size(), 2u);
    const recording::TextureRecord& volume = textures[0];
    EXPECT_EQ(volume.descriptor.width * volume.descriptor.height * volume.descriptor.depth, 512u * 512 * 463);
    std::size_t nextSlice = 0;
    for (const recording::Upload& upload : volume.uploads) {
        EXPECT_EQ(upload.region.origin.z, nextSlice);
        EXPECT_EQ(upload.region.size.width * upload.region.size.height, 512u * 512);
        EXPECT_LE(upload.bytesPerImage * upload.region.size.depth, 32u << 20);
        nextSlice += upload.region.size.depth;
    }
    EXPECT_EQ(nextSlice, 463u);
    const recording::TextureRecord& bricks = textures[1];
    EXPECT_EQ(bricks.descriptor.mipmapLevelCount, bricks.uploads.size());
    for (std::size_t level = 0; level < bricks.uploads.size(); ++level) {
        EXPECT_EQ(bricks.uploads[level].level, level);
        EXPECT_EQ(bricks.uploads[level].region.size.width, bricks.descriptor.width >> level);
    }
}

// A failure while building the GPU objects leaves a renderer that only clears: one log
// line that names the cause, frames that still clear the view, present and commit.
struct CreationFailure {
    const char* name;
    void (*arrange)(recording::Options&);
    const char* logged;
};

class RendererCreationFailure : public testing::TestWithParam<CreationFailure> {};

TEST_P(RendererCreationFailure, LogsTheCauseAndFramesShowOnlyTheClearColour) {
    RendererTestBed bed;
    GetParam().arrange(bed.device->options());
    LogCapture capture;
    bed.create(testvolumes::sampleOfZeros());
    EXPECT_EQ(capture.count(QString::fromLatin1(GetParam().logged)), 1)
        << capture.lines().join('\n').toStdString();

    const std::optional<recording::Frame> frame = bed.frame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->passes, (std::vector<recording::Target>{{0, 64, 64}}));
    EXPECT_TRUE(frame->draws.empty());
    EXPECT_TRUE(frame->committed);
    EXPECT_EQ(bed.view.drawable.presented(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    , RendererCreationFailure,
    testing::Values(
        CreationFailure{"NoLibrary", [](recording::Options& o) { o.libraryMissing = true; },
                        "no default shader library"},
        CreationFailure{"NoVertexFunction",
                        [](recording::Options& o) { o.missingFunctions = {"vertexShader"}; },
                        "lacks \"vertexShader\""},
        CreationFailure{"NoFragmentFunction",
                        [](recording::Options& o) { o.missingFunctions = {"fragmentShader"}; },
                        "lacks \"fragmentShader\""},
        CreationFailure{
            "PipelineDoesNotLink",
            [](recording::Options& o) { o.pipelineError = "0:12(3): error: `tex' undeclared"; },
            "render pipeline cannot be built; only the clear colour will show: 0:12(3): error: `tex' "
            "undeclared"},
        CreationFailure{"NoTexture", [](recording::Options& o) { o.textureError = "out of memory"; },
                        "cannot make a 512 x 512 x 463 texture: out of memory"},
        CreationFailure{"UploadFails", [](recording::Options& o) { o.uploadFails = true; },
                        "could not be uploaded"},
        CreationFailure{"SampleAboveTextureLimit", [](recording::Options& o) { o.maxTexture3DSize = 256; },
                        "the largest 3-D texture the GPU takes (256 voxels per side)"}),
    [](const testing::TestParamInfo<CreationFailure>& info) { return std::string(info.param.name); });

TEST(RendererCreation, MissingSampleVoxelsLeaveNoTextureAndFramesClear) {
    RendererTestBed bed;
    LogCapture capture;
    bed.create(testvolumes::sampleWithoutVoxels());
    EXPECT_EQ(capture.count(QStringLiteral("the volume is not shown: there is no voxel data")), 1);
    EXPECT_TRUE(bed.device->textures().empty());
    // The sizes and spacing of the record still give the frame its proportions.
    EXPECT_EQ(bed.renderer->volumeState().depth, 463u);

    const std::optional<recording::Frame> frame = bed.frame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->passes.size(), 1u);
    EXPECT_TRUE(frame->draws.empty());
}

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
