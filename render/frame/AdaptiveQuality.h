#pragma once

#include <chrono>

// Decides how each frame is made, so that the view keeps up with the user's hands and
// is sharp whenever they are off the controls:
//  - a frame whose inputs (camera, window, clip values, lookup, volume, drawable) equal
//    those of the kept image is not drawn again: the kept image stands (Reuse);
//  - while the user interacts (a button held, a scroll gesture) and the inputs change,
//    frames are drawn at reduced resolution (DrawInteractive), and kept;
//  - every other frame that needs drawing is drawn at full quality (DrawFull): the first
//    one, every one with adaptation switched off, the turning and the window drift that
//    go on after the hands let go, and the frame after a reduced one once the hands are
//    off or the inputs have stayed the same for the settle time;
//  - while bricks stream in and nothing else changes, the kept full-quality image stands
//    for up to kStreamingRefresh, or kStreamingShare times as long as the last full frame
//    took (until the next frame was asked for), before the bricks that arrived meanwhile
//    are drawn (Reuse): on a software rasteriser every redraw takes the processor the brick
//    loaders need, so the view is complete sooner when fewer partial pictures are drawn on
//    the way. The frame that completes the view is drawn at once.
class AdaptiveQuality {
  public:
    using Clock = std::chrono::steady_clock;
    enum class Action { Reuse, DrawInteractive, DrawFull };

    // Short enough that a pointer held still with its button down is sharp within 0.3 s,
    // long enough that the pauses between a slider's steps do not start a full frame.
    static constexpr std::chrono::milliseconds kDefaultSettle{100};
    // Four pictures a second while bricks stream in: progress the eye follows.
    static constexpr std::chrono::milliseconds kStreamingRefresh{250};
    // Slow partial pictures take at most a quarter of the time while bricks stream in.
    static constexpr int kStreamingShare = 4;

    struct Frame {
        bool interacting = false;       // the user's hands are on the controls
        bool inputsChanged = false;     // differ from the previous frame's (true for the first)
        bool keptMatches = false;       // the kept image was made from exactly these inputs
        bool keptIsFull = false;        // ... at full quality
        bool onlyBricksArrived = false; // the kept image differs only by bricks that arrived
                                        // since, and more are on their way
        Clock::time_point now{};
    };
    Action next(const Frame& frame);

    void setEnabled(bool enabled) { m_enabled = enabled; }
    void setSettle(Clock::duration settle) { m_settle = settle; }

  private:
    bool m_enabled = true;
    bool m_anyFrame = false;
    Clock::duration m_settle = kDefaultSettle;
    Clock::time_point m_lastChange{};
    Clock::time_point m_lastFull{};
    Clock::duration m_lastFullTook{}; // from the last full frame to the frame after it
    bool m_timingFull = false;        // the frame after a full one is still to come
};
