#include "ProxyCube.h"
#include "RendererTestBed.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

template <typename T> std::vector<std::byte> bytesOf(const T& value) {
    std::vector<std::byte> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

TEST(RendererDraw, DrawAEncodesOneDrawOfTheCubeAndPresents) {
    RendererTestBed bed;
    bed.create(testvolumes::sampleOfZeros());
    bed.log->clear();

    bed.renderer->DrawA(bed.view);

    EXPECT_EQ(bed.log->calls(), (Calls{
                                    "commandQueue.commandBuffer()",
                                    "commandBuffer.setLabel(MyCommand)",
                                    "commandBuffer.renderCommandEncoderWithDescriptor(64x64)",
                                    "encoder.setLabel(MyRenderEncoder)",
                                    "encoder.setRenderPipelineState(Simple Pipeline)",
                                    "device.newBufferWithBytes(length=1152 options=0)",
                                    "encoder.setVertexBuffer(length=1152 offset=0 index=0)",
                                    "encoder.setVertexBytes(length=256 index=1)",
                                    "encoder.setVertexBytes(length=8 index=2)",
                                    "encoder.setFragmentTexture(texture#1 index=0)",
                                    "encoder.drawPrimitives(type=3 start=0 count=36)",
                                    "encoder.endEncoding()",
                                    "commandBuffer.presentDrawable(drawable)",
                                    "commandBuffer.commit()",
                                }));
}

TEST(RendererDraw, DrawAHandsOverTheCubeUniformsAndWindowByteForByte) {
    RendererTestBed bed;
    bed.create(testvolumes::sampleOfZeros());
    bed.frame();

    const recording::LastDraw draw = bed.device->lastDraw();
    EXPECT_EQ(draw.vertexBuffer, bytesOf(proxycube::kVertices));
    EXPECT_EQ(draw.uniforms, bytesOf(bed.renderer->uniforms()));
    EXPECT_EQ(draw.windowPair, bytesOf(bed.renderer->wlww()));
    EXPECT_EQ(draw.textureId, 1);
    EXPECT_EQ(draw.vertexCount, 36u);
}

TEST(RendererDraw, WithoutRenderPassDescriptorAnEmptyCommandBufferIsCommitted) {
    RendererTestBed bed;
    bed.create(testvolumes::sampleOfZeros());
    bed.view.setHasRenderPass(false);
    bed.log->clear();

    bed.renderer->DrawA(bed.view);

    EXPECT_EQ(bed.log->calls(), (Calls{
                                    "commandQueue.commandBuffer()",
                                    "commandBuffer.setLabel(MyCommand)",
                                    "commandBuffer.commit()",
                                }));
}

struct SizeCase {
    double width, height;
    std::uint32_t expectedWidth, expectedHeight;
};

class RendererDrawableSize : public testing::TestWithParam<SizeCase> {};

TEST_P(RendererDrawableSize, StoresWholePixelsTruncated) {
    RendererTestBed bed;
    bed.create();
    bed.renderer->mtkView_drawableSizeWillChange(bed.view, {GetParam().width, GetParam().height});
    EXPECT_EQ(bed.renderer->viewportSize().width, GetParam().expectedWidth);
    EXPECT_EQ(bed.renderer->viewportSize().height, GetParam().expectedHeight);
}

constexpr std::uint32_t kMaxPixels = std::numeric_limits<std::uint32_t>::max();

INSTANTIATE_TEST_SUITE_P(, RendererDrawableSize,
                         testing::Values(SizeCase{1023.9, 767.5, 1023, 767},
                                         SizeCase{600.0, 1200.0, 600, 1200}, SizeCase{0.99, 0.0, 0, 0},
                                         // Sizes no drawable has: nothing wraps around or overflows.
                                         SizeCase{-3.0, std::nan(""), 0, 0},
                                         SizeCase{1.0e12, std::numeric_limits<double>::infinity(), kMaxPixels,
                                                  kMaxPixels}));

} // namespace
