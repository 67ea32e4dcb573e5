#pragma once

#include "render/gpu/Gpu.h"

#include <QWidget>
#include <memory>

class QVMTKView;
class QVRenderer;

// A window of its own with another view of the volume the main window shows (View › New
// View): a camera of its own over the main view's scene and display model, so a drag in
// it turns only it, while the window, lookup, clip box and the volume are those of every
// view. Closing it frees the view and its renderer.
class ViewWindow : public QWidget {
    Q_OBJECT

  public:
    // Shows what `shown` draws; `device` is the main view's.
    ViewWindow(const QVRenderer& shown, std::shared_ptr<gpu::Device> device, QWidget* parent = nullptr);
    ~ViewWindow() override;

    QVMTKView* view() const { return m_view; }
    QVRenderer* renderer() const { return m_renderer.get(); }

  private:
    QVMTKView* m_view;
    std::unique_ptr<QVRenderer> m_renderer;
};
