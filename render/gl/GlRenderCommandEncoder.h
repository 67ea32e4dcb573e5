#pragma once

#include "GlInlineBytes.h"
#include "gpu/Gpu.h"

#include <memory>
#include <string>

class QOpenGLContext;
class QOpenGLFunctions_4_1_Core;

namespace gl {

// Encodes into the context current on the calling thread (the view's, during a frame):
// starting binds the pass's framebuffer, sets the viewport to the pass's size and clears
// to its colour; the state a draw needs is set explicitly, since the context is shared
// with Qt's own drawing. endEncoding puts that state back.
class GlRenderCommandEncoder : public gpu::RenderCommandEncoder {
  public:
    GlRenderCommandEncoder(QOpenGLContext& context, QOpenGLFunctions_4_1_Core& gl,
                           std::shared_ptr<GlInlineBytes> inlineBytes, const gpu::RenderPassDescriptor& pass);
    ~GlRenderCommandEncoder() override;

    // OpenGL 4.1 has no labels for command streams; debug groups came with 4.3.
    void setLabel(const std::string& /*label*/) override {}
    void setRenderPipelineState(const gpu::RenderPipelineState& state) override;
    void setVertexBuffer(const gpu::Buffer* buffer, std::size_t offset, std::size_t index) override;
    void setVertexBytes(const void* bytes, std::size_t length, std::size_t index) override;
    void setFragmentTexture(const gpu::Texture* texture, std::size_t index) override;
    void drawPrimitives(gpu::PrimitiveType type, std::size_t vertexStart, std::size_t vertexCount) override;
    void endEncoding() override;

  private:
    QOpenGLFunctions_4_1_Core& m_gl;
    std::shared_ptr<GlInlineBytes> m_inlineBytes;
    bool m_ended = false;
};

} // namespace gl
