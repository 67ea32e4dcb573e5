#include "ui/view/DisplayLink.h"

#include <QScreen>
#include <QWidget>
#include <cmath>

namespace {

// What a screen that reports no rate (or an absurd one) is taken to refresh at.
constexpr double kFallbackRefreshRateHz = 60.0;
constexpr double kHighestRefreshRateHz = 1000.0;
constexpr double kMillisecondsPerSecond = 1000.0;

} // namespace

DisplayLink::DisplayLink(QWidget* widget) : QObject(widget), m_widget(widget) {
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(refreshIntervalMs());
    connect(&m_timer, &QTimer::timeout, this, &DisplayLink::beat);
}

void DisplayLink::start() {
    m_timer.start(refreshIntervalMs());
}

void DisplayLink::stop() {
    m_timer.stop();
}

void DisplayLink::restartInterval() {
    if (m_timer.isActive()) {
        m_timer.start();
    }
}

void DisplayLink::beat() {
    if (const int interval = refreshIntervalMs(); interval != m_timer.interval()) {
        m_timer.setInterval(interval);
    }
    emit refreshed();
}

int DisplayLink::refreshIntervalMs() const {
    const QScreen* screen = m_widget ? m_widget->screen() : nullptr;
    const double rate = screen ? screen->refreshRate() : 0.0;
    const double hz =
        std::isfinite(rate) && rate >= 1.0 && rate <= kHighestRefreshRateHz ? rate : kFallbackRefreshRateHz;
    return static_cast<int>(std::lround(kMillisecondsPerSecond / hz));
}
