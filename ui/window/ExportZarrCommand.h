#pragma once

#include "ui/import/FilePicker.h"
#include "ui/window/UserAlert.h"

#include <QCoreApplication>
#include <QString>
#include <memory>

class ViewController;

// File › Export as OME-Zarr…: writes the volume on show, whatever it was read from, as an
// OME-Zarr store (OmeZarrWriter) on a pool thread, under a progress dialog whose Cancel
// stops the write and leaves nothing behind. A write that fails is reported with its reason.
class ExportZarrCommand {
    Q_DECLARE_TR_FUNCTIONS(ExportZarrCommand)

  public:
    explicit ExportZarrCommand(ViewController& controller);
    ~ExportZarrCommand();

    void setFilePicker(std::unique_ptr<FilePicker> picker);
    void setUserAlert(std::unique_ptr<UserAlert> alert);

    // Asks where to write, offering `suggestedName` (".zarr" is added where the user gives
    // no extension), then writes the store; returns once it is written, refused or cancelled.
    void exportVolume(const QString& suggestedName);

  private:
    ViewController& m_controller;
    std::unique_ptr<FilePicker> m_filePicker;
    std::unique_ptr<UserAlert> m_userAlert;
    QString m_lastFolder;
};
