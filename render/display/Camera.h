#pragma once

// Where one view's camera orbits the volume: tilted about x, turned about y (radians, each
// kept inside ±1.57 by the pointer) and brought nearer by the zoom. Each view has its own;
// the turn about the viewing axis is the display model's, shared by every view.
struct Camera {
    float xAngle = 0.0f;
    float yAngle = 0.0f;
    float zoom = 0.0f;
};
