#pragma once

#include "GlBuffer.h"
#include "GlContextProvider.h"
#include "gpu/Gpu.h"

#include <QString>
#include <memory>

namespace gl {

// The OpenGL 4.1 core device: its objects live in Qt's global share group, so what is
// made before the view is shown, or on a worker thread, is visible to the view's context.
class GlDevice : public gpu::Device {
  public:
    // GUI thread only. Null, with the reason in *error, when no suitable context exists.
    static std::shared_ptr<GlDevice> create(QString* error);

    std::unique_ptr<gpu::Library> newDefaultLibrary() override;
    std::shared_ptr<gpu::RenderPipelineState>
    newRenderPipelineStateWithDescriptor(const gpu::RenderPipelineDescriptor& descriptor,
                                         std::string* error) override;
    std::unique_ptr<gpu::CommandQueue> newCommandQueue() override;
    std::shared_ptr<gpu::Texture> newTextureWithDescriptor(const gpu::TextureDescriptor& descriptor,
                                                           std::string* error) override;
    std::shared_ptr<gpu::Buffer> newBufferWithBytes(const void* bytes, std::size_t length,
                                                    std::uint32_t options) override;
    std::size_t maxTexture3DSize() const override { return m_maxTexture3DSize; }

  private:
    explicit GlDevice(std::shared_ptr<GlContextProvider> contexts);

    std::shared_ptr<GlContextProvider> m_contexts;
    std::shared_ptr<GlBufferPool> m_buffers;
    std::size_t m_maxTexture3DSize = 0;
};

} // namespace gl
