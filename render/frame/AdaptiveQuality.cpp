#include "render/frame/AdaptiveQuality.h"

#include <algorithm>

AdaptiveQuality::Action AdaptiveQuality::next(const Frame& frame) {
    const bool firstFrame = !m_anyFrame;
    m_anyFrame = true;
    if (frame.inputsChanged) {
        m_lastChange = frame.now;
    }
    if (m_timingFull) {
        m_lastFullTook = frame.now - m_lastFull;
        m_timingFull = false;
    }
    const bool reducedAllowed =
        m_enabled && !firstFrame && frame.interacting && frame.now - m_lastChange < m_settle;
    if (frame.keptMatches && (frame.keptIsFull || reducedAllowed)) {
        return Action::Reuse;
    }
    const Clock::duration refresh =
        std::max<Clock::duration>(kStreamingRefresh, kStreamingShare * m_lastFullTook);
    if (m_enabled && frame.onlyBricksArrived && frame.keptIsFull && frame.now - m_lastFull < refresh) {
        return Action::Reuse;
    }
    if (reducedAllowed) {
        return Action::DrawInteractive;
    }
    m_lastFull = frame.now;
    m_timingFull = true;
    return Action::DrawFull;
}
