#version 410 core

// Fragment stage of the volume rendering: marches the ray from the camera through this
// fragment across the clipped volume, front to back, and composites what it meets.
//
// The backend binds the sampler named TextureN to texture index N. The volume's 16-bit
// texels arrive normalised and filtered trilinearly; times 65535 they are raw units again.

uniform sampler3D Texture0;

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

const int kClutGrey = 1;
const vec3 kDarkRed = vec3(0.40, 0.05, 0.03);
const vec3 kOrange = vec3(0.95, 0.50, 0.15);
const vec3 kIvory = vec3(1.00, 0.96, 0.86);

// Level 0 explicitly: the volume has no other, and inside the marching loops implicit
// derivatives would be undefined (and costly to compute).
float sampleValue(vec3 p) {
    return textureLod(Texture0, p, 0.0).r * kTexelScale + vSampleOffset;
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

    // One step advances at most one voxel along every axis. The start is jittered per
    // pixel within a step so that the sampling shows no rings.
    ivec3 size = textureSize(Texture0, 0);
    vec3 voxel = 1.0 / vec3(max(size, ivec3(1)));
    float stepLength = 1.0 / float(max(max(size.x, size.y), size.z));
    float jitter = fract(52.9829189 * fract(dot(gl_FragCoord.xy, vec2(0.06711056, 0.00583715))));
    vec3 worldDir = normalize(vModelScale * dir);
    float stepWorld = stepLength * length(vModelScale * dir);
    int maxSteps = int(ceil((tEnd - tStart) / stepLength)) + 1;

    // Most rays cross a lot of air: a tight loop finds the first sample inside the window
    // before the compositing loop, with its larger state, takes over.
    float t = tStart + jitter * stepLength;
    while (t < tEnd && sampleValue(vCameraTex + t * dir) <= vWindow.x) {
        t += stepLength;
    }

    vec3 color = vec3(0.0);
    float alpha = 0.0;
    // Uniform material behind a surface keeps the shade of that surface, so an organ reads
    // as a solid. Where the ray starts inside material (a cut), the cut face is lit head-on.
    float shade = 1.0;
    for (int i = 0; i < maxSteps && t < tEnd; ++i, t += stepLength) {
        vec3 p = vCameraTex + t * dir;
        float intensity = windowed(sampleValue(p));
        if (intensity <= 0.0) {
            continue;
        }
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
    if (alpha <= 0.0) {
        discard;
    }
    // The pipeline blends source × source alpha, so hand over colour not premultiplied.
    fragColor = vec4(color / alpha, alpha);
}
