#pragma once

#include "render/Math.h"
#include "render/streaming/ShownTexels.h"

#include <array>
#include <cstdint>

// What a frame shows of the volume, as far as the choice of bricks goes.
struct BrickView {
    float4x4 viewProjection = matrix_identity_float4x4; // world to clip space
    std::array<float, 3> scale{1.0f, 1.0f, 1.0f};       // world length of the volume's sides
    std::array<float, 3> camera{};                      // world position; the volume's centre is 0
    float projectionScale = 1.0f;                       // cot(field of view / 2)
    std::uint32_t viewportHeight = 1;
    std::array<float, 3> clipLow{0.0f, 0.0f, 0.0f}, clipHigh{1.0f, 1.0f, 1.0f}; // texture coordinates
    ShownTexels shown{};

    bool operator==(const BrickView&) const = default;
};
