#include "render/display/OrbitController.h"

#include "render/MTKView.h"
#include "render/display/DisplayModel.h"

#include <cmath>
#include <limits>

namespace {

// Sample units of window per pixel of right drag, per frame.
constexpr double kWindowStep = 2.0;
// Radians of tilt or turn per pixel of left drag, per frame.
constexpr double kRotationStep = 0.005;
// Tilt and turn stay strictly inside ±1.57; a step that would leave it is dropped whole.
constexpr double kRotationBound = 1.57;
constexpr double kZoomStep = 0.1;

// value + step, truncated toward zero; saturates instead of overflowing.
std::int64_t steppedWindowValue(std::int64_t value, double step) {
    const double stepped = static_cast<double>(value) + step;
    constexpr double kLimit = 9.2233720368547758e18; // 2^63
    if (stepped >= kLimit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (stepped < -kLimit) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(stepped);
}

// The angle after one step, unless the step would reach or cross the bound.
float steppedAngle(float angle, double step) {
    const float candidate = static_cast<float>(static_cast<double>(angle) + step);
    const double widened = candidate;
    return widened > -kRotationBound && widened < kRotationBound ? candidate : angle;
}

} // namespace

OrbitController::Speeds OrbitController::Speeds::of(const MTKView& view) {
    return {view.deltaX(), view.deltaY(), view.zoom(), view.rdeltaX(), view.rdeltaY()};
}

void OrbitController::integrate(const Speeds& speeds) {
    // Width first: the observers hear "ww" then "wl", and may change the window in between.
    m_model.setWindowWidth(
        steppedWindowValue(m_model.windowWidth(), kWindowStep * static_cast<double>(speeds.rdeltaX)));
    m_model.setWindowLevel(
        steppedWindowValue(m_model.windowLevel(), -kWindowStep * static_cast<double>(speeds.rdeltaY)));

    m_camera.xAngle = steppedAngle(m_camera.xAngle, kRotationStep * static_cast<double>(speeds.deltaY));
    m_camera.yAngle = steppedAngle(m_camera.yAngle, -kRotationStep * static_cast<double>(speeds.deltaX));
    const float zoom =
        static_cast<float>(static_cast<double>(m_camera.zoom) + kZoomStep * static_cast<double>(speeds.zoom));
    if (std::isfinite(zoom)) {
        m_camera.zoom = zoom;
    }
}
