#include "OrbitRun.h"

#include "OffscreenMTKView.h"
#include "ProcessProbe.h"
#include "render/QVRenderer.h"
#include "render/streaming/BrickPool.h"

#include <QElapsedTimer>
#include <cmath>

namespace {

// 7 units of deltaX turn the camera by 0.035 rad (2°) per frame, the reference's azimuth step.
constexpr std::int64_t kOrbitDeltaX = 7;
constexpr double kTurnPerDeltaX = 0.005;
constexpr double kTurnBound = 1.57;

} // namespace

OrbitRun::OrbitRun(QVRenderer& renderer, OffscreenMTKView& view)
    : m_renderer(renderer), m_view(view), m_deltaX(kOrbitDeltaX) {}

void OrbitRun::chooseTurn() {
    const double next =
        static_cast<double>(m_renderer.yrot()) - kTurnPerDeltaX * static_cast<double>(m_deltaX);
    if (std::abs(next) >= kTurnBound) {
        m_deltaX = -m_deltaX;
    }
    m_view.setDeltaX(m_deltaX);
}

void OrbitRun::run(int frames) {
    m_frameMs.reserve(m_frameMs.size() + static_cast<std::size_t>(frames));
    m_frameCpuMs.reserve(m_frameCpuMs.size() + static_cast<std::size_t>(frames));
    QElapsedTimer timer;
    for (int frame = 0; frame < frames; ++frame) {
        chooseTurn();
        m_view.setUserInteracting(true);
        const double cpuBefore = ProcessProbe::cpuMilliseconds();
        timer.start();
        m_view.draw(m_renderer); // returns once the GPU has finished the frame
        m_frameMs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1.0e6);
        m_frameCpuMs.push_back(ProcessProbe::cpuMilliseconds() - cpuBefore);
        if (const BrickPool* pool = m_renderer.brickPool()) {
            m_frameLevels.push_back(pool->level());
            m_incompleteFrames += pool->complete() ? 0 : 1;
        }
    }
}

void OrbitRun::stop(int frames, double limitMs) {
    m_view.setDeltaX(0);
    m_view.setUserInteracting(false);
    QElapsedTimer sinceStop;
    sinceStop.start();
    while (static_cast<double>(sinceStop.elapsed()) < limitMs) {
        m_view.draw(m_renderer);
        if (m_renderer.showsFullQuality()) {
            m_fullQualityAfterMs = static_cast<double>(sinceStop.nsecsElapsed()) / 1.0e6;
            break;
        }
    }
    QElapsedTimer timer;
    for (int frame = 0; frame < frames; ++frame) {
        timer.start();
        m_view.draw(m_renderer);
        m_stillFrameMs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1.0e6);
    }
}

QImage OrbitRun::lastFrame() const {
    return m_view.grabImage();
}
