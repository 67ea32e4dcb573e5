#pragma once

#include "ui/window/UserAlert.h"

#include <QPointer>
#include <QWidget>

// Warnings as message boxes over the given window. The box opens window-modal and
// returns at once: whoever warns never waits for the user to close it.
class MessageBoxAlert : public UserAlert {
  public:
    explicit MessageBoxAlert(QWidget* parent = nullptr);

    void warn(const QString& title, const QString& text) override;

  private:
    QPointer<QWidget> m_parent;
};
