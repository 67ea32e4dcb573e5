#pragma once

#include "ui/import/FilePicker.h"

#include <QFileDialog>
#include <QPointer>
#include <QWidget>

// Open and save panels as modal file dialogs over the given window.
class DialogFilePicker : public FilePicker {
  public:
    explicit DialogFilePicker(QWidget* parent = nullptr);

    std::optional<QString> openFile(const FilePickerRequest& request) override;
    std::optional<QString> saveFile(const FilePickerRequest& request) override;

  private:
    std::optional<QString> run(const FilePickerRequest& request, QFileDialog::AcceptMode mode);

    QPointer<QWidget> m_parent;
};
