#include "ui/import/DialogFilePicker.h"

#include <QFileDialog>

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
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}
