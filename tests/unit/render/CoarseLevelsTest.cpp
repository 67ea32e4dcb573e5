#include "render/streaming/CoarseLevels.h"

#include "render/streaming/BrickLoader.h"
#include "volume/core/VolumeSource.h"

#include <QTest>
#include <functional>
#include <gtest/gtest.h>

namespace {

using Size = std::array<std::uint64_t, 3>;
using Texel = std::function<std::uint16_t(std::uint64_t, std::uint64_t, std::uint64_t)>;

// Texels of a function of the voxel; slices from `failFrom` on cannot be read.
struct FunctionSource final : VolumeSource {
    FunctionSource(Texel function, std::uint64_t unreadableFrom = ~std::uint64_t{0})
        : texel(std::move(function)), failFrom(unreadableFrom) {}
    bool readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override {
        for (std::uint64_t i = 0; i < count; ++i) {
            out[i] = texel(x + i, y, z);
        }
        return z < failFrom;
    }
    Texel texel;
    std::uint64_t failFrom;
};

std::uint64_t levelBytes(const BrickLayout& layout, std::uint32_t level) {
    const Size& voxels = layout.voxels(level);
    return voxels[0] * voxels[1] * voxels[2] * sizeof(std::uint16_t);
}

// Level 1 voxels are the means of the 2 × 2 × 2 level-0 voxels they cover whichever way
// they are made, so its bricks from the pass equal those read from rows for any texels.
// Texels constant over aligned pairs of voxels, and linear across them, make level 1 the
// pairs' values and level 2 their exact means both ways too (rows take the 2 × 2 × 2
// voxels at a coarse voxel's centre, one from each pair). Odd sides repeat their edge.
TEST(CoarseLevels, BricksOfThePassEqualThoseReadFromRows) {
    const std::pair<const char*, Texel> fields[] = {
        {"noise",
         [](auto x, auto y, auto z) {
             return static_cast<std::uint16_t>((x * 7919 + y * 104729 + z * 1299709) % 65521);
         }},
        {"pairs",
         [](auto x, auto y, auto z) {
             return static_cast<std::uint16_t>(8 * (x / 2) + 16 * (y / 2) + 32 * (z / 2));
         }},
    };
    for (const Size size : {Size{64, 64, 64}, Size{67, 41, 45}}) {
        for (const auto& [name, field] : fields) {
            const auto source = std::make_shared<FunctionSource>(field);
            const BrickLayout layout(size, 4); // levels 0 to 2, the base
            const std::unique_ptr<CoarseLevels> coarse =
                CoarseLevels::start(source, layout, ~std::uint64_t{0});
            ASSERT_TRUE(coarse);
            ASSERT_EQ(coarse->firstKept(), 1u);
            ASSERT_TRUE(QTest::qWaitFor([&] { return coarse->finished(); }, 30000));
            // The grid surveyed on the way is the one of all the slices at once.
            std::vector<std::uint16_t> texels(size[0] * size[1] * size[2]);
            for (std::uint64_t z = 0; z < size[2]; ++z) {
                source->readRows(0, 0, z, size[0], size[1], texels.data() + z * size[0] * size[1]);
            }
            BrickGrid whole(size[0], size[1], size[2]);
            whole.addSlices(reinterpret_cast<const std::byte*>(texels.data()), 0, size[2]);
            whole.finish();
            ASSERT_TRUE(coarse->grid());
            EXPECT_EQ(coarse->grid()->level(0).maxima, whole.level(0).maxima) << name;
            for (std::uint32_t level = 1; level <= (std::string(name) == "pairs" ? 2u : 1u); ++level) {
                for (std::uint64_t index = 0; index < layout.brickCount(level); ++index) {
                    const BrickKey key = layout.key(level, index);
                    ASSERT_TRUE(coarse->ready(key));
                    const std::optional<BrickTexels> fromPass = coarse->build(key);
                    const std::optional<BrickTexels> fromRows = buildBrick(*source, layout, size, key);
                    ASSERT_TRUE(fromPass && fromRows);
                    EXPECT_EQ(fromPass->key, key);
                    EXPECT_EQ(fromPass->maximum, fromRows->maximum);
                    ASSERT_EQ(fromPass->texels, fromRows->texels)
                        << name << " " << size[0] << "x" << size[1] << "x" << size[2] << " level " << level
                        << " brick " << index;
                }
            }
        }
    }
}

// The levels kept are the finest that fit the budget together with every coarser one.
TEST(CoarseLevels, KeepsTheFinestLevelsThatFitTheBudgetWithAllCoarserOnes) {
    const Size size{64, 48, 40};
    const BrickLayout layout(size, 4); // levels 0 to 2, the base
    const auto source = std::make_shared<FunctionSource>([](auto, auto, auto) { return std::uint16_t{1}; });
    std::uint64_t fromLevel2 = 0;
    for (std::uint32_t level = 2; level < layout.levelCount(); ++level) {
        fromLevel2 += levelBytes(layout, level);
    }
    EXPECT_EQ(CoarseLevels::start(source, layout, fromLevel2)->firstKept(), 2u);
    EXPECT_EQ(CoarseLevels::start(source, layout, fromLevel2 + levelBytes(layout, 1) - 1)->firstKept(), 2u);
    EXPECT_EQ(CoarseLevels::start(source, layout, fromLevel2 + levelBytes(layout, 1))->firstKept(), 1u);
    EXPECT_FALSE(CoarseLevels::start(source, layout, levelBytes(layout, layout.levelCount() - 1) - 1));
}

// A slice the pass cannot read stops it: what it made before stays, the bricks it did not
// reach no longer wait for it, and the loader reads them from the rows (which fail too).
TEST(CoarseLevels, AnUnreadableSliceStopsThePassAndItsBricksAreReadFromRows) {
    const Size size{32, 32, 64};
    const BrickLayout layout(size, 8); // levels 0 and 1, the base
    const auto source = std::make_shared<FunctionSource>(
        [](auto, auto, auto z) { return static_cast<std::uint16_t>(z); }, 34);
    const std::shared_ptr<CoarseLevels> coarse = CoarseLevels::start(source, layout, ~std::uint64_t{0});
    ASSERT_TRUE(QTest::qWaitFor([&] { return coarse->failed(); }, 30000));
    EXPECT_FALSE(coarse->finished());
    EXPECT_FALSE(coarse->grid());
    // The pass made level-1 slices 0 to 16; the slot of brick 1 ends at slice 17.
    const BrickKey below{1, {0, 0, 0}};
    const BrickKey beyond{1, {0, 0, 1}};
    EXPECT_TRUE(coarse->ready(below));
    EXPECT_FALSE(coarse->ready(beyond));
    EXPECT_FALSE(coarse->awaits(beyond));

    BrickLoader loader(source, layout, size, 1, std::uint64_t{1} << 20, coarse);
    loader.wish({below, beyond});
    ASSERT_TRUE(QTest::qWaitFor([&] { return loader.failed(); }, 30000));
    const std::optional<BrickTexels> arrived = loader.take();
    ASSERT_TRUE(arrived);
    EXPECT_EQ(arrived->key, below);
    EXPECT_EQ(arrived->texels, coarse->build(below)->texels);
}

} // namespace
