#pragma once

// Values the renderer hands to the shader pair. Their layout is fixed: Uniforms
// travels as a std140 uniform block at binding 1, the window pair at binding 2,
// and the vertex stage reads CubeVertex records by gl_VertexID.

#include "render/Math.h"

#include <array>
#include <cstddef>
#include <cstdint>

// A resource the shaders declare, by its name there, and the binding index the renderer
// sets it at. GLSL 4.1 cannot state bindings in the source, so the backend binds each name.
struct ShaderBinding {
    const char* name;
    std::size_t index;
};

// The uniform blocks: the proxy cube's vertices, the frame's Uniforms, the WindowPair and
// the MarchUniforms below.
inline constexpr std::array<ShaderBinding, 4> kUniformBlockBindings{
    {{"CubeVertices", 0}, {"Uniforms", 1}, {"WindowPair", 2}, {"MarchUniforms", 3}}};
// The fragment stage's textures: the brick atlas, the brick grid, the page table and the
// colour map.
inline constexpr std::array<ShaderBinding, 4> kTextureBindings{
    {{"uAtlas", 0}, {"uMaxGrid", 1}, {"uPageTable", 2}, {"uColourMap", 3}}};

struct CubeVertex {
    float4 position; // (x, y, z, 0) with each coordinate -0.5 or +0.5
    float4 texCoord; // (x + 0.5, y + 0.5, z + 0.5, 0)
};

struct alignas(16) Uniforms {
    float4x4 modelMatrix;
    float4x4 viewMatrix;
    float4x4 projectionMatrix;
    float4 cameraPosition;
    float4 intercept;            // upper clip values (xcept, ycept, zcept, 0) in texture coordinates
    float4 interceptBtm;         // lower clip values (xceptBtm, yceptBtm, zceptBtm, 0)
    std::uint8_t clutmode;       // 0 warm colour lookup, 1 grey
    std::uint8_t renderMode;     // a RenderMode: how the samples along a ray become a pixel
    std::uint8_t samplesPerStep; // samples per voxel step along a ray; 0 counts as 1
    std::uint8_t opacityFromMap; // 1: composited opacity from the colour map's alpha, not the window
    // Added to a texel to give the sample value in raw units: 0 for unsigned volumes,
    // -32768 for signed ones, which are stored offset by +32768 so the texture stays unsigned.
    std::int32_t sampleOffset;
    // The share of the light a composited surface facing away from the camera still shows;
    // 1 draws every sample in its lookup colour, unlit.
    float ambient;
    std::uint8_t reserved1[4];
};

// How the samples along a ray become a pixel: composited as lit, translucent material
// (the default), or projected as their maximum (vessels, bone, fluorescence), minimum
// (airways) or mean (a radiograph-like thick slab). The shaders know the same numbers.
enum class RenderMode : std::uint8_t { Composite = 0, Mip = 1, Minip = 2, Average = 3 };

// The display window as the shaders receive it: level first, then width, in raw units.
struct WindowPair {
    std::int32_t wl;
    std::int32_t ww;
};

// What the fragment stage needs beyond Uniforms, at binding 3: the box outside which
// nothing reaches into the display window (rays march only inside it), and where the
// brick pool keeps the volume.
struct alignas(16) MarchUniforms {
    float4 occupiedLow;  // texture coordinates; low > high on an axis when nothing can show;
                         // w 1 where rays skip by the brick grid, 0 where there is none
    float4 occupiedHigh; // w the brick grid's shift: its finest cells span kMaxGridCellSide · 2^w voxels
    float4 volumeSize;   // level-0 voxels per axis; w the frame's level of detail
    float4 atlasScale;   // 1 / the atlas's texels per axis; w unused
    float4 brick;      // x voxels per brick side, y texels per slot side, z bricks per level-0 voxel, w 1 / x
    float4 pageOrigin; // the page table's entry of the level's first brick; w unused
    // Texture coordinates of the slice views' planes along x, y, z, which the fragment
    // shader's SLICE_PLANES build stops composited rays on; w 1 where they are shown.
    float4 slicePlanes;
    // The runs of colour map entries that show through the opacity curve (OpacityRanges):
    // the first and the last entry of up to four runs; an unused run ends before it starts.
    float4 shownFirst;
    float4 shownLast;
};

static_assert(sizeof(CubeVertex) == 32);
static_assert(offsetof(CubeVertex, texCoord) == 16);
static_assert(sizeof(Uniforms) == 256);
static_assert(alignof(Uniforms) == 16);
static_assert(offsetof(Uniforms, modelMatrix) == 0);
static_assert(offsetof(Uniforms, viewMatrix) == 64);
static_assert(offsetof(Uniforms, projectionMatrix) == 128);
static_assert(offsetof(Uniforms, cameraPosition) == 192);
static_assert(offsetof(Uniforms, intercept) == 208);
static_assert(offsetof(Uniforms, interceptBtm) == 224);
static_assert(offsetof(Uniforms, clutmode) == 240);
static_assert(offsetof(Uniforms, renderMode) == 241);
static_assert(offsetof(Uniforms, samplesPerStep) == 242);
static_assert(offsetof(Uniforms, sampleOffset) == 244);
static_assert(offsetof(Uniforms, ambient) == 248);
static_assert(sizeof(WindowPair) == 8);
static_assert(sizeof(MarchUniforms) == 144);
static_assert(offsetof(MarchUniforms, occupiedHigh) == 16);
static_assert(offsetof(MarchUniforms, pageOrigin) == 80);
static_assert(offsetof(MarchUniforms, slicePlanes) == 96);
static_assert(offsetof(MarchUniforms, shownLast) == 128);
static_assert(offsetof(WindowPair, ww) == 4);
