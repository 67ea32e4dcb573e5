#include "ui/view/ViewWindow.h"

#include "render/QVRenderer.h"
#include "ui/view/QVMTKView.h"

#include <QVBoxLayout>

ViewWindow::ViewWindow(const QVRenderer& shown, std::shared_ptr<gpu::Device> device, QWidget* parent)
    : QWidget(parent, Qt::Window), m_view(new QVMTKView(this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("View — voxview"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    m_view->setDevice(std::move(device));
    m_renderer = std::make_unique<QVRenderer>(*m_view, shown);
    m_view->setDelegate(m_renderer.get());
}

ViewWindow::~ViewWindow() {
    // The view goes after the renderer: it must not call it in between.
    m_view->setDelegate(nullptr);
}
