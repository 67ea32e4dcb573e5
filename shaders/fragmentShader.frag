#version 410 core

// Fragment stage of the volume rendering: marches the ray from the camera through this
// fragment across the clipped volume, front to back, and composites what it meets.
//
// The backend binds the sampler named TextureN to texture index N and the uniform block
// named BufferN to index N. The volume's 16-bit texels arrive normalised and filtered
// trilinearly; times 65535 they are raw units again.
//
// The volume lives in a brick pool: bricks of its levels of detail in the slots of an
// atlas, each slot the brick and two voxels more on every side, so that a trilinear
// sample up to a voxel outside a brick reads its own slot only. The page table tells, for
// each brick of the frame's level, which slot to read and which level that slot holds (a
// coarser one until the brick itself arrives), or, where the brick and its neighbours lie
// below the window, the atlas's first slot, whose zero texels lie at or below the
// window's floor too.
//
// Four rendering modes share the set-up of the ray and its lattice; each has a short
// loop of its own. Composite gathers lit, translucent material front to back. The
// projections (maximum, minimum, mean of the samples, then windowed) draw every ray
// that crosses the clip box opaque, as a radiograph shows its whole field. The program
// is built twice: as it stands it composites only; with PROJECTIONS defined it projects
// alone, in the mode the vertex stage hands over.
//
// Empty space costs little: in composite and maximum mode rays march only inside the
// box around every brick that reaches into the window, and there a ray leaves each brick
// whose largest texel cannot change the result (below the window; in maximum mode also
// below the largest sample the ray has met) without sampling it, in steps of up to 64
// voxels where the coarser levels of the brick grid qualify too. A brick's maximum covers
// every voxel a trilinear sample inside it can blend, and the samples that are taken lie
// where they would lie without skipping. Minimum and mean need every sample, below the
// window too: they march the whole clip box; the minimum stops at the window's floor.
//
// Surfaces without wood-grain rings: samples lie on a lattice along each ray whose start
// is shifted per pixel by a hash of the pixel (white noise, the same in every frame, so
// a still picture stays still). A step between two samples is gathered at its middle
// where the window level runs nearly linearly; across an edge, where a trilinear rise of
// a voxel or two hides inside one step, the step is read again in parts. The shade a
// surface gives the material behind it follows the light half way per voxel step, so it
// does not hang on the gradient at the one lattice point where the ray happened to stop.

// The brick atlas.
uniform sampler3D Texture0;
// The brick grid: level n holds the largest texel of each brick of 8 · 2^n voxels (widened
// by one voxel on every side), read with texelFetch.
uniform sampler3D Texture1;
// The page table: per brick, the slot's place in the atlas (x, y, z) and the level it
// holds (w), 16-bit unsigned normalised, read with texelFetch.
uniform sampler3D Texture2;

layout(std140) uniform Buffer3 {
    vec4 occupiedLow;  // texture coordinates of the box around everything that can show;
                       // w 1 where the brick grid is there to skip by
    vec4 occupiedHigh;
    vec4 volumeSize;   // level-0 voxels per axis; w the frame's level of detail
    vec4 atlasScale;   // 1 / atlas texels per axis; w unused
    vec4 brick;        // x voxels per brick side, y texels per slot side, z bricks per level-0 voxel, w 1 / x
    vec4 pageOrigin;   // the page table's entry of the level's first brick; w unused
} march;

in vec3 vTexPoint;
flat in vec3 vCameraTex;
flat in vec3 vModelScale;
flat in vec3 vClipLow;
flat in vec3 vClipHigh;
flat in vec2 vWindow;
flat in float vSampleOffset;
flat in int vClutmode;
flat in int vRenderMode;
flat in int vSamplesPerStep;

out vec4 fragColor;

const float kTexelScale = 65535.0;
// A ray stops once what it has gathered hides everything behind it.
const float kOpaque = 0.99;
// Extinction per unit of world length (the longest side of the volume is 1) at the top
// of the window: tissue at the start-up window turns opaque within a few voxels, values
// low in the window stay translucent.
const float kDensity = 650.0;
// Samples whose opacity over one voxel step stays below this are composited without
// shading: they barely show. The first sample above it marks a surface.
const float kShadeThreshold = 0.02;
const float kAmbient = 0.25;
// Over this many steps behind the start of a ray the material counts as a cut face.
const float kCutDepth = 3.0;
// A step whose windowed intensity changes by more than this crosses an edge; it is
// gathered in kEdgeParts parts.
const float kEdgeChange = 0.015;
const int kEdgeParts = 4;
// Behind a surface the shade moves this share of the way to the light per voxel step.
const float kShadeFollow = 0.5;
// A change of this share of the window width per voxel counts as a surface to be lit.
const float kSurfaceContrast = 0.05;
const float kTiny = 1e-8;
const int kBrickSide = 8;

const int kClutGrey = 1;
const int kModeComposite = 0;
const int kModeMip = 1;
const int kModeMinip = 2;
const int kModeAverage = 3;
const float kHashToUnit = 1.0 / 16777216.0;
const float kHuge = 3.0e38;
const vec3 kDarkRed = vec3(0.40, 0.05, 0.03);
const vec3 kOrange = vec3(0.95, 0.50, 0.15);
const vec3 kIvory = vec3(1.00, 0.96, 0.86);

// Where the raw value at p (texture coordinates of the whole volume) is read in the atlas:
// in the slot of the brick of the frame's level that holds p, or of the coarser brick
// standing in for it, or in the atlas's first slot, all zero texels, for bricks below the
// window. Without a branch: a software rasteriser pays for every branch, and this runs
// for every sample. The slot's border of two voxels holds every texel a trilinear sample
// up to one voxel away from p blends, so the gradient and the parts of a step read p's
// slot without a page-table fetch of their own.
struct SlotPoint {
    vec3 texel;           // atlas texels
    float texelsPerVoxel; // slot texels per level-0 voxel: 2^-level of the level the slot holds
};

SlotPoint slotPoint(vec3 p) {
    vec3 voxels = clamp(p, 0.0, 0.99999994) * march.volumeSize.xyz;
    ivec3 brick = ivec3(voxels * march.brick.z) + ivec3(march.pageOrigin.xyz);
    vec4 entry = floor(texelFetch(Texture2, brick, 0) * kTexelScale + 0.5);
    float texelsPerVoxel = exp2(-entry.w);
    vec3 held = voxels * texelsPerVoxel;
    vec3 inSlot = held - floor(held * march.brick.w) * march.brick.x + 0.5 * (march.brick.y - march.brick.x);
    return SlotPoint(entry.xyz * march.brick.y + inSlot, texelsPerVoxel);
}

// The raw value at an atlas position. Level 0 of the atlas explicitly: inside the
// marching loops implicit derivatives would be undefined (and costly to compute).
float slotValue(vec3 texel) {
    return textureLod(Texture0, texel * march.atlasScale.xyz, 0.0).r * kTexelScale + vSampleOffset;
}

float sampleValue(vec3 p) {
    return slotValue(slotPoint(p).texel);
}

// The largest raw value a trilinear sample can take inside the given cell of a level of
// the brick grid.
float brickMaximum(ivec3 cell, int level) {
    return texelFetch(Texture1, cell, level).r * kTexelScale + vSampleOffset;
}

// Where a raw value lies in the window: 0 at its floor, 1 at its top, beyond on either side.
float windowLevel(float value) {
    return (value - vWindow.x) / vWindow.y;
}

float windowed(float value) {
    return clamp(windowLevel(value), 0.0, 1.0);
}

// clutmode 0: low values dark red, middle orange, the top of the window ivory, so skin,
// soft tissue and bone differ; clutmode 1: grey.
vec3 lookup(float intensity) {
    if (vClutmode == kClutGrey) {
        return vec3(intensity);
    }
    return intensity < 0.5 ? mix(kDarkRed, kOrange, intensity * 2.0)
                           : mix(kOrange, kIvory, intensity * 2.0 - 1.0);
}

// Entry and exit distance of the ray origin + t * dir through the box [low, high].
vec2 boxInterval(vec3 origin, vec3 dir, vec3 low, vec3 high) {
    vec3 safeDir = mix(dir, vec3(kTiny), lessThan(abs(dir), vec3(kTiny)));
    vec3 t0 = (low - origin) / safeDir;
    vec3 t1 = (high - origin) / safeDir;
    vec3 near = min(t0, t1);
    vec3 far = max(t0, t1);
    return vec2(max(max(near.x, near.y), near.z), min(min(far.x, far.y), far.z));
}

// Diffuse light from the camera on the surface through a point, judged by the gradient
// of the raw values (central differences one voxel of the frame's level apart, scaled to
// world lengths): x is the lit shade, y how clearly the point lies on a surface (0 inside
// uniform material, where the gradient says nothing).
vec2 surfaceShade(SlotPoint at, vec3 worldDir, vec3 voxel) {
    float reach = exp2(march.volumeSize.w) * at.texelsPerVoxel;
    vec3 dx = vec3(reach, 0.0, 0.0);
    vec3 dy = vec3(0.0, reach, 0.0);
    vec3 dz = vec3(0.0, 0.0, reach);
    vec3 change = vec3(slotValue(at.texel + dx) - slotValue(at.texel - dx),
                       slotValue(at.texel + dy) - slotValue(at.texel - dy),
                       slotValue(at.texel + dz) - slotValue(at.texel - dz));
    vec3 gradient = change / (2.0 * voxel * vModelScale);
    float gradientLength = length(gradient);
    if (gradientLength <= kTiny) {
        return vec2(1.0, 0.0);
    }
    float diffuse = abs(dot(gradient / gradientLength, worldDir));
    float surface = clamp(0.5 * length(change) / (kSurfaceContrast * vWindow.y), 0.0, 1.0);
    return vec2(kAmbient + (1.0 - kAmbient) * diffuse, surface);
}

// The shade carried along the ray after a sample, `depth` voxel steps behind the start of
// the ray: pulled towards the lit shade, at most `most` of the way, as far as the sample
// clearly lies on a surface and not on a cut face; the pull is per voxel step, whatever
// the sampling.
float pulledShade(float shade, SlotPoint at, float depth, vec3 worldDir, vec3 voxel, float most) {
    vec2 lit = surfaceShade(at, worldDir, voxel);
    float pull = most * lit.y * clamp(depth / kCutDepth, 0.0, 1.0);
    if (vSamplesPerStep > 1) {
        pull = 1.0 - pow(1.0 - pull, 1.0 / float(vSamplesPerStep));
    }
    return mix(shade, lit.x, pull);
}

// Where a ray at p, t along it, goes next. When the largest cell of the brick grid around
// p in which every sample is at most `below` exists, the ray takes no sample there: it
// goes on to the lattice's first point beyond that cell and `skipped` is set. Otherwise
// it goes on one step, and `brickEnd` tells where it leaves p's brick. Each level is
// fetched with a constant level number, the sampler's fast path.
float nextPoint(vec3 p, float t, float below, float latticeStart, float stepLength, vec3 sizeF,
                ivec3 lastBrick, vec3 farSide, vec3 invDir, inout float brickEnd, out bool skipped) {
    ivec3 brick = clamp(ivec3(p * sizeF) / kBrickSide, ivec3(0), lastBrick);
    int emptyLevels = 0;
    if (brickMaximum(brick, 0) <= below) {
        emptyLevels = 1;
        if (brickMaximum(brick >> 1, 1) <= below) {
            emptyLevels = 2;
            if (brickMaximum(brick >> 2, 2) <= below) {
                emptyLevels = 3;
                if (brickMaximum(brick >> 3, 3) <= below) {
                    emptyLevels = 4;
                }
            }
        }
    }
    int level = max(emptyLevels - 1, 0);
    float cellSide = float(kBrickSide << level);
    vec3 exits = ((vec3(brick >> level) + farSide) * cellSide / sizeF - vCameraTex) * invDir;
    float tExit = min(min(exits.x, exits.y), exits.z);
    skipped = emptyLevels > 0;
    if (skipped) {
        return max(latticeStart + ceil((tExit - latticeStart) / stepLength) * stepLength, t + stepLength);
    }
    brickEnd = tExit;
    return t + stepLength;
}

// A value in [0, 1) per pixel without visible structure: an integer hash of its position.
float pixelJitter() {
    uvec2 pixel = uvec2(gl_FragCoord.xy);
    uint h = pixel.x + (pixel.y << 16);
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return float(h >> 8) * kHashToUnit;
}

void main() {
#ifdef PROJECTIONS
    int renderMode = vRenderMode;
#else
    const int renderMode = kModeComposite;
#endif
    vec3 toPoint = vTexPoint - vCameraTex;
    float pointDistance = length(toPoint);
    if (pointDistance <= kTiny) {
        discard;
    }
    vec3 dir = toPoint / pointDistance;

    // With no culling both the faces towards and away from the camera are drawn. Each ray
    // is marched once, by the fragment where it leaves the cube; the fragment where it
    // enters is dropped. That holds with the camera inside the box as well.
    vec2 cube = boxInterval(vCameraTex, dir, vec3(0.0), vec3(1.0));
    if (pointDistance < 0.5 * (cube.x + cube.y)) {
        discard;
    }

    // Start on the clip box, not on the cube: the cut-away part costs nothing.
    vec3 low = clamp(vClipLow, 0.0, 1.0);
    vec3 high = clamp(vClipHigh, 0.0, 1.0);
    vec2 span = boxInterval(vCameraTex, dir, low, high);
    float tStart = max(span.x, 0.0);
    float tEnd = min(span.y, cube.y);
    if (any(greaterThan(low, high)) || tStart >= tEnd) {
        discard;
    }

    // One voxel step advances at most one voxel along every axis; a ray takes
    // vSamplesPerStep samples per voxel step. The lattice starts on the clip box, shifted
    // per pixel within a step; samples lie on it whatever is skipped.
    // Voxels and steps are those of the frame's level of detail; the brick grid counts
    // level-0 voxels.
    ivec3 size = ivec3(march.volumeSize.xyz);
    vec3 sizeF = vec3(max(size, ivec3(1)));
    float levelSpan = exp2(march.volumeSize.w);
    vec3 voxel = levelSpan / sizeF;
    float voxelStep = levelSpan / float(max(max(size.x, size.y), size.z));
    float stepLength = voxelStep / float(vSamplesPerStep);
    vec3 worldDir = normalize(vModelScale * dir);
    float worldPerTex = length(vModelScale * dir);
    float latticeStart = tStart + pixelJitter() * stepLength;
    if (latticeStart >= tEnd) {
        discard;
    }

    // The part of the ray that can change the result. Minimum and mean need all of it.
    bool skips = renderMode <= kModeMip;
    vec3 reachLow = skips ? max(low, march.occupiedLow.xyz) : low;
    vec3 reachHigh = skips ? min(high, march.occupiedHigh.xyz) : high;
    vec2 reach = boxInterval(vCameraTex, dir, reachLow, reachHigh);
    float tMarchEnd = min(tEnd, reach.y);
    bool nothingReached = any(greaterThan(reachLow, reachHigh)) || max(reach.x, tStart) >= tMarchEnd;
    if (nothingReached && renderMode == kModeComposite) {
        discard;
    }
    float t = latticeStart + max(ceil((reach.x - latticeStart) / stepLength), 0.0) * stepLength;
    int maxSteps = nothingReached ? 0 : int(ceil((tMarchEnd - t) / stepLength)) + 1;

    vec3 invDir = 1.0 / mix(dir, vec3(kTiny), lessThan(abs(dir), vec3(kTiny)));
    vec3 farSide = vec3(greaterThan(dir, vec3(0.0)));
    ivec3 lastBrick = (size - 1) / kBrickSide;
    // The ray is in a brick that can change the result until here; without a grid, always.
    float tBrickEnd = march.occupiedLow.w > 0.0 ? -1.0 : kHuge;

    // The composite loop and the projection loops are compiled apart: a software rasteriser
    // pays for every branch of the shader, taken or not.
#ifndef PROJECTIONS
    // The windowed intensity at which a sample's opacity over one voxel step reaches
    // kShadeThreshold: samples above it lie on a surface and are lit.
    float surfaceIntensity = sqrt(-log(1.0 - kShadeThreshold) / (kDensity * voxelStep * worldPerTex));
    // The window position of the lattice point before t, not clamped to the window.
    float previousLevel = 0.0;
    vec3 color = vec3(0.0);
    float alpha = 0.0;
    // Uniform material behind a surface keeps the shade of that surface, so an organ
    // reads as a solid. Where the ray starts inside material (a cut), the cut face is
    // lit head-on.
    float shade = 1.0;
    for (int i = 0; i < maxSteps && t < tMarchEnd; ++i) {
        float tNext = t + stepLength;
        float tSample = t;
        bool skipped = false;
        if (t >= tBrickEnd) {
            tNext = nextPoint(vCameraTex + t * dir, t, vWindow.x, latticeStart, stepLength, sizeF,
                              lastBrick, farSide, invDir, tBrickEnd, skipped);
            if (skipped && previousLevel > 0.0) {
                // The step out of material ends in the empty cell: it is gathered first.
                tNext = t + stepLength;
                skipped = false;
            } else if (skipped) {
                // Across the cell the ray samples only the cell's last lattice point:
                // below the window, it tells how steeply the next step rises.
                tSample = tNext - stepLength;
            }
        }
        SlotPoint at = slotPoint(vCameraTex + tSample * dir);
        float level = windowLevel(slotValue(at.texel));
        if (!skipped && (level > 0.0 || previousLevel > 0.0)) {
            float intensity = clamp(level, 0.0, 1.0);
            // The ray's first step begins on the clip box, where a cut shows the material
            // of its first sample throughout.
            bool onCut = t - stepLength <= tStart;
            float shadeBefore = shade;
            if (intensity > surfaceIntensity) {
                // Where the ray meets a surface out of clear space the step shows it lit
                // throughout; behind it the shade follows the light half way per voxel
                // step, so it does not hang on the gradient of one lattice point.
                bool meetsSurface = previousLevel <= surfaceIntensity && !onCut;
                shade = pulledShade(shade, at, (t - tStart) / voxelStep, worldDir, voxel,
                                    meetsSurface ? 1.0 : kShadeFollow);
                if (meetsSurface) {
                    shadeBefore = shade;
                }
            }
            // The step from the last sample to this one is gathered at its middle. Across an
            // edge the window level does not run linearly over a voxel step: there the step
            // is gathered in kEdgeParts parts, between samples read from this sample's slot
            // (its border reaches a voxel step back).
            bool edge = !onCut && abs(clamp(previousLevel, 0.0, 1.0) - intensity) > kEdgeChange;
            int parts = edge ? kEdgeParts : 1;
            float partLength = (onCut ? t - tStart : stepLength) / float(parts);
            vec3 partTexels = dir * partLength * march.volumeSize.xyz * at.texelsPerVoxel;
            float from = onCut ? level : previousLevel;
            for (int k = 1; k <= parts; ++k) {
                float to = k == parts ? level : windowLevel(slotValue(at.texel - float(parts - k) * partTexels));
                float middle = clamp(0.5 * (from + to), 0.0, 1.0);
                float opacity = 1.0 - exp(-kDensity * middle * middle * partLength * worldPerTex);
                float partShade = mix(shadeBefore, shade, (float(k) - 0.5) / float(parts));
                color += (1.0 - alpha) * opacity * partShade * lookup(middle);
                alpha += (1.0 - alpha) * opacity;
                from = to;
            }
            if (alpha >= kOpaque) {
                break;
            }
        }
        previousLevel = level;
        t = tNext;
    }
    if (alpha <= 0.0) {
        discard;
    }
    // The pipeline blends source × source alpha, so hand over colour not premultiplied.
    fragColor = vec4(color / alpha, alpha);
#else
    // The projections: maximum, minimum or sum of the raw samples, and how many were taken.
    float gathered = renderMode == kModeMip ? -kHuge : (renderMode == kModeMinip ? kHuge : 0.0);
    float taken = 0.0;
    if (renderMode == kModeMip) {
        for (int i = 0; i < maxSteps && t < tMarchEnd; ++i) {
            vec3 p = vCameraTex + t * dir;
            float tNext = t + stepLength;
            bool skipped = false;
            if (t >= tBrickEnd) {
                // Nothing below the largest sample met so far can change the maximum.
                tNext = nextPoint(p, t, max(vWindow.x, gathered), latticeStart, stepLength, sizeF, lastBrick,
                                  farSide, invDir, tBrickEnd, skipped);
            }
            if (!skipped) {
                gathered = max(gathered, sampleValue(p));
                taken += 1.0;
                if (gathered >= vWindow.x + vWindow.y) {
                    break;
                }
            }
            t = tNext;
        }
    } else {
        for (int i = 0; i < maxSteps && t < tMarchEnd; ++i) {
            float value = sampleValue(vCameraTex + t * dir);
            taken += 1.0;
            if (renderMode == kModeMinip) {
                gathered = min(gathered, value);
                if (gathered <= vWindow.x) {
                    break;
                }
            } else {
                gathered += value;
            }
            t += stepLength;
        }
        // Rounding can leave the march of a ray that grazes the box empty.
        if (taken == 0.0) {
            discard;
        }
    }
    // A maximum ray that met nothing above the window projects the window's floor.
    float projected = renderMode == kModeAverage ? gathered / max(taken, 1.0) : gathered;
    fragColor = vec4(lookup(windowed(projected)), 1.0);
#endif
}
