#pragma once

#include "gpu/Gpu.h"

class QOpenGLFunctions_4_1_Core;

namespace gl {

// The framebuffer a pass draws into or is copied from: the view's own (the pass's native
// target), or one made here for the pass's render-target texture and deleted with this
// object. Framebuffers are not shared between contexts, so one is made for each use in
// the context current at the time.
class GlRenderTarget {
  public:
    GlRenderTarget(QOpenGLFunctions_4_1_Core& gl, const gpu::RenderPassDescriptor& pass);
    ~GlRenderTarget();
    GlRenderTarget(const GlRenderTarget&) = delete;
    GlRenderTarget& operator=(const GlRenderTarget&) = delete;

    // False when the pass names a texture that is no render target or cannot be drawn into.
    bool isValid() const { return m_valid; }
    unsigned framebuffer() const { return m_framebuffer; }

  private:
    QOpenGLFunctions_4_1_Core& m_gl;
    unsigned m_framebuffer = 0;
    bool m_made = false;
    bool m_valid = false;
};

} // namespace gl
