#pragma once

#include <chrono>

// Decides how each frame is made, so that the view stays smooth while the user drags and
// sharp once they stop. The view redraws continuously, so most frames show what the last
// one showed:
//  - a frame whose inputs (camera, window, clip values, lookup, volume, drawable) equal
//    those of the kept image is not drawn again: the kept image is shown (Reuse);
//  - while the inputs change from frame to frame, frames are drawn at reduced quality
//    (DrawInteractive), and kept;
//  - once they have stayed the same for the settle time, one full-quality frame is drawn
//    (DrawFull) and kept. The first frame, and every frame with adaptation switched off,
//    is drawn at full quality.
class AdaptiveQuality {
  public:
    using Clock = std::chrono::steady_clock;
    enum class Action { Reuse, DrawInteractive, DrawFull };

    // Short enough that the full-quality frame follows the last change well within 0.3 s,
    // long enough that the pauses between a slider's steps do not start one.
    static constexpr std::chrono::milliseconds kDefaultSettle{100};

    // `inputsChanged`: this frame's inputs differ from the previous frame's (always true
    // for the first). `keptMatches`: the kept image was made from exactly these inputs;
    // `keptIsFull`: at full quality.
    Action next(bool inputsChanged, bool keptMatches, bool keptIsFull, Clock::time_point now);

    void setEnabled(bool enabled) { m_enabled = enabled; }
    bool isEnabled() const { return m_enabled; }
    void setSettle(Clock::duration settle) { m_settle = settle; }

  private:
    bool m_enabled = true;
    bool m_anyFrame = false;
    Clock::duration m_settle = kDefaultSettle;
    Clock::time_point m_lastChange{};
};
