#pragma once

#include <chrono>

// How many pixels a reduced frame may hold while the user drags, learnt from how long
// such frames take: each reduced frame that directly follows another one measures the
// time from the previous one's start to its own, and the budget moves toward the pixel
// count that would have taken the target time. The measured time is the one the user
// sees (drawing, composition, waiting for the display), whatever the GPU.
class FrameTimeBudget {
  public:
    using Clock = std::chrono::steady_clock;

    // Fast enough to follow the pointer, slow enough to leave the reduced frames fine.
    static constexpr std::chrono::milliseconds kTargetFrameTime{30};
    // Where a drag starts before anything was measured: a third of 1024 × 768.
    static constexpr double kInitialPixels = 96.0 * 1024.0;
    // Below this a frame shows too little of the volume to steer by.
    static constexpr double kLeastPixels = 128.0 * 128.0;

    // A reduced frame starts at `now`; the pixels it may hold.
    double frameStarted(Clock::time_point now);
    // The reduced frame just started holds `pixels` of a drawable of `drawablePixels`: the
    // budget rounded down to whole rows and columns, or the whole drawable where it is smaller.
    void frameDrawn(double pixels, double drawablePixels) {
        m_lastPixels = pixels;
        m_lastHeldByDrawable = drawablePixels <= m_pixels;
    }
    // A frame that was not a reduced one: the next reduced frame measures nothing.
    void interrupted() { m_lastPixels = 0.0; }

  private:
    double m_pixels = kInitialPixels;
    double m_lastPixels = 0.0;
    bool m_lastHeldByDrawable = false;
    Clock::time_point m_lastStart{};
};
