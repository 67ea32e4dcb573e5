#include "render/streaming/BrickVisibility.h"

#include "render/streaming/BrickMaxima.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

// 64³ voxels in bricks of 8: level 0 has 8³ bricks, level 1 (the base) 4³.
const BrickLayout kLayout({64, 64, 64}, 8);

struct Visibility {
    const char* name;
    float clipHighX = 1.0f;
    float shiftX = 0.0f;
    std::int64_t threshold = -1;
    bool hotCorner = false;    // maxima known: all 50 but brick (3, 3, 3), 200
    std::uint64_t room = 1000; // slots beside the base level
    std::uint32_t viewportHeight = 512;
    std::uint32_t level = 0;
    std::size_t needed = 0;
};

TEST(BrickVisibility, NeedsTheBricksTheRaysCanMeetNearestFirst) {
    const Visibility cases[] = {
        {.name = "AllInView", .needed = 512},
        {.name = "OutsideTheClipBox", .clipHighX = 0.5f, .needed = 256},
        // Clip x beyond w from world x > -0.3 on: the two columns of bricks at
        // x < -0.25 remain.
        {.name = "OutsideTheFrustum", .shiftX = 1.3f, .needed = 128},
        // Only the hot brick's neighbourhood can reach above the window.
        {.name = "BelowTheWindowWithAllNeighbours", .threshold = 100, .hotCorner = true, .needed = 27},
        {.name = "UnknownMaximaMayShow", .threshold = 100, .needed = 512},
        {.name = "MinimumAndMeanNeedEverything", .threshold = -1, .hotCorner = true, .needed = 512},
        // 512 bricks do not fit 511 slots: the base level's 64 do.
        {.name = "CoarserWhenTheAtlasIsTooSmall", .room = 511, .level = 1, .needed = 64},
        // A pixel spans 2 level-0 voxels at the centre.
        {.name = "CoarserWhenPixelsAreLarge", .viewportHeight = 64, .level = 1, .needed = 64},
    };
    for (const Visibility& c : cases) {
        SCOPED_TRACE(c.name);
        BrickMaxima maxima(kLayout);
        for (std::uint64_t index = 0; c.hotCorner && index < kLayout.brickCount(0); ++index) {
            const BrickKey key = kLayout.key(0, index);
            maxima.set(key, key.brick == std::array<std::uint32_t, 3>{3, 3, 3} ? 200 : 50);
        }
        // Clip space is the world moved by (shiftX, 0, 1): the volume ([-0.5, 0.5]³) lies in
        // front of the near plane, inside the frustum unless shifted sideways.
        BrickView view{.camera = {0.0f, 0.0f, -2.0f},
                       .viewportHeight = c.viewportHeight,
                       .clipHigh = {c.clipHighX, 1.0f, 1.0f},
                       .threshold = c.threshold};
        view.viewProjection.columns[3] = {c.shiftX, 0.0f, 1.0f, 1.0f};

        NeededBricks needed;
        chooseLevel(kLayout, view, maxima, c.room, needed);
        EXPECT_EQ(needed.level, c.level);
        ASSERT_EQ(needed.bricks.size(), c.needed);
        float last = 0.0f;
        for (const BrickKey& key : needed.bricks) {
            const auto box = kLayout.textureBox(key);
            EXPECT_LT(box[0][0], c.clipHighX);
            float distance = 0.0f; // from the camera, at (0.5, 0.5, -1.5) in texture coordinates
            for (std::size_t axis = 0; axis < 3; ++axis)
                distance += std::pow(0.5f * (box[0][axis] + box[1][axis]) - (axis == 2 ? -1.5f : 0.5f), 2.0f);
            EXPECT_GE(distance, last - 1e-5f);
            last = distance;
        }
    }
}

} // namespace
