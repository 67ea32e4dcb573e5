#pragma once

#include <cstdint>

// Decides when the continuously redrawn view asks for its next frame. Where the buffer
// swap waits for the display's refresh (vsync), frames are paced already and the next
// one is asked for at once. Where it does not (Xvfb, drivers without vsync), an unpaced
// loop redraws hundreds of times a second and keeps the processor busy with frames no
// screen shows; once the pacer has seen a run of such frames it holds each frame start
// to one refresh interval after the previous one, for the rest of the view's life.
class FramePacer {
  public:
    explicit FramePacer(double refreshRateHz = kFallbackRefreshRateHz);

    // A refresh rate of zero or less (unknown) falls back to 60 Hz.
    void setRefreshRate(double refreshRateHz);
    // Called as each frame starts, with a monotonic time in milliseconds.
    void frameStarted(std::int64_t nowMs);
    // How long to wait before asking for the next frame, in milliseconds (0: at once).
    std::int64_t delayBeforeNextFrame(std::int64_t nowMs) const;
    bool isPacing() const { return m_pacing; }

  private:
    static constexpr double kFallbackRefreshRateHz = 60.0;
    // Frames that start closer together than this share of the refresh interval were not
    // held by a vsync'd swap.
    static constexpr double kUnpacedShare = 0.5;
    // How many such frames in a row show that the swap does not wait.
    static constexpr int kUnpacedRunToPace = 10;

    double m_intervalMs = 1000.0 / kFallbackRefreshRateHz;
    std::int64_t m_lastStartMs = -1;
    int m_unpacedRun = 0;
    bool m_pacing = false;
};
