#include "render/frame/AdaptiveQuality.h"

AdaptiveQuality::Action AdaptiveQuality::next(const Frame& frame) {
    const bool firstFrame = !m_anyFrame;
    m_anyFrame = true;
    if (frame.inputsChanged) {
        m_lastChange = frame.now;
    }
    const bool reducedAllowed =
        m_enabled && !firstFrame && frame.interacting && frame.now - m_lastChange < m_settle;
    if (frame.keptMatches && (frame.keptIsFull || reducedAllowed)) {
        return Action::Reuse;
    }
    if (m_enabled && frame.onlyBricksArrived && frame.keptIsFull &&
        frame.now - m_lastFull < kStreamingRefresh) {
        return Action::Reuse;
    }
    if (reducedAllowed) {
        return Action::DrawInteractive;
    }
    m_lastFull = frame.now;
    return Action::DrawFull;
}
