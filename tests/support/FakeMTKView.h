#pragma once

#include "CallLog.h"
#include "MTKView.h"
#include "RecordingGpu.h"

#include <memory>
#include <optional>

// A view for the renderer's unit tests: every value is settable, the render pass
// descriptor can be withdrawn, and reads of the five pointer values are recorded in
// the log ("view.rdeltaX()") so their order within a frame can be checked.
class FakeMTKView : public MTKView {
  public:
    FakeMTKView(std::shared_ptr<gpu::Device> device, std::shared_ptr<CallLog> log)
        : m_device(std::move(device)), m_log(std::move(log)), m_drawable(m_log) {
        m_pass.width = 64;
        m_pass.height = 64;
    }

    std::shared_ptr<gpu::Device> device() const override { return m_device; }
    gpu::PixelFormat colorPixelFormat() const override { return m_pixelFormat; }
    DrawableSize drawableSize() const override { return m_drawableSize; }
    const gpu::RenderPassDescriptor* currentRenderPassDescriptor() override {
        return m_hasPass ? &m_pass : nullptr;
    }
    gpu::Drawable* currentDrawable() override { return &m_drawable; }

    std::int64_t deltaX() const override { return read("deltaX", m_deltaX); }
    std::int64_t deltaY() const override { return read("deltaY", m_deltaY); }
    std::int64_t zoom() const override { return read("zoom", m_zoom); }
    std::int64_t rdeltaX() const override { return read("rdeltaX", m_rdeltaX); }
    std::int64_t rdeltaY() const override { return read("rdeltaY", m_rdeltaY); }
    bool userIsInteracting() const override { return m_interacting; }
    bool keepsPresentedPicture() const override { return m_keepsPicture; }

    void setDevice(std::shared_ptr<gpu::Device> device) { m_device = std::move(device); }
    void setColorPixelFormat(gpu::PixelFormat format) { m_pixelFormat = format; }
    void setDrawableSize(DrawableSize size) { m_drawableSize = size; }
    void setHasRenderPass(bool hasPass) { m_hasPass = hasPass; }
    void setRenderPassTarget(std::uint64_t nativeTarget) { m_pass.nativeTarget = nativeTarget; }
    // The drawable's size and the pass's, as a real view offers them.
    void setRenderPassSize(std::uint32_t width, std::uint32_t height) {
        m_pass.width = width;
        m_pass.height = height;
        m_drawableSize = {static_cast<double>(width), static_cast<double>(height)};
    }
    void setUserInteracting(bool interacting) { m_interacting = interacting; }
    void setKeepsPresentedPicture(bool keeps) { m_keepsPicture = keeps; }
    void setDeltaX(std::int64_t value) { m_deltaX = value; }
    void setDeltaY(std::int64_t value) { m_deltaY = value; }
    void setZoom(std::int64_t value) { m_zoom = value; }
    void setRdeltaX(std::int64_t value) { m_rdeltaX = value; }
    void setRdeltaY(std::int64_t value) { m_rdeltaY = value; }

  private:
    std::int64_t read(const char* name, std::int64_t value) const {
        m_log->record(std::string("view.") + name + "()");
        return value;
    }

    std::shared_ptr<gpu::Device> m_device;
    std::shared_ptr<CallLog> m_log;
    recording::Drawable m_drawable;
    gpu::PixelFormat m_pixelFormat = gpu::PixelFormat::BGRA8Unorm;
    DrawableSize m_drawableSize{64.0, 64.0};
    gpu::RenderPassDescriptor m_pass;
    bool m_hasPass = true;
    std::int64_t m_deltaX = 0;
    std::int64_t m_deltaY = 0;
    std::int64_t m_zoom = 0;
    std::int64_t m_rdeltaX = 0;
    std::int64_t m_rdeltaY = 0;
    bool m_interacting = false;
    bool m_keepsPicture = false;
};
