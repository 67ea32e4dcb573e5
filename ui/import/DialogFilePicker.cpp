#include "ui/import/DialogFilePicker.h"

#include "volume/zarr/DirectoryStore.h"
#include "volume/zarr/OmeZarrLayout.h"

#include <QFileDialog>

namespace {

// A chunked store is a folder whose metadata files (.zattrs, .zarray) the dialog hides
// as dot files: the folder itself is what the user means to open.
bool opensAsStore(const QString& folder) {
    return OmeZarrLayout::isStoreFolder(folder) &&
           std::holds_alternative<OmeZarrLayout>(OmeZarrLayout::open(DirectoryStore(folder)));
}

} // namespace

DialogFilePicker::DialogFilePicker(QWidget* parent) : m_parent(parent) {}

std::optional<QString> DialogFilePicker::openFile(const FilePickerRequest& request) {
    return run(request, QFileDialog::AcceptOpen);
}

std::optional<QString> DialogFilePicker::saveFile(const FilePickerRequest& request) {
    return run(request, QFileDialog::AcceptSave);
}

std::optional<QString> DialogFilePicker::run(const FilePickerRequest& request, QFileDialog::AcceptMode mode) {
    QFileDialog dialog(m_parent, request.title, request.directory);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilters(request.nameFilters);
    if (request.selectedFilter >= 0 && request.selectedFilter < request.nameFilters.size()) {
        dialog.selectNameFilter(request.nameFilters[request.selectedFilter]);
    }
    if (!request.selectedFile.isEmpty()) {
        dialog.selectFile(request.selectedFile);
    }
    QString store;
    if (mode == QFileDialog::AcceptOpen) {
        QObject::connect(&dialog, &QFileDialog::directoryEntered, &dialog, [&](const QString& folder) {
            if (opensAsStore(folder)) {
                store = folder;
                static_cast<QDialog&>(dialog).done(QDialog::Accepted);
            }
        });
    }
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    if (!store.isEmpty()) {
        return store;
    }
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}
