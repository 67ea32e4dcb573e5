#include "render/streaming/BrickPool.h"

#include <gtest/gtest.h>

namespace {

// Which shapes a GPU of 2048 texels per side can hold, told from the shape alone before
// the volume on show is replaced: rows, slices and tall stacks that fit are accepted.
TEST(VolumeShape, OnlyShapesWhosePageTableExceedsTheTextureAreRefused) {
    const struct {
        std::uint64_t width, height, depth;
        const char* refusal; // nullptr: accepted
    } shapes[] = {{512, 512, 1, nullptr},
                  {4096, 1, 1, nullptr},
                  {8, 8, 20000, nullptr},
                  {512, 512, 40000, nullptr}, // levels stacked along x: a page table of 32 x 16 x 1250
                  {512, 512, 70000, "page table needs 33 x 16 x 2188 entries"},
                  {1, 1, 600000, "too long for this GPU"},
                  {1u << 26, 1, 1, "too long for this GPU"}};
    for (const auto& shape : shapes) {
        const std::optional<QString> refusal =
            BrickPool::refusal({shape.width, shape.height, shape.depth}, BrickPool::Budgets{}, 2048);
        ASSERT_EQ(refusal.has_value(), shape.refusal != nullptr) << shape.depth;
        EXPECT_TRUE(!refusal || refusal->contains(QString::fromLatin1(shape.refusal))) << shape.refusal;
    }
}

} // namespace
