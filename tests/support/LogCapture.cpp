#include "LogCapture.h"

#include <atomic>

namespace {

std::atomic<LogCapture*> g_active{nullptr};

} // namespace

LogCapture::LogCapture() {
    g_active = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(m_previous);
    g_active = nullptr;
}

void LogCapture::handler(QtMsgType /*type*/, const QMessageLogContext& /*context*/, const QString& message) {
    LogCapture* capture = g_active;
    if (capture == nullptr)
        return;
    std::lock_guard lock(capture->m_mutex);
    capture->m_lines.append(message);
}

QStringList LogCapture::lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
}

int LogCapture::count(const QString& text) const {
    return static_cast<int>(lines().filter(text).size());
}
