#pragma once

#include "FilePicker.h"

#include <QPointer>
#include <QWidget>

// Open panels as modal file dialogs over the given window.
class DialogFilePicker : public FilePicker {
  public:
    explicit DialogFilePicker(QWidget* parent = nullptr);

    std::optional<QString> openFile(const FilePickerRequest& request) override;

  private:
    QPointer<QWidget> m_parent;
};
