#pragma once

#include "render/display/Camera.h"

#include <cstdint>

class DisplayModel;
class MTKView;

// Folds one view's pointer speeds into its camera and into the display window every view
// shares, once per frame. The speeds are levels (see ui/view/QVMTKView.h): a held drag applies
// again every frame.
//   - Right drag: the window's width by +2 × rdeltaX, then its level by −2 × rdeltaY, in
//     sample units, truncated toward zero and saturating at the ends of the int64 range;
//     both are set every frame, so the window's observers hear "ww" then "wl" each time.
//   - Left drag: the tilt by +0.005 × deltaY and the turn by −0.005 × deltaX radians; a step
//     that would reach or cross ±1.57 is dropped whole.
//   - Wheel: the zoom by 0.1 × its level, unless the sum is not finite.
class OrbitController {
  public:
    struct Speeds {
        std::int64_t deltaX = 0, deltaY = 0, zoom = 0, rdeltaX = 0, rdeltaY = 0;
        static Speeds of(const MTKView& view);
    };

    OrbitController(Camera& camera, DisplayModel& model) : m_camera(camera), m_model(model) {}

    void integrate(const Speeds& speeds);

  private:
    Camera& m_camera;
    DisplayModel& m_model;
};
