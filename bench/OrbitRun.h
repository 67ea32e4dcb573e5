#pragma once

#include <QImage>
#include <cstdint>
#include <vector>

class OffscreenMTKView;
class QVRenderer;

// Draws frames through the renderer's real frame step while the camera orbits the
// volume at a constant turn speed, as after a left drag, and times each frame to its
// finish on the GPU.
class OrbitRun {
  public:
    OrbitRun(QVRenderer& renderer, OffscreenMTKView& view);

    // Draws `frames` frames; bricks the new views need stream in meanwhile.
    void run(int frames);
    // Stops the camera, as when the user lets go, and draws frames until the renderer shows
    // a full-quality image (at most `limitMs`), then `frames` more in which nothing changes.
    void stop(int frames, double limitMs);

    const std::vector<double>& frameMilliseconds() const { return m_frameMs; }
    // Processor time of each frame, all threads (the driver's rasteriser threads included).
    const std::vector<double>& frameCpuMilliseconds() const { return m_frameCpuMs; }
    // The brick pool's level of detail after each frame, and how many frames drew without
    // every brick their view needed (a coarser level standing in).
    const std::vector<std::uint32_t>& frameLevels() const { return m_frameLevels; }
    int incompleteFrames() const { return m_incompleteFrames; }
    // From the end of the last frame that moved the camera to the end of the first frame
    // at full quality; negative when none came within the limit.
    double fullQualityAfterMilliseconds() const { return m_fullQualityAfterMs; }
    // The frames in which nothing changed.
    const std::vector<double>& stillFrameMilliseconds() const { return m_stillFrameMs; }
    QImage lastFrame() const;

  private:
    // The turn for the next frame: the orbit swings back before the turn angle would
    // reach its bound, so every frame sees a new camera.
    void chooseTurn();

    QVRenderer& m_renderer;
    OffscreenMTKView& m_view;
    std::int64_t m_deltaX;
    std::vector<double> m_frameMs;
    std::vector<double> m_frameCpuMs;
    std::vector<std::uint32_t> m_frameLevels;
    int m_incompleteFrames = 0;
    double m_fullQualityAfterMs = -1.0;
    std::vector<double> m_stillFrameMs;
};
