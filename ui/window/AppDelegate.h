#pragma once

#include <QObject>

// The application's delegate: the last stop for the import command when no main
// view controller can take it, where it does nothing.
class AppDelegate : public QObject {
    Q_OBJECT

  public:
    explicit AppDelegate(QObject* parent = nullptr);

    // The viewer keeps no window state between runs; nothing it could restore is
    // unsafe to decode.
    bool applicationSupportsSecureRestorableState(const QObject* application) const;

    void menuImportaction();
};
