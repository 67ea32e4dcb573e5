#include "AdaptiveQuality.h"

AdaptiveQuality::Action AdaptiveQuality::next(bool inputsChanged, bool keptMatches, bool keptIsFull,
                                              Clock::time_point now) {
    const bool firstFrame = !m_anyFrame;
    m_anyFrame = true;
    if (inputsChanged) {
        m_lastChange = now;
    }
    if (keptMatches && keptIsFull) {
        return Action::Reuse;
    }
    if (!m_enabled || firstFrame || now - m_lastChange >= m_settle) {
        return Action::DrawFull;
    }
    return keptMatches ? Action::Reuse : Action::DrawInteractive;
}
