#include "HeadPhantom.h"

#include <algorithm>
#include <cmath>

namespace {

struct Vec3 {
    float x, y, z;
};

// Tissue values, CT units + 1024.
constexpr float kSkin = 1070.0f;
constexpr float kFat = 930.0f;
constexpr float kMuscle = 1050.0f;
constexpr float kCorticalBone = 2200.0f;
constexpr float kDiploe = 1600.0f;
constexpr float kCsf = 1030.0f;
constexpr float kGreyMatter = 1064.0f;
constexpr float kWhiteMatter = 1056.0f;
constexpr float kVentricle = 1030.0f;
constexpr float kVitreous = 1015.0f;
constexpr float kVertebra = 1750.0f;
constexpr float kDisc = 1080.0f;
constexpr float kMandible = 2000.0f;
constexpr float kAir = 0.0f;
constexpr float kNoiseAmplitude = 6.0f;
constexpr float kMaxSample = 65535.0f;

// Layer depths below the skin and into the skull, mm.
constexpr float kSkinDepth = 2.0f;
constexpr float kMuscleDepth = 5.0f;
constexpr float kSkullThickness = 6.0f;
constexpr float kCorticalTable = 2.0f;
constexpr float kCsfLayer = 2.0f;
constexpr float kGreyMatterDepth = 8.0f;
constexpr float kOrbitFatLayer = 3.0f;
constexpr float kMandibleThickness = 5.0f;

// A vertebra and the disc below it repeat every kVertebraPitch mm.
constexpr float kVertebraPitch = 25.0f;
constexpr float kDiscHeight = 5.0f;

// An axis-aligned ellipsoid with an approximate signed distance (negative inside)
// that is exact on the surface and accurate within a few millimetres of it, which
// is all that shells and anti-aliasing need.
struct Ellipsoid {
    Vec3 centre;
    Vec3 radii;

    float distance(Vec3 p) const {
        const float qx = (p.x - centre.x) / radii.x;
        const float qy = (p.y - centre.y) / radii.y;
        const float qz = (p.z - centre.z) / radii.z;
        const float k0 = std::sqrt(qx * qx + qy * qy + qz * qz);
        const float rx = qx / radii.x, ry = qy / radii.y, rz = qz / radii.z;
        const float k1 = std::sqrt(rx * rx + ry * ry + rz * rz);
        if (k1 == 0.0f)
            return -std::min({radii.x, radii.y, radii.z});
        return k0 * (k0 - 1.0f) / k1;
    }

    // The x range (mm) of row (y, z) that lies within `margin` of the ellipsoid,
    // conservatively; empty (lo > hi) when the row misses it.
    void rowSpan(float y, float z, float margin, float& lo, float& hi) const {
        const float dy = (y - centre.y) / (radii.y + margin);
        const float dz = (z - centre.z) / (radii.z + margin);
        const float t = 1.0f - dy * dy - dz * dz;
        if (t <= 0.0f) {
            lo = 1.0f;
            hi = 0.0f;
            return;
        }
        const float half = (radii.x + margin) * std::sqrt(t);
        lo = centre.x - half;
        hi = centre.x + half;
    }
};

// A vertical elliptic cylinder from the bottom of the grid up to a flat top.
struct Column {
    float centreX, centreY;
    float radiusX, radiusY;
    float top;

    float distance(Vec3 p) const {
        const Ellipsoid section{{centreX, centreY, 0.0f}, {radiusX, radiusY, 1.0e6f}};
        return std::max(section.distance({p.x, p.y, 0.0f}), p.z - top);
    }

    void rowSpan(float y, float z, float margin, float& lo, float& hi) const {
        const float dy = (y - centreY) / (radiusY + margin);
        const float t = 1.0f - dy * dy;
        if (z > top + margin || t <= 0.0f) {
            lo = 1.0f;
            hi = 0.0f;
            return;
        }
        const float half = (radiusX + margin) * std::sqrt(t);
        lo = centreX - half;
        hi = centreX + half;
    }
};

struct Sphere {
    Vec3 centre;
    float radius;

    float distance(Vec3 p) const {
        const float dx = p.x - centre.x, dy = p.y - centre.y, dz = p.z - centre.z;
        return std::sqrt(dx * dx + dy * dy + dz * dz) - radius;
    }

    Ellipsoid bounds() const { return {centre, {radius, radius, radius}}; }
};

// The anatomy, in mm, origin at the centre of the head.
constexpr Ellipsoid kCranium{{0.0f, 4.0f, 16.0f}, {74.0f, 90.0f, 92.0f}};
constexpr Ellipsoid kFace{{0.0f, -24.0f, -45.0f}, {60.0f, 70.0f, 62.0f}};
constexpr Column kNeck{0.0f, 15.0f, 48.0f, 52.0f, -40.0f};
constexpr Ellipsoid kSkull{{0.0f, 4.0f, 16.0f}, {68.0f, 84.0f, 86.0f}};
constexpr Ellipsoid kLeftVentricle{{-11.0f, 5.0f, 28.0f}, {7.0f, 30.0f, 13.0f}};
constexpr Ellipsoid kRightVentricle{{11.0f, 5.0f, 28.0f}, {7.0f, 30.0f, 13.0f}};
constexpr Ellipsoid kThirdVentricle{{0.0f, 8.0f, 10.0f}, {2.5f, 14.0f, 10.0f}};
constexpr Sphere kLeftEye{{-32.0f, -76.0f, -22.0f}, 10.0f};
constexpr Sphere kRightEye{{32.0f, -76.0f, -22.0f}, 10.0f};
constexpr Ellipsoid kJaw{{0.0f, -22.0f, -60.0f}, {50.0f, 56.0f, 42.0f}};
constexpr float kJawTop = -62.0f; // the mandible is the part of the jaw shell below this
constexpr float kJawBack = 5.0f;  // and in front of this
constexpr Column kSpine{0.0f, 28.0f, 11.0f, 11.0f, -70.0f};
constexpr Column kAirway{0.0f, -8.0f, 7.0f, 7.0f, -75.0f};

// Fraction of a voxel inside a boundary at signed distance d (negative inside).
float coverage(float d, float edgeWidth) {
    return std::clamp(0.5f - d / edgeWidth, 0.0f, 1.0f);
}

void paint(float& value, float tissue, float cover) {
    value += (tissue - value) * cover;
}

// Uniform in [-1, 1], from the voxel's indices only (a 32-bit integer hash).
float hashNoise(std::size_t x, std::size_t y, std::size_t z) {
    std::uint32_t h = static_cast<std::uint32_t>(x) * 0x8da6b343u ^
                      static_cast<std::uint32_t>(y) * 0xd8163841u ^
                      static_cast<std::uint32_t>(z) * 0xcb1ab31fu;
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return static_cast<float>(h) * (2.0f / 4294967295.0f) - 1.0f;
}

// Voxel index range [first, last] of an x range in mm, clipped to the row.
struct IndexSpan {
    std::ptrdiff_t first = 0;
    std::ptrdiff_t last = -1;

    bool contains(std::ptrdiff_t x) const { return x >= first && x <= last; }
};

} // namespace

HeadPhantom::HeadPhantom(const SampleGrid& grid)
    : m_grid(grid), m_edgeWidth((grid.spacingX + grid.spacingY + grid.spacingZ) / 3.0f) {}

void HeadPhantom::renderSlice(std::size_t zIndex, std::span<std::uint16_t> out) const {
    std::fill(out.begin(), out.end(), std::uint16_t{0});
    const SampleGrid& g = m_grid;
    const auto coordinate = [](std::size_t i, std::size_t count, float spacing) {
        return (static_cast<float>(i) + 0.5f - static_cast<float>(count) * 0.5f) * spacing;
    };
    const float z = coordinate(zIndex, g.depth, g.spacingZ);
    const float margin = 2.0f * m_edgeWidth;
    const auto toIndices = [&](float lo, float hi) {
        IndexSpan span;
        if (lo > hi)
            return span;
        const float half = static_cast<float>(g.width) * 0.5f;
        span.first =
            std::max<std::ptrdiff_t>(0, static_cast<std::ptrdiff_t>(std::floor(lo / g.spacingX + half)));
        span.last = std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(g.width) - 1,
                                             static_cast<std::ptrdiff_t>(std::ceil(hi / g.spacingX + half)));
        return span;
    };

    for (std::size_t yIndex = 0; yIndex < g.height; ++yIndex) {
        const float y = coordinate(yIndex, g.height, g.spacingY);
        // Most of the grid is air: only the x range that can touch the body is
        // evaluated, and each organ only within its own range.
        float lo[3], hi[3];
        kCranium.rowSpan(y, z, margin, lo[0], hi[0]);
        kFace.rowSpan(y, z, margin, lo[1], hi[1]);
        kNeck.rowSpan(y, z, margin, lo[2], hi[2]);
        const IndexSpan body = toIndices(std::min({lo[0], lo[1], lo[2]}), std::max({hi[0], hi[1], hi[2]}));
        if (body.first > body.last)
            continue;
        float l, h;
        kSkull.rowSpan(y, z, margin, l, h);
        const IndexSpan skull = toIndices(l, h);
        kJaw.rowSpan(y, z, margin, l, h);
        const IndexSpan jaw = toIndices(l, h);
        kSpine.rowSpan(y, z, margin, l, h);
        const IndexSpan spine = toIndices(l, h);
        kAirway.rowSpan(y, z, margin, l, h);
        const IndexSpan airway = toIndices(l, h);
        kLeftEye.bounds().rowSpan(y, z, kOrbitFatLayer + margin, l, h);
        const IndexSpan leftOrbit = toIndices(l, h);
        kRightEye.bounds().rowSpan(y, z, kOrbitFatLayer + margin, l, h);
        const IndexSpan rightOrbit = toIndices(l, h);

        std::uint16_t* row = out.data() + yIndex * g.width;
        for (std::ptrdiff_t xIndex = body.first; xIndex <= body.last; ++xIndex) {
            const Vec3 p{coordinate(static_cast<std::size_t>(xIndex), g.width, g.spacingX), y, z};
            const float e = m_edgeWidth;
            const float skin = std::min({kCranium.distance(p), kFace.distance(p), kNeck.distance(p)});
            const float inBody = coverage(skin, e);
            if (inBody == 0.0f)
                continue;
            float v = kAir;
            paint(v, kSkin, inBody);
            paint(v, kFat, coverage(skin + kSkinDepth, e));
            paint(v, kMuscle, coverage(skin + kMuscleDepth, e));

            float orbit = 1.0e6f;
            if (leftOrbit.contains(xIndex))
                orbit = kLeftEye.distance(p);
            if (rightOrbit.contains(xIndex))
                orbit = std::min(orbit, kRightEye.distance(p));

            if (skull.contains(xIndex)) {
                const float d = kSkull.distance(p);
                // Bone is the shell between the outer surface and kSkullThickness
                // inside it, minus the orbits; two cortical tables enclose the diploe.
                const float shell = std::max({d, -(d + kSkullThickness), -(orbit - kOrbitFatLayer)});
                paint(v, kCorticalBone, coverage(shell, e));
                const float diploe = std::max(
                    {d + kCorticalTable, -(d + kSkullThickness - kCorticalTable), -(orbit - kOrbitFatLayer)});
                paint(v, kDiploe, coverage(diploe, e));
                paint(v, kCsf, coverage(d + kSkullThickness, e));
                paint(v, kGreyMatter, coverage(d + kSkullThickness + kCsfLayer, e));
                paint(v, kWhiteMatter, coverage(d + kSkullThickness + kGreyMatterDepth, e));
                const float ventricles = std::min(
                    {kLeftVentricle.distance(p), kRightVentricle.distance(p), kThirdVentricle.distance(p)});
                paint(v, kVentricle, coverage(ventricles, e));
            }
            if (orbit < kOrbitFatLayer + margin) {
                paint(v, kFat, coverage(orbit - kOrbitFatLayer, e));
                paint(v, kVitreous, coverage(orbit, e));
            }
            if (jaw.contains(xIndex)) {
                const float d = kJaw.distance(p);
                const float mandible =
                    std::max({d, -(d + kMandibleThickness), p.z - kJawTop, p.y - kJawBack});
                paint(v, kMandible, coverage(mandible, e));
            }
            if (spine.contains(xIndex)) {
                // Discs sit at the bottom of each kVertebraPitch period.
                const float phase = std::fmod(p.z - kSpine.top + 1000.0f * kVertebraPitch, kVertebraPitch);
                const float disc = std::abs(phase - 0.5f * kDiscHeight) - 0.5f * kDiscHeight;
                const float column = kSpine.distance(p);
                paint(v, kVertebra, coverage(column, e));
                paint(v, kDisc, coverage(std::max(column, disc), e));
            }
            if (airway.contains(xIndex))
                paint(v, kAir, coverage(kAirway.distance(p), e));

            v += kNoiseAmplitude * inBody * hashNoise(static_cast<std::size_t>(xIndex), yIndex, zIndex);
            row[xIndex] =
                static_cast<std::uint16_t>(std::clamp(std::lround(v), 0L, static_cast<long>(kMaxSample)));
        }
    }
}
