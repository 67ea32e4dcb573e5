#pragma once

#include "ui/import/FilePicker.h"
#include "ui/window/UserAlert.h"

#include <QCoreApplication>
#include <QString>
#include <memory>

class ViewController;

// File › Save Image…: writes the view's picture to a PNG file, drawn at full quality
// (never one of the reduced frames shown while the user drags) and at the view's size in
// device pixels. A file that cannot be written is reported with its reason, and so is a
// picture that cannot be completed (bricks of the volume unreadable or late): nothing is
// saved then.
class SaveImageCommand {
    Q_DECLARE_TR_FUNCTIONS(SaveImageCommand)

  public:
    explicit SaveImageCommand(ViewController& controller);
    ~SaveImageCommand();

    // The save panel and the warnings; by default a file dialog and message boxes over
    // the view's window.
    void setFilePicker(std::unique_ptr<FilePicker> picker);
    void setUserAlert(std::unique_ptr<UserAlert> alert);

    // Asks where to save, offering `suggestedName` (".png" is added where the user
    // gives no extension), then writes the picture.
    void saveImage(const QString& suggestedName);

  private:
    ViewController& m_controller;
    std::unique_ptr<FilePicker> m_filePicker;
    std::unique_ptr<UserAlert> m_userAlert;
    QString m_lastFolder;
};
