#pragma once

#include "render/MTKView.h"

#include <QImage>
#include <QSize>
#include <QString>
#include <memory>

// A view without a window: a framebuffer of a fixed size in a context of its own on an
// offscreen surface, in the device's share group. The bench and the pixel tests draw
// frames into it and read the pixels back. GUI thread only. The five pointer values are
// plain settable values here.
class OffscreenMTKView : public MTKView {
  public:
    // Null, with the reason in *error, when no context or framebuffer can be made.
    static std::unique_ptr<OffscreenMTKView> create(std::shared_ptr<gpu::Device> device, QSize size,
                                                    QString* error);
    ~OffscreenMTKView() override;

    std::shared_ptr<gpu::Device> device() const override;
    gpu::PixelFormat colorPixelFormat() const override { return gpu::PixelFormat::RGBA8Unorm; }
    DrawableSize drawableSize() const override;
    const gpu::RenderPassDescriptor* currentRenderPassDescriptor() override;
    gpu::Drawable* currentDrawable() override;

    std::int64_t deltaX() const override { return m_deltaX; }
    std::int64_t deltaY() const override { return m_deltaY; }
    std::int64_t zoom() const override { return m_zoom; }
    std::int64_t rdeltaX() const override { return m_rdeltaX; }
    std::int64_t rdeltaY() const override { return m_rdeltaY; }
    void setDeltaX(std::int64_t value) { m_deltaX = value; }
    void setDeltaY(std::int64_t value) { m_deltaY = value; }
    void setZoom(std::int64_t value) { m_zoom = value; }
    void setRdeltaX(std::int64_t value) { m_rdeltaX = value; }
    void setRdeltaY(std::int64_t value) { m_rdeltaY = value; }
    // Stands for the user's hands on the controls (the bench's drag).
    bool userIsInteracting() const override { return m_interacting; }
    void setUserInteracting(bool interacting) { m_interacting = interacting; }

    void setClearColor(gpu::ClearColor color);

    // Makes the view's context current, lets the delegate draw one frame into the
    // framebuffer and waits until the GPU has finished it.
    void draw(MTKViewDelegate& delegate);
    // The framebuffer's pixels, top row first, alpha forced opaque (as a window shows them).
    QImage grabImage();
    // How many frames were presented (committed with this view's drawable).
    int presentedFrames() const;

  private:
    struct Private;
    explicit OffscreenMTKView(std::unique_ptr<Private> state);

    std::unique_ptr<Private> d;
    std::int64_t m_deltaX = 0;
    std::int64_t m_deltaY = 0;
    std::int64_t m_zoom = 0;
    std::int64_t m_rdeltaX = 0;
    std::int64_t m_rdeltaY = 0;
    bool m_interacting = false;
};
