#pragma once

#include "GlInlineBytes.h"
#include "gpu/Gpu.h"

#include <memory>
#include <string>

namespace gl {

// Commands go straight into the context current on the calling thread; commit flushes
// them and marks the drawable for showing (the view swaps or composes it afterwards).
class GlCommandBuffer : public gpu::CommandBuffer {
  public:
    explicit GlCommandBuffer(std::shared_ptr<GlInlineBytes> inlineBytes)
        : m_inlineBytes(std::move(inlineBytes)) {}

    // OpenGL 4.1 has no labels for command streams; debug groups came with 4.3.
    void setLabel(const std::string& /*label*/) override {}
    // Null when no context sharing with the device is current on this thread.
    std::unique_ptr<gpu::RenderCommandEncoder>
    renderCommandEncoderWithDescriptor(const gpu::RenderPassDescriptor& descriptor) override;
    void presentDrawable(gpu::Drawable* drawable) override { m_drawable = drawable; }
    void commit() override;

  private:
    std::shared_ptr<GlInlineBytes> m_inlineBytes;
    gpu::Drawable* m_drawable = nullptr;
    bool m_committed = false;
};

class GlCommandQueue : public gpu::CommandQueue {
  public:
    explicit GlCommandQueue(std::shared_ptr<GlContextProvider> contexts)
        : m_inlineBytes(std::make_shared<GlInlineBytes>(std::move(contexts))) {}

    std::unique_ptr<gpu::CommandBuffer> commandBuffer() override {
        return std::make_unique<GlCommandBuffer>(m_inlineBytes);
    }

  private:
    std::shared_ptr<GlInlineBytes> m_inlineBytes;
};

} // namespace gl
