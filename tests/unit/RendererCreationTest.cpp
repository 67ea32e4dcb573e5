#include "LogCapture.h"
#include "ProxyCube.h"
#include "RendererTestBed.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

const std::string kPipelineCall =
    "device.newRenderPipelineStateWithDescriptor(label=Simple Pipeline vertex=vertexShader "
    "fragment=fragmentShader pixelFormat=80 blending=1 rgbOp=0 alphaOp=0 srcRGB=4 srcAlpha=4 dstRGB=5 "
    "dstAlpha=5)";

bool isIdentity(const float4x4& m) {
    return std::memcmp(&m, &matrix_identity_float4x4, sizeof(m)) == 0;
}

// The voxels go up in slabs of 64 slices (32 MiB), so that a mapped file's pages can go
// back once uploaded; the brick grid built on the way follows, one mipmap level per grid
// level (64³ bricks of 8³ voxels, 463 slices padded to 64 bricks).
TEST(RendererCreation, BuildsPipelineQueueAndSampleTextureInOrder) {
    RendererTestBed bed;
    std::shared_ptr<const VolumeData> sample = testvolumes::sampleOfZeros();
    ASSERT_TRUE(sample);
    bed.create(sample);

    Calls expected{
        "device.newDefaultLibrary()",
        "library.newFunctionWithName(vertexShader)",
        "library.newFunctionWithName(fragmentShader)",
        kPipelineCall,
        "device.newCommandQueue()",
        "device.newTextureWithDescriptor(pixelFormat=23 type=7 size=512x512x463) = texture#1",
    };
    for (int z = 0; z < 463; z += 64) {
        expected.push_back("texture#1.replaceRegion(origin=0,0," + std::to_string(z) + " size=512x512x" +
                           std::to_string(std::min(64, 463 - z)) +
                           " level=0 slice=0 bytesPerRow=1024 bytesPerImage=524288)");
    }
    expected.push_back(
        "device.newTextureWithDescriptor(pixelFormat=23 type=7 size=64x64x64 levels=4) = texture#2");
    for (int level = 0, side = 64; level < 4; ++level, side /= 2) {
        const std::string size = std::to_string(side);
        expected.push_back("texture#2.replaceRegion(origin=0,0,0 size=" + size + "x" + size + "x" + size +
                           " level=" + std::to_string(level) +
                           " slice=0 bytesPerRow=" + std::to_string(2 * side) +
                           " bytesPerImage=" + std::to_string(2 * side * side) + ")");
    }
    EXPECT_EQ(bed.log->calls(), expected);
    EXPECT_EQ(bed.renderer->vdata(), sample);
}

TEST(RendererCreation, TakesTheViewsColourFormatForThePipeline) {
    RendererTestBed bed;
    bed.view.setColorPixelFormat(gpu::PixelFormat::RGBA8Unorm);
    bed.create();
    EXPECT_EQ(bed.log->callsStartingWith("device.newRenderPipelineStateWithDescriptor")
                  .at(0)
                  .find("pixelFormat=70"),
              kPipelineCall.find("pixelFormat="));
}

TEST(RendererCreation, StartsWithTheStartupDefaults) {
    RendererTestBed bed;
    bed.create(testvolumes::sampleOfZeros());
    const QVRenderer& r = *bed.renderer;

    EXPECT_EQ(r.wl(), 738);
    EXPECT_EQ(r.ww(), 1384);
    EXPECT_EQ(r.wlww().wl, 738);
    EXPECT_EQ(r.wlww().ww, 1384);
    EXPECT_EQ(r.clutmode(), 0);
    for (float value : {r.zoom(), r.xrot(), r.yrot(), r.zrot(), r.xceptBtm(), r.yceptBtm(), r.zceptBtm()}) {
        EXPECT_EQ(value, 0.0f);
    }
    for (float value : {r.xcept(), r.ycept(), r.zcept()}) {
        EXPECT_EQ(value, 1.0f);
    }
    EXPECT_TRUE(isIdentity(r.uniforms().modelMatrix));
    EXPECT_TRUE(isIdentity(r.uniforms().viewMatrix));
    EXPECT_TRUE(isIdentity(r.uniforms().projectionMatrix));
    const auto* rest = reinterpret_cast<const unsigned char*>(&r.uniforms().cameraPosition);
    EXPECT_EQ(std::vector<unsigned char>(rest, rest + 64), std::vector<unsigned char>(64, 0));

    const QVRenderer::VolumeState volume = r.volumeState();
    ASSERT_TRUE(volume.texture);
    EXPECT_EQ(volume.texture->width(), 512u);
    EXPECT_EQ(volume.texture->height(), 512u);
    EXPECT_EQ(volume.texture->depth(), 463u);
    EXPECT_EQ(volume.width, 512u);
    EXPECT_EQ(volume.height, 512u);
    EXPECT_EQ(volume.depth, 463u);
    EXPECT_EQ(volume.cellspaceX, 0.625f);
    EXPECT_EQ(volume.cellspaceY, 0.625f);
    EXPECT_EQ(volume.cellspaceZ, 1.0f);
    EXPECT_EQ(volume.sampleOffset, 0);
}

TEST(RendererCreation, CreationNotifiesNobody) {
    RendererTestBed bed;
    bed.create();
    EXPECT_TRUE(bed.log->callsStartingWith("notify").empty());
}

TEST(RendererCreation, ProxyCubeCoversTheUnitCubeFaceByFace) {
    // Per face: the fixed axis and its value, then corners A, B, C, D in the two free
    // coordinates (ascending axis order); vertices run A, B, C, C, D, A.
    struct Face {
        int axis;
        float value;
        float corners[4][2];
    };
    constexpr float h = 0.5f, l = -0.5f;
    const Face faces[] = {
        {2, l, {{h, l}, {l, l}, {l, h}, {h, h}}}, {2, h, {{h, l}, {l, l}, {l, h}, {h, h}}},
        {0, l, {{l, l}, {h, l}, {h, h}, {l, h}}}, {0, h, {{l, l}, {h, l}, {h, h}, {l, h}}},
        {1, h, {{h, l}, {l, l}, {l, h}, {h, h}}}, {1, l, {{h, l}, {l, l}, {l, h}, {h, h}}},
    };
    constexpr int kCornerOrder[6] = {0, 1, 2, 2, 3, 0};

    RendererTestBed bed;
    bed.create();
    const CubeVertex* vertices = bed.renderer->vertices();
    ASSERT_NE(vertices, nullptr);
    for (int f = 0; f < 6; ++f) {
        for (int k = 0; k < 6; ++k) {
            const CubeVertex& v = vertices[f * 6 + k];
            const float position[3] = {v.position.x, v.position.y, v.position.z};
            const float* corner = faces[f].corners[kCornerOrder[k]];
            float expected[3];
            expected[faces[f].axis] = faces[f].value;
            for (int axis = 0, free = 0; axis < 3; ++axis) {
                if (axis != faces[f].axis) {
                    expected[axis] = corner[free++];
                }
            }
            SCOPED_TRACE("vertex " + std::to_string(f * 6 + k));
            EXPECT_EQ(position[0], expected[0]);
            EXPECT_EQ(position[1], expected[1]);
            EXPECT_EQ(position[2], expected[2]);
            EXPECT_EQ(v.position.w, 0.0f);
            EXPECT_EQ(v.texCoord.x, expected[0] + 0.5f);
            EXPECT_EQ(v.texCoord.y, expected[1] + 0.5f);
            EXPECT_EQ(v.texCoord.z, expected[2] + 0.5f);
            EXPECT_EQ(v.texCoord.w, 0.0f);
        }
    }
}

// A failure while building the GPU objects leaves a renderer that only clears: one log
// line that names the cause, frames that still present and commit, and no draw.
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

    bed.log->clear();
    bed.frame();
    const std::vector<std::string> calls = bed.log->calls();
    EXPECT_EQ(bed.log->count("encoder.endEncoding()"), 1u);
    EXPECT_EQ(bed.log->count("commandBuffer.presentDrawable(drawable)"), 1u);
    EXPECT_EQ(bed.log->count("commandBuffer.commit()"), 1u);
    EXPECT_TRUE(bed.log->callsStartingWith("encoder.drawPrimitives").empty());
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
    EXPECT_TRUE(bed.log->callsStartingWith("device.newTextureWithDescriptor").empty());
    EXPECT_FALSE(bed.renderer->volumeState().texture);
    // The sizes and spacing of the record still give the frame its proportions.
    EXPECT_EQ(bed.renderer->volumeState().depth, 463u);

    bed.frame();
    EXPECT_EQ(bed.log->count("encoder.endEncoding()"), 1u);
    EXPECT_TRUE(bed.log->callsStartingWith("encoder.drawPrimitives").empty());
}

TEST(RendererCreation, ViewWithoutDeviceGivesARendererThatDrawsNothing) {
    RendererTestBed bed;
    bed.view.setDevice(nullptr);
    LogCapture capture;
    bed.create();
    EXPECT_EQ(capture.count(QStringLiteral("no GPU device")), 1);
    bed.frame();
    EXPECT_TRUE(bed.log->callsStartingWith("command").empty());
    EXPECT_EQ(bed.renderer->ww(), 1384);
}

} // namespace
