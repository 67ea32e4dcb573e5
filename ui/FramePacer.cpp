#include "FramePacer.h"

#include <algorithm>
#include <cmath>

FramePacer::FramePacer(double refreshRateHz) {
    setRefreshRate(refreshRateHz);
}

void FramePacer::setRefreshRate(double refreshRateHz) {
    const double hz =
        std::isfinite(refreshRateHz) && refreshRateHz > 0.0 ? refreshRateHz : kFallbackRefreshRateHz;
    m_intervalMs = 1000.0 / hz;
}

void FramePacer::frameStarted(std::int64_t nowMs) {
    if (m_lastStartMs >= 0 && !m_pacing) {
        const auto gap = static_cast<double>(nowMs - m_lastStartMs);
        m_unpacedRun = gap < kUnpacedShare * m_intervalMs ? m_unpacedRun + 1 : 0;
        m_pacing = m_unpacedRun >= kUnpacedRunToPace;
    }
    m_lastStartMs = nowMs;
}

std::int64_t FramePacer::delayBeforeNextFrame(std::int64_t nowMs) const {
    if (!m_pacing) {
        return 0;
    }
    const auto nextStart =
        static_cast<std::int64_t>(std::ceil(static_cast<double>(m_lastStartMs) + m_intervalMs));
    return std::max<std::int64_t>(0, nextStart - nowMs);
}
