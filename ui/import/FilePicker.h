#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// What an open panel shows: its title, the name filters it offers ("NRRD headers
// (*.nrrd *.NRRD *.nhdr)"), which of them is selected at first, the folder it opens in
// and the file it preselects there.
struct FilePickerRequest {
    QString title;
    QStringList nameFilters;
    int selectedFilter = 0;
    QString directory;
    QString selectedFile;
};

// Lets the user choose one existing file, or where to write one. The import reaches its open panels only
// through this interface, so the whole command can run without dialogs.
class FilePicker {
  public:
    virtual ~FilePicker() = default;

    // The chosen file; an empty text when the panel was confirmed without a file;
    // nothing when the user cancelled.
    virtual std::optional<QString> openFile(const FilePickerRequest& request) = 0;
    // The same for a file to write: it may not exist yet, and the user confirms
    // replacing one that does.
    virtual std::optional<QString> saveFile(const FilePickerRequest& request) = 0;
};
