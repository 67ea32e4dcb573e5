#version 410 core

// Fragment stage of the volume rendering: marches the ray from the camera through this
// fragment across the clipped volume, front to back, and turns what it meets into a pixel.
//
// Index of this file
//   [SECTION] Resources: the atlas, the brick grid, the page table, the colour map, MarchUniforms
//   [SECTION] Reading the volume: slotPoint, slotValue, sampleValue, brickRange
//   [SECTION] Window and lookup: windowLevel, windowed, lookup, curveHides, boxInterval
//   [SECTION] The ray: Ray, its lattice, the part of it that can change the result (Reach)
//   [SECTION] Empty space: GridWalk, nextPoint
//   [SECTION] Render modes: a snippet per mode before, in and after the ray loop
//             (composite with its lighting; maximum, minimum, mean), then the dispatchers
//   [SECTION] The ray loop and main: castRay
// The constants (kDensity, kOpaque, kMaxGridCellSide, kModeMip ...) are not typed here: the
// build writes them in after the version line from render/ShaderConstants.h, where the
// renderer and the tests read them too.
//
// The backend binds each sampler and uniform block by its name to the index
// render/ShaderTypes.h gives it. The volume's 16-bit texels arrive normalised and filtered
// trilinearly; times kTexelScale they are raw units again.
//
// The volume lives in a brick pool: bricks of its levels of detail in the slots of an
// atlas, each slot the brick and two voxels more on every side, so that a trilinear
// sample up to a voxel outside a brick reads its own slot only. The page table tells, for
// each brick of the frame's level, which slot to read and which level that slot holds (a
// coarser one until the brick itself arrives), or, where the brick and its neighbours lie
// below the window, the atlas's first slot, whose zero texels lie at or below the
// window's floor too.
//
// One ray loop serves every rendering mode; each mode adds a short snippet before, in and
// after it. Composite gathers lit, translucent material front to back. The projections
// (maximum, minimum, mean of the samples, then windowed) draw every ray that crosses the
// clip box opaque, as a radiograph shows its whole field. The program is built in five variants:
// as it stands it composites only; with PROJECTIONS defined it projects alone, in the mode
// the vertex stage hands over; with OPACITY_CURVE defined it composites through a colour
// map's own opacity curve, whose cells the walk over the brick grid asks the curve about;
// with SLICE_PLANES defined (besides or alone) composited rays stop on the slice views'
// planes.
// Each build calls the loop with constant modes only, so the compiler specialises a loop
// per mode: a software rasteriser pays for every branch of the shader, taken or not.
//
// Empty space costs little: in composite and maximum mode rays march only inside the
// box around every brick that reaches into the window, and there a ray leaves each brick
// whose range of texels cannot change the result (below the window, or wherever the
// opacity curve hides it; in maximum mode below the window or the largest sample the ray
// has met) without sampling it, in steps of up to 64
// voxels where the coarser levels of the brick grid qualify too. A brick's range covers
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

// [SECTION] Resources

// The brick atlas.
uniform sampler3D uAtlas;
// The brick grid: level n holds the largest (r) and the smallest (g) texel of each brick of
// kMaxGridCellSide · 2^n voxels (widened by one voxel on every side), read with texelFetch;
// a coarse level's grid counts that level's voxels (MarchUniforms' occupiedHigh.w).
uniform sampler3D uMaxGrid;
// The page table: per brick, the slot's place in the atlas (x, y, z) and the level it
// holds (w), 16-bit unsigned normalised, read with texelFetch.
uniform sampler3D uPageTable;
// The colour map: a row of colours across the display window, read with texelFetch.
uniform sampler3D uColourMap;

layout(std140) uniform MarchUniforms {
    vec4 occupiedLow;  // texture coordinates of the box around everything that can show;
                       // w 1 where the brick grid is there to skip by
    vec4 occupiedHigh; // w the grid's shift
    vec4 volumeSize;   // level-0 voxels per axis; w the frame's level of detail
    vec4 atlasScale;   // 1 / atlas texels per axis; w unused
    vec4 brick;        // x voxels per brick side, y texels per slot side, z bricks per level-0 voxel, w 1 / x
    vec4 pageOrigin;   // the page table's entry of the level's first brick; w unused
    vec4 slicePlanes;  // texture coordinates of the slice views' planes along x, y, z, which
                       // the SLICE_PLANES build stops composited rays on; w 1 where shown
    vec4 shownFirst;   // the first colour map entry of each run of entries that show through
    vec4 shownLast;    // the opacity curve, and the last; an unused run ends before it starts
} march;

in vec3 vTexPoint;
flat in vec3 vCameraTex;
flat in vec3 vModelScale;
flat in vec3 vClipLow;
flat in vec3 vClipHigh;
flat in vec2 vWindow;
flat in float vSampleOffset;
flat in int vRenderMode;
flat in int vSamplesPerStep;
flat in float vAmbient;
flat in float vOpacityFromMap;

out vec4 fragColor;

// [SECTION] Reading the volume

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
    vec4 entry = floor(texelFetch(uPageTable, brick, 0) * kTexelScale + 0.5);
    float texelsPerVoxel = exp2(-entry.w);
    vec3 held = voxels * texelsPerVoxel;
    vec3 inSlot = held - floor(held * march.brick.w) * march.brick.x + 0.5 * (march.brick.y - march.brick.x);
    return SlotPoint(entry.xyz * march.brick.y + inSlot, texelsPerVoxel);
}

// The raw value at an atlas position. Level 0 of the atlas explicitly: inside the
// marching loop implicit derivatives would be undefined (and costly to compute).
float slotValue(vec3 texel) {
    return textureLod(uAtlas, texel * march.atlasScale.xyz, 0.0).r * kTexelScale + vSampleOffset;
}

float sampleValue(vec3 p) {
    return slotValue(slotPoint(p).texel);
}

// The smallest (x) and the largest (y) raw value a trilinear sample can take inside the
// given cell of a level of the brick grid.
vec2 brickRange(ivec3 cell, int level) {
    return texelFetch(uMaxGrid, cell, level).gr * kTexelScale + vSampleOffset;
}

// The largest of them alone.
float brickMaximum(ivec3 cell, int level) {
    return texelFetch(uMaxGrid, cell, level).r * kTexelScale + vSampleOffset;
}

// [SECTION] Window and lookup

// Where a raw value lies in the window: 0 at its floor, 1 at its top, beyond on either side.
float windowLevel(float value) {
    return (value - vWindow.x) / vWindow.y;
}

float windowed(float value) {
    return clamp(windowLevel(value), 0.0, 1.0);
}

// The colour map's table from the window's floor (0) to its top (1), linear between its
// entries: two fetches, where a filtered read of the 3-D texture would blend eight texels.
// Alpha holds the map's opacity curve, where it has one.
vec4 mapped(float intensity) {
    float at = clamp(intensity, 0.0, 1.0) * float(kColourMapEntries - 1);
    int below = min(int(at), kColourMapEntries - 2);
    return mix(texelFetch(uColourMap, ivec3(below, 0, 0), 0), texelFetch(uColourMap, ivec3(below + 1, 0, 0), 0),
               at - float(below));
}

vec3 lookup(float intensity) {
    return mapped(intensity).rgb;
}

// The entry below a window level, as mapped() picks the pair it blends.
int entryBelow(float level) {
    return min(int(clamp(level, 0.0, 1.0) * float(kColourMapEntries - 1)), kColourMapEntries - 2);
}

// Whether the colour map's own opacity curve hides composited samples at window levels from
// low to high: every entry mapped() blends for such levels, and one more on either side
// against rounding, lies in no run of entries that show. A band or two hide the values
// around them, not only those below. (Without a curve the opacity is zero at and below the
// window's floor only.) The runs come as uniforms, not as a texture: this is asked for every
// cell a ray meets and every step it gathers, where fetches would cost what skipping saves.
bool curveHides(float low, float high) {
    vec4 first = vec4(max(entryBelow(low) - 1, 0));
    vec4 last = vec4(min(entryBelow(high) + 2, kColourMapEntries - 1));
    bvec4 meets = bvec4(vec4(lessThanEqual(march.shownFirst, last)) * vec4(greaterThanEqual(march.shownLast, first)));
    return low <= high && !any(meets);
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

// [SECTION] The ray

// The ray from the camera through this fragment, in texture coordinates, and its lattice.
// One voxel step advances at most one voxel along every axis; a ray takes
// vSamplesPerStep samples per voxel step. The lattice starts on the clip box, shifted per
// pixel within a step; samples lie on it whatever is skipped. Voxels and steps are those
// of the frame's level of detail; the brick grid counts level-0 voxels.
struct Ray {
    vec3 dir;           // unit length
    float tStart;       // where the ray enters the clip box, 0 with the camera inside it
    float tEnd;         // where it leaves the clip box or the cube
    float latticeStart; // samples lie at latticeStart + n · stepLength
    float stepLength;
    float voxelStep;
    vec3 voxel;         // one voxel per axis
    vec3 worldDir;      // the direction in the world, unit length
    float worldPerTex;  // world length of one unit of t
};

// A value in [0, 1) per pixel without visible structure: an integer hash of its position.
float pixelJitter() {
    uvec2 pixel = uvec2(gl_FragCoord.xy);
    uint h = pixel.x + (pixel.y << 16);
    h ^= h >> 16;
    h *= kJitterMultiplier1;
    h ^= h >> 15;
    h *= kJitterMultiplier2;
    h ^= h >> 16;
    return float(h >> 8) * kHashToUnit;
}

// The ray's voxels, steps and world lengths, and where its lattice starts: on the clip
// box, shifted per pixel within a step.
void placeLattice(inout Ray ray) {
    ivec3 size = ivec3(march.volumeSize.xyz);
    vec3 sizeF = vec3(max(size, ivec3(1)));
    float levelSpan = exp2(march.volumeSize.w);
    ray.voxel = levelSpan / sizeF;
    ray.voxelStep = levelSpan / float(max(max(size.x, size.y), size.z));
    ray.stepLength = ray.voxelStep / float(vSamplesPerStep);
    ray.worldDir = normalize(vModelScale * ray.dir);
    ray.worldPerTex = length(vModelScale * ray.dir);
    ray.latticeStart = ray.tStart + pixelJitter() * ray.stepLength;
}

// The ray of this fragment; the fragment is discarded where the ray has nothing to march.
Ray rayThroughFragment() {
    vec3 toPoint = vTexPoint - vCameraTex;
    float pointDistance = length(toPoint);
    if (pointDistance <= kTiny) {
        discard;
    }
    Ray ray;
    ray.dir = toPoint / pointDistance;

    // With no culling both the faces towards and away from the camera are drawn. Each ray
    // is marched once, by the fragment where it leaves the cube; the fragment where it
    // enters is dropped. That holds with the camera inside the box as well.
    vec2 cube = boxInterval(vCameraTex, ray.dir, vec3(0.0), vec3(1.0));
    if (pointDistance < 0.5 * (cube.x + cube.y)) {
        discard;
    }

    // Start on the clip box, not on the cube: the cut-away part costs nothing.
    vec3 low = clamp(vClipLow, 0.0, 1.0);
    vec3 high = clamp(vClipHigh, 0.0, 1.0);
    vec2 span = boxInterval(vCameraTex, ray.dir, low, high);
    ray.tStart = max(span.x, 0.0);
    ray.tEnd = min(span.y, cube.y);
    if (any(greaterThan(low, high)) || ray.tStart >= ray.tEnd) {
        discard;
    }
    placeLattice(ray);
    if (ray.latticeStart >= ray.tEnd) {
        discard;
    }
    return ray;
}

// The part of the ray that can change the result: its first lattice point, its end, and
// at most how many steps lie between. A ray that skips empty space needs only the box
// around everything that can show; otherwise all of the clip box.
struct Reach {
    float tFirst;
    float tLast;
    int maxSteps;
    bool nothing; // no part of the ray can change the result
};

Reach reachOf(Ray ray, bool skips) {
    vec3 low = clamp(vClipLow, 0.0, 1.0);
    vec3 high = clamp(vClipHigh, 0.0, 1.0);
    vec3 reachLow = skips ? max(low, march.occupiedLow.xyz) : low;
    vec3 reachHigh = skips ? min(high, march.occupiedHigh.xyz) : high;
    vec2 reach = boxInterval(vCameraTex, ray.dir, reachLow, reachHigh);
    Reach r;
    r.tLast = min(ray.tEnd, reach.y);
    r.nothing = any(greaterThan(reachLow, reachHigh)) || max(reach.x, ray.tStart) >= r.tLast;
    r.tFirst = ray.latticeStart + max(ceil((reach.x - ray.latticeStart) / ray.stepLength), 0.0) * ray.stepLength;
    r.maxSteps = r.nothing ? 0 : int(ceil((r.tLast - r.tFirst) / ray.stepLength)) + 1;
    return r;
}

// [SECTION] Empty space

// What a ray needs to walk the brick maxima grid, and where it leaves the brick it is in:
// up to there every step is sampled without asking the grid again.
struct GridWalk {
    vec3 sizeF;      // level-0 voxels per axis
    int cellShift;   // the grid's finest cells span 2^cellShift level-0 voxels (a coarse level's more)
    ivec3 lastBrick; // the last cell of the grid's finest level
    vec3 farSide;    // 1 on the axes the ray runs up, 0 on the others
    vec3 invDir;
    float brickEnd;
};

GridWalk gridWalk(Ray ray, bool skips) {
    ivec3 size = ivec3(march.volumeSize.xyz);
    GridWalk walk;
    walk.sizeF = vec3(max(size, ivec3(1)));
    walk.cellShift = findMSB(kMaxGridCellSide) + int(march.occupiedHigh.w);
    walk.lastBrick = max(size - 1, ivec3(0)) >> walk.cellShift;
    walk.farSide = vec3(greaterThan(ray.dir, vec3(0.0)));
    walk.invDir = 1.0 / mix(ray.dir, vec3(kTiny), lessThan(abs(ray.dir), vec3(kTiny)));
    // Without a grid, or in a mode that samples everything, the ray never asks it.
    walk.brickEnd = skips && march.occupiedLow.w > 0.0 ? -1.0 : kHuge;
    return walk;
}

// One step of the ray loop: the lattice point t it stands on, where it goes next, where
// it samples, and whether it skips a cell of the grid in which no sample can change the
// result (it then samples at most the cell's last lattice point).
struct Step {
    float t;
    float tNext;
    float tSample;
    bool skipped;
};

// The step from t. When the largest cell of the brick grid around the ray's point at t
// in which no sample changes the result exists, the ray goes on to the lattice's first
// point beyond that cell. Otherwise it goes on one step, and the walk learns where the ray
// leaves the brick. The grid's levels unroll to constant level numbers, the sampler's
// fast path. In composite the step into the cell, from the lattice point before at
// `previousLevel`, is gathered first unless that level is hidden along with the cell's:
// the step blends the two.
Step nextPoint(Ray ray, inout GridWalk walk, float t, int mode, float below, float previousLevel) {
    vec3 p = vCameraTex + t * ray.dir;
    ivec3 brick = clamp(ivec3(max(p * walk.sizeF, vec3(0.0))) >> walk.cellShift, ivec3(0), walk.lastBrick);
    int emptyLevels = 0;
#ifdef OPACITY_CURVE
    vec2 hidden = vec2(0.0);
    for (int n = 0; n < kMaxGridLevels; ++n) {
        vec2 range = brickRange(brick >> n, n);
        if (!curveHides(windowLevel(range.x), windowLevel(range.y))) {
            break;
        }
        hidden = range;
        emptyLevels = n + 1;
    }
    if (emptyLevels > 0 &&
        !curveHides(min(windowLevel(hidden.x), previousLevel), max(windowLevel(hidden.y), previousLevel))) {
        return Step(t, t + ray.stepLength, t, false);
    }
#else
    for (int n = 0; n < kMaxGridLevels; ++n) {
        if (brickMaximum(brick >> n, n) > below) {
            break;
        }
        emptyLevels = n + 1;
    }
    // Below the window's floor only the step out of material, from a lattice point above it,
    // adds anything.
    if (mode == kModeComposite && emptyLevels > 0 && previousLevel > 0.0) {
        return Step(t, t + ray.stepLength, t, false);
    }
#endif
    int level = max(emptyLevels - 1, 0);
    float cellSide = float(1 << (walk.cellShift + level));
    vec3 exits = ((vec3(brick >> level) + walk.farSide) * cellSide / walk.sizeF - vCameraTex) * walk.invDir;
    float tExit = min(min(exits.x, exits.y), exits.z);
    if (emptyLevels > 0) {
        float tNext = max(ray.latticeStart + ceil((tExit - ray.latticeStart) / ray.stepLength) * ray.stepLength,
                          t + ray.stepLength);
        return Step(t, tNext, tNext - ray.stepLength, true);
    }
    walk.brickEnd = tExit;
    return Step(t, t + ray.stepLength, t, false);
}

// [SECTION] Render modes
//
// What a ray gathers. Composite: colour and opacity so far, the shade carried along the
// ray, the window level of the lattice point before (not clamped to the window), and the
// windowed intensity above which a sample lies on a surface. The projections: the
// maximum, minimum or sum of the raw samples, and how many were taken.
struct Gathered {
    vec3 color;
    float alpha;
    float shade;
    float previousLevel;
    float surfaceIntensity;
    float value;
    float taken;
};

// A mode is a snippet before the loop (what the ray starts with), in it (one step; true
// when the ray is done) and after it (the pixel); which cells of the brick grid cannot
// change its result is nextPoint's to say. A new mode adds its snippets here and a case
// to each dispatcher at the end of this section.

// Composite: lit, translucent material front to back. Uniform material behind a surface
// keeps the shade of that surface, so an organ reads as a solid. Where the ray starts
// inside material (a cut), the cut face is lit head-on.
Gathered compositeBeforeLoop(Ray ray) {
    // The windowed intensity at which a sample's opacity over one voxel step reaches
    // kShadeThreshold: samples above it lie on a surface and are lit.
    float surfaceIntensity =
        sqrt(-log(1.0 - kShadeThreshold) / (kDensity * ray.voxelStep * ray.worldPerTex));
    return Gathered(vec3(0.0), 0.0, 1.0, 0.0, surfaceIntensity, 0.0, 0.0);
}

// Diffuse light from the camera on the surface through a point, judged by the gradient
// of the raw values (central differences one voxel of the frame's level apart, scaled to
// world lengths): x is the lit shade, y how clearly the point lies on a surface (0 inside
// uniform material, where the gradient says nothing).
vec2 surfaceShade(SlotPoint at, Ray ray) {
    float reach = exp2(march.volumeSize.w) * at.texelsPerVoxel;
    vec3 dx = vec3(reach, 0.0, 0.0);
    vec3 dy = vec3(0.0, reach, 0.0);
    vec3 dz = vec3(0.0, 0.0, reach);
    vec3 change = vec3(slotValue(at.texel + dx) - slotValue(at.texel - dx),
                       slotValue(at.texel + dy) - slotValue(at.texel - dy),
                       slotValue(at.texel + dz) - slotValue(at.texel - dz));
    vec3 gradient = change / (2.0 * ray.voxel * vModelScale);
    float gradientLength = length(gradient);
    if (gradientLength <= kTiny) {
        return vec2(1.0, 0.0);
    }
    float diffuse = abs(dot(gradient / gradientLength, ray.worldDir));
    float surface = clamp(0.5 * length(change) / (kSurfaceContrast * vWindow.y), 0.0, 1.0);
    return vec2(vAmbient + (1.0 - vAmbient) * diffuse, surface);
}

// The ray's first step begins on the clip box, where a cut shows the material of its
// first sample throughout.
bool onCut(float t, Ray ray) {
    return t - ray.stepLength <= ray.tStart;
}

// Pulls the shade carried along the ray towards the lit shade of the sample at t, as far
// as it clearly lies on a surface and not on a cut face, and returns the shade the step
// up to t begins with. Where the ray meets a surface out of clear space the step shows it
// lit throughout; behind it the shade follows the light kShadeFollow of the way per voxel
// step, whatever the sampling, so it does not hang on the gradient of one lattice point.
float shadeStep(inout Gathered g, SlotPoint at, float intensity, float t, Ray ray) {
    if (intensity <= g.surfaceIntensity) {
        return g.shade;
    }
    bool meetsSurface = g.previousLevel <= g.surfaceIntensity && !onCut(t, ray);
    vec2 lit = surfaceShade(at, ray);
    float depth = (t - ray.tStart) / ray.voxelStep;
    float pull = (meetsSurface ? 1.0 : kShadeFollow) * lit.y * clamp(depth / kCutDepth, 0.0, 1.0);
    if (vSamplesPerStep > 1) {
        pull = 1.0 - pow(1.0 - pull, 1.0 / float(vSamplesPerStep));
    }
    float shadeBefore = g.shade;
    g.shade = mix(g.shade, lit.x, pull);
    return meetsSurface ? g.shade : shadeBefore;
}

// Gathers the step up to the sample at t (window level `level`) at its middle. Across an
// edge the window level does not run linearly over a voxel step: there the step is
// gathered in kEdgeParts parts, between samples read from this sample's slot (its border
// reaches a voxel step back).
void compositeGather(inout Gathered g, SlotPoint at, float level, float t, Ray ray) {
    float intensity = clamp(level, 0.0, 1.0);
    bool cut = onCut(t, ray);
    float shadeBefore = shadeStep(g, at, intensity, t, ray);
    bool edge = !cut && abs(clamp(g.previousLevel, 0.0, 1.0) - intensity) > kEdgeChange;
    int parts = edge ? kEdgeParts : 1;
    float partLength = (cut ? t - ray.tStart : ray.stepLength) / float(parts);
    vec3 partTexels = ray.dir * partLength * march.volumeSize.xyz * at.texelsPerVoxel;
    float from = cut ? level : g.previousLevel;
    // Where each part ends: the last at this sample.
    vec4 partEnds = vec4(level);
    for (int k = 1; k < parts; ++k) {
        partEnds[k - 1] = windowLevel(slotValue(at.texel - float(parts - k) * partTexels));
    }
#ifdef OPACITY_CURVE
    // A step shows nothing where the curve hides every level its parts blend: only the shade
    // follows it.
    vec4 fromEnds = vec4(from, partEnds.xyz);
    vec4 lows = min(fromEnds, partEnds);
    vec4 highs = max(fromEnds, partEnds);
    parts = curveHides(min(min(lows.x, lows.y), min(lows.z, lows.w)), max(max(highs.x, highs.y), max(highs.z, highs.w)))
                ? 0
                : parts;
#endif
    for (int k = 1; k <= parts; ++k) {
        float to = partEnds[k - 1];
        float middle = clamp(0.5 * (from + to), 0.0, 1.0);
        vec4 colour = mapped(middle);
        // Without a curve of its own the map's opacity rises with the square of the window level.
        float density = mix(middle * middle, colour.a, vOpacityFromMap);
        float opacity = 1.0 - exp(-kDensity * density * partLength * ray.worldPerTex);
        float partShade = mix(shadeBefore, g.shade, (float(k) - 0.5) / float(parts));
        g.color += (1.0 - g.alpha) * opacity * partShade * colour.rgb;
        g.alpha += (1.0 - g.alpha) * opacity;
        from = to;
    }
}

bool compositeInLoop(inout Gathered g, Step step, Ray ray) {
    // Across a skipped cell the ray samples only the cell's last lattice point: below the
    // window, it tells how steeply the next step rises.
    SlotPoint at = slotPoint(vCameraTex + step.tSample * ray.dir);
    float level = windowLevel(slotValue(at.texel));
    if (!step.skipped && (level > 0.0 || g.previousLevel > 0.0)) {
        compositeGather(g, at, level, step.t, ray);
        if (g.alpha >= kOpaque) {
            return true;
        }
    }
    g.previousLevel = level;
    return false;
}

vec4 compositeAfterLoop(Gathered g) {
    if (g.alpha <= 0.0) {
        discard;
    }
    // The pipeline blends source × source alpha, so hand over colour not premultiplied.
    return vec4(g.color / g.alpha, g.alpha);
}

// The projections start from nothing met yet.
Gathered projectionBeforeLoop(float start) {
    return Gathered(vec3(0.0), 0.0, 0.0, 0.0, 0.0, start, 0.0);
}

// A projected value at or below the window's floor leaves the background, as for rays that
// meet only air: the lookup's lowest colour would fill the whole box.
vec4 projected(float value) {
    if (windowLevel(value) <= 0.0) {
        discard;
    }
    return vec4(lookup(windowed(value)), 1.0);
}

// Maximum: nothing below the largest sample met so far can change it; a ray stops at the
// top of the window.
bool maximumInLoop(inout Gathered g, Step step, Ray ray) {
    if (step.skipped) {
        return false;
    }
    g.value = max(g.value, sampleValue(vCameraTex + step.tSample * ray.dir));
    g.taken += 1.0;
    return g.value >= vWindow.x + vWindow.y;
}

// Minimum: a ray stops at the window's floor.
bool minimumInLoop(inout Gathered g, Step step, Ray ray) {
    g.value = min(g.value, sampleValue(vCameraTex + step.tSample * ray.dir));
    g.taken += 1.0;
    return g.value <= vWindow.x;
}

// Mean: the sum of the samples, divided after the loop.
bool meanInLoop(inout Gathered g, Step step, Ray ray) {
    g.value += sampleValue(vCameraTex + step.tSample * ray.dir);
    g.taken += 1.0;
    return false;
}

// Rounding can leave the march of a ray that grazes the box empty: minimum and mean then
// draw nothing.
vec4 minimumAfterLoop(Gathered g) {
    if (g.taken == 0.0) {
        discard;
    }
    return projected(g.value);
}

vec4 meanAfterLoop(Gathered g) {
    if (g.taken == 0.0) {
        discard;
    }
    return projected(g.value / max(g.taken, 1.0));
}

// Composite and maximum skip the cells of the brick grid that cannot change the result.
bool skipsEmptySpace(int mode) {
    return mode == kModeComposite || mode == kModeMip;
}

Gathered beforeLoop(Ray ray, int mode) {
    switch (mode) {
    case kModeComposite: return compositeBeforeLoop(ray);
    case kModeMip: return projectionBeforeLoop(-kHuge);
    case kModeMinip: return projectionBeforeLoop(kHuge);
    default: return projectionBeforeLoop(0.0);
    }
}

float skipFloor(Gathered g, int mode) {
    return mode == kModeMip ? max(vWindow.x, g.value) : vWindow.x;
}

bool inLoop(inout Gathered g, Step step, Ray ray, int mode) {
    switch (mode) {
    case kModeComposite: return compositeInLoop(g, step, ray);
    case kModeMip: return maximumInLoop(g, step, ray);
    case kModeMinip: return minimumInLoop(g, step, ray);
    default: return meanInLoop(g, step, ray);
    }
}

vec4 afterLoop(Gathered g, int mode) {
    switch (mode) {
    case kModeComposite: return compositeAfterLoop(g);
    case kModeMip: return projected(g.value);
    case kModeMinip: return minimumAfterLoop(g);
    default: return meanAfterLoop(g);
    }
}

// [SECTION] The ray loop and main

#ifdef SLICE_PLANES
// Where the ray meets the first of the slice views' planes inside the clip box; kHuge where it
// meets none.
float slicePlaneHit(Ray ray) {
    float hit = kHuge;
    for (int axis = 0; axis < 3; ++axis) {
        if (abs(ray.dir[axis]) > kTiny) {
            float t = (march.slicePlanes[axis] - vCameraTex[axis]) / ray.dir[axis];
            if (t >= ray.tStart && t <= ray.tEnd) {
                hit = min(hit, t);
            }
        }
    }
    return hit;
}

// The slice the ray stopped on, opaque behind what the ray gathered before it: the volume's
// value there through the window and the colour map.
void gatherSlicePlane(inout Gathered g, Ray ray, float t) {
    vec3 colour = lookup(windowed(sampleValue(vCameraTex + t * ray.dir)));
    g.color += (1.0 - g.alpha) * colour;
    g.alpha = 1.0;
}
#endif

// The pixel of the ray in the given mode. Called with constant modes only.
vec4 castRay(Ray ray, int mode) {
    bool skips = skipsEmptySpace(mode);
    Reach reach = reachOf(ray, skips);
#ifdef SLICE_PLANES
    float plane = slicePlaneHit(ray);
#else
    float plane = kHuge;
#endif
    // Nothing shows where no part of the ray can change the result.
    if (reach.nothing && plane >= kHuge) {
        discard;
    }
    GridWalk walk = gridWalk(ray, skips);
    Gathered g = beforeLoop(ray, mode);
    float t = reach.tFirst;
    float tLast = min(reach.tLast, plane);
    for (int i = 0; i < reach.maxSteps && t < tLast; ++i) {
        Step step = Step(t, t + ray.stepLength, t, false);
        if (skips && t >= walk.brickEnd) {
            step = nextPoint(ray, walk, t, mode, skipFloor(g, mode), g.previousLevel);
        }
        if (inLoop(g, step, ray, mode)) {
            break;
        }
        t = step.tNext;
    }
#ifdef SLICE_PLANES
    if (plane < kHuge && g.alpha < kOpaque) {
        gatherSlicePlane(g, ray, plane);
    }
#endif
    return afterLoop(g, mode);
}

void main() {
    Ray ray = rayThroughFragment();
#ifdef PROJECTIONS
    if (vRenderMode == kModeMip) {
        fragColor = castRay(ray, kModeMip);
    } else if (vRenderMode == kModeMinip) {
        fragColor = castRay(ray, kModeMinip);
    } else {
        fragColor = castRay(ray, kModeAverage);
    }
#else
    fragColor = castRay(ray, kModeComposite);
#endif
}
