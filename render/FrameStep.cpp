// The frame step of QVRenderer: once per display frame its OrbitController folds the
// view's pointer values into the display window, the camera angles and the zoom; the step
// then derives the model, view and projection matrices and encodes the frame. A volume an
// import posted since the last frame is adopted first, so that the observers and the frame
// see it whole.

#include "render/Math.h"
#include "render/QVRenderer.h"

#include <cmath>
#include <limits>

namespace {

// Before rotation the camera sits on the z axis at zoom − 2.
constexpr float kCameraOffset = -2.0f;
// With zoom at exactly 2 the camera would sit on its target and have no viewing
// direction; it is kept this far in front instead.
constexpr float kNudgedCameraDistance = -1.0e-3f;
constexpr float kFieldOfView = 0.785f;
constexpr float kNearPlane = 0.1f;
constexpr float kFarPlane = 10.0f;
constexpr float3 kWorldUp{0.0f, 1.0f, 0.0f};
constexpr float3 kCameraTarget{0.0f, 0.0f, 0.0f};

// Physical extent of one axis. A zero or non-finite spacing, or a zero voxel count,
// counts as 1 so that the proportions, and with them the matrices, stay finite.
float extent(float cellspace, std::uint64_t count) {
    const float spacing = std::isfinite(cellspace) && cellspace > 0.0f ? cellspace : 1.0f;
    const float voxels = count > 0 ? static_cast<float>(count) : 1.0f;
    return std::min(spacing * voxels, std::numeric_limits<float>::max());
}

} // namespace

void QVRenderer::drawInMTKView(MTKView& view) {
    adoptPostedVolume();
    m_scene->takeSurvey();

    m_orbit.integrate(OrbitController::Speeds::of(view));
    // The frame draws the model as it is now, whatever the observers set.
    m_display = m_model->snapshot();
    uploadColourMap();
    // Each cut to its low 32 bits, as the shaders receive them.
    m_wlww = {static_cast<std::int32_t>(m_display.windowLevel),
              static_cast<std::int32_t>(m_display.windowWidth)};

    // An empty drawable has no aspect ratio: nothing to draw, the empty frame is still committed.
    if (hasDrawable()) {
        updateUniforms();
    }
    DrawA(view);
}

void QVRenderer::updateUniforms() {
    // The longest side of the volume becomes 1, the others keep their proportion to it.
    const VolumeState& volume = m_scene->volume();
    const float ex = extent(volume.cellspaceX, volume.width);
    const float ey = extent(volume.cellspaceY, volume.height);
    const float ez = extent(volume.cellspaceZ, volume.depth);
    const float longer = ey > ex ? ey : ex;
    const float longest = ez > longer ? ez : longer;
    const float3 scale{ex / longest, ey / longest, ez / longest};

    // The volume stays put; the camera orbits it: first about y, then x, then z.
    const float4x4 rx = rotationMatrix(m_camera.xAngle, {1.0f, 0.0f, 0.0f});
    const float4x4 ry = rotationMatrix(m_camera.yAngle, {0.0f, 1.0f, 0.0f});
    const float4x4 rz = rotationMatrix(m_display.zAngle, {0.0f, 0.0f, 1.0f});
    const float4x4 rotation = rz * (rx * ry);

    m_uniforms.modelMatrix = scaleMatrix(scale);

    float distance = m_camera.zoom + kCameraOffset;
    if (distance == 0.0f) {
        distance = kNudgedCameraDistance;
    }
    const float4 camera = rotation * float4{0.0f, 0.0f, distance, 1.0f};
    m_uniforms.cameraPosition = camera;
    m_uniforms.viewMatrix = lookAtMatrix({camera.x, camera.y, camera.z}, kCameraTarget, kWorldUp);

    const float aspect = static_cast<float>(m_viewportSize.width) / static_cast<float>(m_viewportSize.height);
    m_uniforms.projectionMatrix = perspectiveMatrix(kFieldOfView, aspect, kNearPlane, kFarPlane);

    const ClipBox& clip = m_display.clip;
    m_uniforms.intercept = {clip.high[0], clip.high[1], clip.high[2], 0.0f};
    m_uniforms.interceptBtm = {clip.low[0], clip.low[1], clip.low[2], 0.0f};
    m_uniforms.clutmode = static_cast<std::uint8_t>(m_display.lookup);
    m_uniforms.renderMode = static_cast<std::uint8_t>(m_display.renderMode);
    m_uniforms.samplesPerStep = static_cast<std::uint8_t>(m_samplesPerStep);
    m_uniforms.opacityFromMap = m_display.colourMap->hasOpacity() ? 1 : 0;
    m_uniforms.sampleOffset = volume.sampleOffset;
    m_uniforms.ambient = m_lighting.lit ? std::clamp(m_lighting.ambient, 0.0f, 1.0f) : 1.0f;
}
