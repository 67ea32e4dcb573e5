#include "render/streaming/BrickVisibility.h"

#include "render/streaming/BrickRanges.h"

#include <algorithm>
#include <cmath>

namespace {

float4 transform(const float4x4& m, float x, float y, float z) {
    return m * float4{x, y, z, 1.0f};
}

// Whether the box (world coordinates) lies entirely outside one of the view's side or
// near planes.
bool outsideView(const float4x4& viewProjection, const std::array<float, 3>& low,
                 const std::array<float, 3>& high) {
    std::array<float4, 8> corners{};
    for (std::size_t i = 0; i < corners.size(); ++i) {
        corners[i] = transform(viewProjection, (i & 1) ? high[0] : low[0], (i & 2) ? high[1] : low[1],
                               (i & 4) ? high[2] : low[2]);
    }
    const auto allOutside = [&](auto outside) {
        return std::all_of(corners.begin(), corners.end(), outside);
    };
    return allOutside([](const float4& c) { return c.x < -c.w; }) ||
           allOutside([](const float4& c) { return c.x > c.w; }) ||
           allOutside([](const float4& c) { return c.y < -c.w; }) ||
           allOutside([](const float4& c) { return c.y > c.w; }) || allOutside([](const float4& c) {
               return c.z < 0.0f;
           }); // behind the near plane (clip z from 0 to w)
}

} // namespace

std::uint32_t pixelLevel(const BrickLayout& layout, const BrickView& view) {
    // Level-0 voxels per world unit along the finest axis, and the world length one pixel
    // spans at the volume's centre.
    const std::array<std::uint64_t, 3>& size = layout.voxels(0);
    double density = 0.0;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        density = std::max(density, static_cast<double>(size[axis]) / std::max(view.scale[axis], 1e-6f));
    }
    const double distance = std::hypot(view.camera[0], view.camera[1], view.camera[2]);
    const double pixel = 2.0 * distance / std::max(view.projectionScale, 1e-6f) /
                         static_cast<double>(std::max<std::uint32_t>(view.viewportHeight, 1));
    const double voxelsPerPixel = std::max(0.5 * pixel * density, 1.0);
    return std::min(static_cast<std::uint32_t>(std::floor(std::log2(voxelsPerPixel))), layout.baseLevel());
}

void findNeededBricks(const BrickLayout& layout, const BrickView& view, const BrickRanges& ranges,
                      std::uint32_t level, NeededBricks& needed) {
    needed.level = level;
    needed.candidates.clear();
    const std::uint64_t count = layout.brickCount(level);
    for (std::uint64_t index = 0; index < count; ++index) {
        const BrickKey key = layout.key(level, index);
        const std::array<std::array<float, 3>, 2> box = layout.textureBox(key);
        bool clipped = false;
        std::array<float, 3> low{}, high{};
        float distance = 0.0f;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            clipped = clipped || box[1][axis] <= view.clipLow[axis] || box[0][axis] >= view.clipHigh[axis];
            low[axis] = (box[0][axis] - 0.5f) * view.scale[axis];
            high[axis] = (box[1][axis] - 0.5f) * view.scale[axis];
            const float centre = 0.5f * (low[axis] + high[axis]) - view.camera[axis];
            distance += centre * centre;
        }
        if (clipped || outsideView(view.viewProjection, low, high) || !ranges.canShow(key, view.shown)) {
            continue;
        }
        needed.candidates.push_back({distance, key});
    }
    std::sort(needed.candidates.begin(), needed.candidates.end(),
              [](const NeededBricks::Candidate& a, const NeededBricks::Candidate& b) {
                  return a.distance < b.distance;
              });
    needed.bricks.clear();
    for (const NeededBricks::Candidate& candidate : needed.candidates) {
        needed.bricks.push_back(candidate.key);
    }
}

void chooseLevel(const BrickLayout& layout, const BrickView& view, const BrickRanges& ranges,
                 std::uint64_t room, NeededBricks& needed) {
    const std::uint32_t base = layout.baseLevel();
    for (std::uint32_t level = pixelLevel(layout, view); level < base; ++level) {
        findNeededBricks(layout, view, ranges, level, needed);
        if (needed.bricks.size() <= room) {
            return;
        }
    }
    findNeededBricks(layout, view, ranges, base, needed);
}
