#pragma once

#include "gpu/Gpu.h"

class QOpenGLFunctions_4_1_Core;

namespace gl {

// Copies between render targets in the context current on the calling thread, with
// glBlitFramebuffer. After a copy to or from a view's framebuffer that framebuffer stays
// bound, as the view expects at the end of its frame.
class GlBlitCommandEncoder : public gpu::BlitCommandEncoder {
  public:
    explicit GlBlitCommandEncoder(QOpenGLFunctions_4_1_Core& gl) : m_gl(gl) {}

    void copyRenderTarget(const gpu::RenderPassDescriptor& source,
                          const gpu::RenderPassDescriptor& destination) override;
    void endEncoding() override { m_ended = true; }

  private:
    QOpenGLFunctions_4_1_Core& m_gl;
    bool m_ended = false;
};

} // namespace gl
