#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <mutex>

// Collects the Qt log lines written while it lives (from any thread) instead of
// printing them. One at a time.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    // How many lines contain `text`.
    int count(const QString& text) const;

  private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);

    mutable std::mutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};
