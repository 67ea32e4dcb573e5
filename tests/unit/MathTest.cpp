#include "Math.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numbers>

namespace {

constexpr float kTolerance = 1.0e-5f;

void expectNear(const float4& actual, const float4& expected, const char* what) {
    EXPECT_NEAR(actual.x, expected.x, kTolerance) << what;
    EXPECT_NEAR(actual.y, expected.y, kTolerance) << what;
    EXPECT_NEAR(actual.z, expected.z, kTolerance) << what;
    EXPECT_NEAR(actual.w, expected.w, kTolerance) << what;
}

void expectNear(const float4x4& actual, const float4x4& expected, const char* what) {
    for (int c = 0; c < 4; ++c)
        expectNear(actual.columns[c], expected.columns[c], what);
}

TEST(Math, RotationIsTheIdentityAtZeroAndIgnoresTheAxisLength) {
    for (const float3 axis : {float3{1, 0, 0}, float3{1, 2, 3}, float3{-4, 0.5f, 2}})
        expectNear(rotationMatrix(0.0f, axis), matrix_identity_float4x4, "angle 0");
    expectNear(rotationMatrix(0.7f, {0, 2, 0}), rotationMatrix(0.7f, {0, 1, 0}), "(0, 2, 0)");
    expectNear(rotationMatrix(-1.3f, {3, 6, 9}), rotationMatrix(-1.3f, {1, 2, 3}), "(3, 6, 9)");
}

// Right-hand rule: a quarter turn about each axis carries the next axis onto the one after.
TEST(Math, QuarterTurnsAboutEachAxisFollowTheRightHandRule) {
    const float quarter = std::numbers::pi_v<float> / 2;
    const struct {
        float3 axis;
        float4 from, to;
    } cases[] = {
        {{1, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}},
        {{0, 1, 0}, {0, 0, 1, 0}, {1, 0, 0, 0}},
        {{0, 0, 1}, {1, 0, 0, 0}, {0, 1, 0, 0}},
    };
    for (const auto& c : cases)
        expectNear(rotationMatrix(quarter, c.axis) * c.from, c.to, "quarter turn");
}

TEST(Math, LookAtFromBehindTheOriginAlongZ) {
    const float4x4 view = lookAtMatrix({0, 0, -2}, {0, 0, 0}, {0, 1, 0});
    expectNear(view * float4{0, 0, -2, 1}, {0, 0, 0, 1}, "eye goes to the origin");
    expectNear(view * float4{0, 0, 0, 1}, {0, 0, 2, 1}, "target on +z");
    expectNear(view * float4{0, 1, 0, 0}, {0, 1, 0, 0}, "up stays up");
    expectNear(view * float4{1, 0, 0, 0}, {-1, 0, 0, 0}, "seen from behind, +x is on the left");
}

// Near and far go to depth 0 and 1; an aspect of two halves the x scale only.
TEST(Math, PerspectiveMapsNearAndFarToDepthZeroAndOne) {
    const float4x4 projection = perspectiveMatrix(0.785f, 1.0f, 0.1f, 10.0f);
    for (const auto& [z, depth] : {std::pair{0.1f, 0.0f}, std::pair{10.0f, 1.0f}}) {
        const float4 clip = projection * float4{0, 0, z, 1};
        EXPECT_NEAR(clip.w, z, kTolerance);
        EXPECT_NEAR(clip.z / clip.w, depth, kTolerance) << "view z " << z;
    }
    // The edge of the field of view (half of 0.785 up) lands on the top of clip space.
    const float4 edge = projection * float4{0, std::tan(0.785f / 2), 1, 1};
    EXPECT_NEAR(edge.y / edge.w, 1.0f, kTolerance);
    const float4x4 wide = perspectiveMatrix(0.785f, 2.0f, 0.1f, 10.0f);
    EXPECT_NEAR(wide.columns[0].x, projection.columns[0].x / 2, kTolerance);
    EXPECT_NEAR(wide.columns[1].y, projection.columns[1].y, kTolerance);
}

// The right-hand factor acts first: (A · B) · v = A · (B · v), and A · B differs from B · A.
TEST(Math, ProductAppliesTheRightFactorFirst) {
    const float4x4 a = rotationMatrix(0.9f, {1, 2, 3});
    float4x4 b = scaleMatrix({2, 0.5f, 3});
    expectNear(b * float4{1, 1, 1, 1}, {2, 0.5f, 3, 1}, "scale");
    b.columns[3] = {1, -2, 0.5f, 1};
    const float4 v{0.3f, -1.2f, 2.0f, 1.0f};
    expectNear((a * b) * v, a * (b * v), "(A B) v");
    const float4 reversed = (b * a) * v;
    EXPECT_GT(std::abs(reversed.x - ((a * b) * v).x), 0.1f);
}

} // namespace
