#include "ui/window/MessageBoxAlert.h"

#include <QMessageBox>

MessageBoxAlert::MessageBoxAlert(QWidget* parent) : m_parent(parent) {}

void MessageBoxAlert::warn(const QString& title, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, m_parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
