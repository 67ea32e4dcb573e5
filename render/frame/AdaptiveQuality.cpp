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
    return reducedAllowed ? Action::DrawInteractive : Action::DrawFull;
}
