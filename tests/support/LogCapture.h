#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <atomic>
#include <mutex>

// Collects the Qt log lines written while it lives (from any thread) instead of
// printing them. One at a time.
class LogCapture {
  public:
    LogCapture() : m_previous(qInstallMessageHandler(&LogCapture::handler)) { s_active = this; }
    ~LogCapture() {
        s_active = nullptr;
        qInstallMessageHandler(m_previous);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    // How many lines contain `text`.
    int count(const QString& text) const { return static_cast<int>(lines().filter(text).size()); }

  private:
    static inline std::atomic<LogCapture*> s_active{nullptr};

    static void handler(QtMsgType, const QMessageLogContext&, const QString& message) {
        if (LogCapture* capture = s_active) {
            std::lock_guard lock(capture->m_mutex);
            capture->m_lines.append(message);
        }
    }

    mutable std::mutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous;
};
