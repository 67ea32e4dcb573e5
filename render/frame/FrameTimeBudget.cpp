#include "render/frame/FrameTimeBudget.h"

#include <algorithm>
#include <cmath>

namespace {

// One measurement moves the budget by at most this factor either way, and only halfway
// (in proportion) toward what it suggests: one frame held up by something else must not
// make the next one coarse.
constexpr double kLargestStep = 2.0;

} // namespace

double FrameTimeBudget::frameStarted(Clock::time_point now) {
    if (m_lastPixels > 0.0 && now > m_lastStart) {
        const std::chrono::duration<double, std::milli> took = now - m_lastStart;
        const std::chrono::duration<double, std::milli> target = kTargetFrameTime;
        const double suggested = m_lastPixels * (target / took);
        // A whole drawable smaller than the budget may show that the budget is too large,
        // never that it is too small: its time may be the display's, not its own.
        if (!m_lastHeldByDrawable || suggested < m_pixels) {
            m_pixels = std::clamp(std::sqrt(m_pixels * suggested),
                                  std::max(m_pixels / kLargestStep, kLeastPixels), m_pixels * kLargestStep);
        }
    }
    m_lastStart = now;
    m_lastPixels = 0.0;
    return m_pixels;
}
