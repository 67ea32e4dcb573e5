#include "RendererTestBed.h"

#include <gtest/gtest.h>

namespace {

// Which shapes a GPU of 2048 texels per side can hold, told from the shape alone before
// the volume on show is replaced; those of a few million voxels that fit are drawn too.
TEST(VolumeShape, OnlyShapesBeyondTheTexturesAreRefusedAndDegenerateOnesThatFitAreDrawn) {
    const struct {
        std::uint32_t width, height, depth;
        const char* refusal; // nullptr: accepted
    } shapes[] = {{512, 512, 1, nullptr},
                  {4096, 1, 1, nullptr},
                  {8, 8, 20000, nullptr},
                  {512, 512, 40000, nullptr}, // levels stacked along x: a page table of 32 x 16 x 1250
                  {512, 512, 70000, "page table needs 33 x 16 x 2188 entries"},
                  {1, 1, 600000, "too long for this GPU"},
                  {1u << 26, 1, 1, "too long for this GPU"}};
    for (const auto& shape : shapes) {
        SCOPED_TRACE(testing::Message() << shape.width << " x " << shape.height << " x " << shape.depth);
        const std::optional<QString> refusal =
            BrickPool::refusal({shape.width, shape.height, shape.depth}, BrickPool::Budgets{}, 2048);
        ASSERT_EQ(refusal.has_value(), shape.refusal != nullptr) << refusal.value_or(QString()).toStdString();
        EXPECT_TRUE(!refusal || refusal->contains(QString::fromLatin1(shape.refusal))) << shape.refusal;
        if (refusal || std::uint64_t{shape.width} * shape.height * shape.depth > (1u << 21))
            continue;
        CreatedRendererTestBed bed;
        const NRRDfmt record = testvolumes::record(shape.width, shape.height, shape.depth,
                                                   [](auto x, auto y, auto z) { return (x + y + z) % 2000; });
        ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&record));
        const std::optional<recording::Frame> frame = bed.settledFrame();
        ASSERT_NE(bed.renderer->brickPool(), nullptr);
        EXPECT_TRUE(bed.renderer->brickPool()->complete());
        EXPECT_TRUE(frame && frame->draws.size() == 1);
    }
}

} // namespace
