#version 410 core

// Fragment stage of the volume rendering: marches the ray from the camera through this
// fragment across the clipped volume, front to back, and composites what it meets.
//
// The backend binds the sampler named TextureN to texture index N and the uniform block
// named BufferN to index N. The volume's 16-bit texels arrive normalised and filtered
// trilinearly; times 65535 they are raw units again.
//
// Empty space costs little: rays march only inside the box around every brick that
// reaches into the window, and there a ray leaves each brick whose largest texel lies
// below the window without sampling it, in steps of up to 64 voxels where the coarser
// levels of the brick grid are empty too. Nothing visible is skipped: a brick's maximum
// covers every voxel a trilinear sample inside it can blend, and the samples that are
// taken lie where they would lie without skipping.

uniform sampler3D Texture0;
// The brick grid: level n holds the largest texel of each brick of 8 · 2^n voxels (widened
// by one voxel on every side), read with texelFetch.
uniform sampler3D Texture1;

layout(std140) uniform Buffer3 {
    vec4 occupiedLow;  // texture coordinates of the box around everything that can show
    vec4 occupiedHigh;
} march;

in vec3 vTexPoint;
flat in vec3 vCameraTex;
flat in vec3 vModelScale;
flat in vec3 vClipLow;
flat in vec3 vClipHigh;
flat in vec2 vWindow;
flat in float vSampleOffset;
flat in int vClutmode;

out vec4 fragColor;

const float kTexelScale = 65535.0;
// A ray stops once what it has gathered hides everything behind it.
const float kOpaque = 0.99;
// Extinction per unit of world length (the longest side of the volume is 1) at the top
// of the window: tissue at the start-up window turns opaque within a few voxels, values
// low in the window stay translucent.
const float kDensity = 650.0;
// Samples fainter than this are composited without shading: they barely show.
const float kShadeThreshold = 0.02;
const float kAmbient = 0.25;
// Over this many steps behind the start of a ray the material counts as a cut face.
const float kCutDepth = 3.0;
// A change of this share of the window width per voxel counts as a surface to be lit.
const float kSurfaceContrast = 0.05;
const float kTiny = 1e-8;
const int kBrickSide = 8;

const int kClutGrey = 1;
const vec3 kDarkRed = vec3(0.40, 0.05, 0.03);
const vec3 kOrange = vec3(0.95, 0.50, 0.15);
const vec3 kIvory = vec3(1.00, 0.96, 0.86);

// Level 0 explicitly: the volume has no other, and inside the marching loops implicit
// derivatives would be undefined (and costly to compute).
float sampleValue(vec3 p) {
    return textureLod(Texture0, p, 0.0).r * kTexelScale + vSampleOffset;
}

// The largest raw value a trilinear sample can take inside the given cell of a level of
// the brick grid.
float brickMaximum(ivec3 cell, int level) {
    return texelFetch(Texture1, cell, level).r * kTexelScale + vSampleOffset;
}

float windowed(float value) {
    return clamp((value - vWindow.x) / vWindow.y, 0.0, 1.0);
}

// clutmode 0: low values dark red, middle orange, the top of the window ivory, so skin,
// soft tissue and bone differ; clutmode 1: grey.
vec3 lookup(float intensity) {
    if (vClutmode == kClutGrey) {
        return vec3(intensity);
    }
    return intensity < 0.5 ? mix(kDarkRed, kOrange, intensity * 2.0) : mix(kOrange, kIvory, intensity * 2.0 - 1.0);
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

// Diffuse light from the camera on the surface through p, judged by the gradient of the
// raw values (central differences one voxel apart, scaled to world lengths): x is the
// lit shade, y how clearly p lies on a surface (0 inside uniform material, where the
// gradient says nothing).
vec2 surfaceShade(vec3 p, vec3 worldDir, vec3 voxel) {
    vec3 dx = vec3(voxel.x, 0.0, 0.0);
    vec3 dy = vec3(0.0, voxel.y, 0.0);
    vec3 dz = vec3(0.0, 0.0, voxel.z);
    vec3 change = vec3(sampleValue(p + dx) - sampleValue(p - dx), sampleValue(p + dy) - sampleValue(p - dy),
                       sampleValue(p + dz) - sampleValue(p - dz));
    vec3 gradient = change / (2.0 * voxel * vModelScale);
    float gradientLength = length(gradient);
    if (gradientLength <= kTiny) {
        return vec2(1.0, 0.0);
    }
    float diffuse = abs(dot(gradient / gradientLength, worldDir));
    float surface = clamp(0.5 * length(change) / (kSurfaceContrast * vWindow.y), 0.0, 1.0);
    return vec2(kAmbient + (1.0 - kAmbient) * diffuse, surface);
}

void main() {
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

    // The part of the ray that can meet anything inside the window.
    vec3 reachLow = max(low, march.occupiedLow.xyz);
    vec3 reachHigh = min(high, march.occupiedHigh.xyz);
    vec2 reach = boxInterval(vCameraTex, dir, reachLow, reachHigh);
    float tMarchEnd = min(tEnd, reach.y);
    if (any(greaterThan(reachLow, reachHigh)) || max(reach.x, tStart) >= tMarchEnd) {
        discard;
    }

    // One step advances at most one voxel along every axis. The start is jittered per pixel
    // within a step so that the sampling shows no rings. Samples lie on that lattice from
    // the clip box on, whatever is skipped.
    ivec3 size = textureSize(Texture0, 0);
    vec3 sizeF = vec3(max(size, ivec3(1)));
    vec3 voxel = 1.0 / sizeF;
    float stepLength = 1.0 / float(max(max(size.x, size.y), size.z));
    float jitter = fract(52.9829189 * fract(dot(gl_FragCoord.xy, vec2(0.06711056, 0.00583715))));
    vec3 worldDir = normalize(vModelScale * dir);
    float stepWorld = stepLength * length(vModelScale * dir);
    float tFirst = tStart + jitter * stepLength;
    float t = tFirst + max(ceil((reach.x - tFirst) / stepLength), 0.0) * stepLength;
    int maxSteps = int(ceil((tMarchEnd - t) / stepLength)) + 1;

    vec3 invDir = 1.0 / mix(dir, vec3(kTiny), lessThan(abs(dir), vec3(kTiny)));
    vec3 farSide = vec3(greaterThan(dir, vec3(0.0)));
    ivec3 lastBrick = (size - 1) / kBrickSide;
    // The ray is in a brick that reaches into the window until here.
    float tBrickEnd = -1.0;

    vec3 color = vec3(0.0);
    float alpha = 0.0;
    // Uniform material behind a surface keeps the shade of that surface, so an organ reads
    // as a solid. Where the ray starts inside material (a cut), the cut face is lit head-on.
    float shade = 1.0;
    for (int i = 0; i < maxSteps && t < tMarchEnd; ++i) {
        vec3 p = vCameraTex + t * dir;
        if (t >= tBrickEnd) {
            ivec3 brick = clamp(ivec3(p * sizeF) / kBrickSide, ivec3(0), lastBrick);
            // How many levels of cells around p are empty; each level is fetched with a
            // constant level number, the sampler's fast path.
            int emptyLevels = 0;
            if (brickMaximum(brick, 0) <= vWindow.x) {
                emptyLevels = 1;
                if (brickMaximum(brick >> 1, 1) <= vWindow.x) {
                    emptyLevels = 2;
                    if (brickMaximum(brick >> 2, 2) <= vWindow.x) {
                        emptyLevels = 3;
                        if (brickMaximum(brick >> 3, 3) <= vWindow.x) {
                            emptyLevels = 4;
                        }
                    }
                }
            }
            // Where the ray leaves the largest empty cell around p, or p's brick.
            int level = max(emptyLevels - 1, 0);
            float cellSide = float(kBrickSide << level);
            vec3 exits = ((vec3(brick >> level) + farSide) * cellSide / sizeF - vCameraTex) * invDir;
            float tExit = min(min(exits.x, exits.y), exits.z);
            if (emptyLevels > 0) {
                // On to the first sample of the lattice beyond the empty cell.
                t = max(tFirst + ceil((tExit - tFirst) / stepLength) * stepLength, t + stepLength);
                continue;
            }
            tBrickEnd = tExit;
        }
        float intensity = windowed(sampleValue(p));
        if (intensity > 0.0) {
            float a = 1.0 - exp(-kDensity * intensity * intensity * stepWorld);
            if (a > kShadeThreshold) {
                vec2 lit = surfaceShade(p, worldDir, voxel);
                float pastCut = clamp((t - tStart) / (kCutDepth * stepLength), 0.0, 1.0);
                shade = mix(shade, lit.x, lit.y * pastCut);
            }
            color += (1.0 - alpha) * a * shade * lookup(intensity);
            alpha += (1.0 - alpha) * a;
            if (alpha >= kOpaque) {
                break;
            }
        }
        t += stepLength;
    }
    if (alpha <= 0.0) {
        discard;
    }
    // The pipeline blends source × source alpha, so hand over colour not premultiplied.
    fragColor = vec4(color / alpha, alpha);
}
