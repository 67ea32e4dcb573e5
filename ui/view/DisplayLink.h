#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

class QWidget;

// The display's heartbeat for one widget: `refreshed` is emitted once per refresh of
// the screen the widget is on, while running. Qt offers no vsync callback for a widget
// on every platform (on X11 a window's update request is a plain 5 ms timer), so the
// beat is a precise timer at the screen's refresh rate, re-read on every beat so that a
// window moved to a screen of another rate follows it. A beat that comes late (the
// previous frame took longer than a refresh) is not made up for: frames are never queued.
class DisplayLink : public QObject {
    Q_OBJECT

  public:
    explicit DisplayLink(QWidget* widget);

    void start();
    void stop();
    // Starts the next refresh interval now: for a frame drawn outside the beat (an expose or
    // a resize), so that the next beat does not follow it at once.
    void restartInterval();

  signals:
    void refreshed();

  private:
    void beat();
    int refreshIntervalMs() const;

    QPointer<QWidget> m_widget;
    QTimer m_timer;
};
