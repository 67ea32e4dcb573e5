#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <mutex>
#include <stop_token>

class QVRenderer;
struct VolumeRecord;

// What an import's worker shares with the command that started it; it outlives both,
// since a worker may still be reading when the window and its renderer go.
//
// Volumes reach the renderer one hand-over at a time, and only while their import is
// still wanted: once a later import has stopped an earlier one (through its stop
// token), the earlier one never replaces a volume, however late its read finishes.
// Results travel back to the receiver's thread as queued calls and are dropped once
// the receiver has closed.
class ImportHandOver {
  public:
    enum class Outcome { Replaced, Refused, Stopped };

    explicit ImportHandOver(QObject* receiver);

    // Worker thread: replaces the renderer's volume with `record` (upload and post)
    // unless `stop` has been requested or the hand-over is closed; a stop requested
    // during the upload ends it there. On a refusal the renderer keeps its volume and
    // *reason says why.
    Outcome handOver(QVRenderer& renderer, const VolumeRecord& record, const std::stop_token& stop,
                     QString* reason);

    // Any thread: runs `call` on the receiver's thread, unless it has closed by then.
    void post(std::function<void()> call);

    // The receiver's thread, before the receiver and the renderer go: waits for a
    // hand-over in progress, then lets nothing more reach either of them.
    void close();

  private:
    std::mutex m_rendererMutex;
    bool m_rendererClosed = false; // guarded by m_rendererMutex
    std::mutex m_receiverMutex;
    QObject* m_receiver; // guarded by m_receiverMutex; null once closed
};
