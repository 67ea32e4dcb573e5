#pragma once

#include "render/ShaderTypes.h"

#include <array>

// The proxy cube the renderer draws every frame: twelve triangles covering the cube of
// side 1 centred at the origin, whose texture coordinates run from 0 to 1 across the
// volume. Six vertices per face, corners A, B, C, C, D, A; opposite faces share the same
// corner order, so the winding differs between them and nothing may be culled.
namespace proxycube {

constexpr float kLow = -0.5f;
constexpr float kHigh = 0.5f;

constexpr CubeVertex corner(float x, float y, float z) {
    return {{x, y, z, 0.0f}, {x + 0.5f, y + 0.5f, z + 0.5f, 0.0f}};
}

inline constexpr std::array<CubeVertex, 36> kVertices{{
    // z = -0.5, corners in (x, y): A (+,-), B (-,-), C (-,+), D (+,+)
    corner(kHigh, kLow, kLow),
    corner(kLow, kLow, kLow),
    corner(kLow, kHigh, kLow),
    corner(kLow, kHigh, kLow),
    corner(kHigh, kHigh, kLow),
    corner(kHigh, kLow, kLow),
    // z = +0.5, the same corners
    corner(kHigh, kLow, kHigh),
    corner(kLow, kLow, kHigh),
    corner(kLow, kHigh, kHigh),
    corner(kLow, kHigh, kHigh),
    corner(kHigh, kHigh, kHigh),
    corner(kHigh, kLow, kHigh),
    // x = -0.5, corners in (y, z): A (-,-), B (+,-), C (+,+), D (-,+)
    corner(kLow, kLow, kLow),
    corner(kLow, kHigh, kLow),
    corner(kLow, kHigh, kHigh),
    corner(kLow, kHigh, kHigh),
    corner(kLow, kLow, kHigh),
    corner(kLow, kLow, kLow),
    // x = +0.5, the same corners
    corner(kHigh, kLow, kLow),
    corner(kHigh, kHigh, kLow),
    corner(kHigh, kHigh, kHigh),
    corner(kHigh, kHigh, kHigh),
    corner(kHigh, kLow, kHigh),
    corner(kHigh, kLow, kLow),
    // y = +0.5, corners in (x, z): A (+,-), B (-,-), C (-,+), D (+,+)
    corner(kHigh, kHigh, kLow),
    corner(kLow, kHigh, kLow),
    corner(kLow, kHigh, kHigh),
    corner(kLow, kHigh, kHigh),
    corner(kHigh, kHigh, kHigh),
    corner(kHigh, kHigh, kLow),
    // y = -0.5, the same corners
    corner(kHigh, kLow, kLow),
    corner(kLow, kLow, kLow),
    corner(kLow, kLow, kHigh),
    corner(kLow, kLow, kHigh),
    corner(kHigh, kLow, kHigh),
    corner(kHigh, kLow, kLow),
}};

static_assert(sizeof(kVertices) == 1152);

} // namespace proxycube
