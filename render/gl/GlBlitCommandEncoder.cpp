#include "GlBlitCommandEncoder.h"

#include "GlRenderTarget.h"

#include <QOpenGLFunctions_4_1_Core>

namespace gl {

void GlBlitCommandEncoder::copyRenderTarget(const gpu::RenderPassDescriptor& source,
                                            const gpu::RenderPassDescriptor& destination) {
    if (m_ended) {
        return;
    }
    const GlRenderTarget from(m_gl, source);
    const GlRenderTarget to(m_gl, destination);
    if (!from.isValid() || !to.isValid()) {
        qWarning("OpenGL: copy between render targets skipped: a target cannot be bound");
        return;
    }
    const bool sameSize = source.width == destination.width && source.height == destination.height;
    m_gl.glDisable(GL_SCISSOR_TEST);
    m_gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, from.framebuffer());
    m_gl.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, to.framebuffer());
    m_gl.glBlitFramebuffer(0, 0, static_cast<GLint>(source.width), static_cast<GLint>(source.height), 0, 0,
                           static_cast<GLint>(destination.width), static_cast<GLint>(destination.height),
                           GL_COLOR_BUFFER_BIT, sameSize ? GL_NEAREST : GL_LINEAR);
    // The framebuffers made for textures go when this call ends; a view's stays bound, as
    // the view expects at the end of its frame.
    const gpu::RenderPassDescriptor& view = destination.colorTexture == nullptr ? destination : source;
    m_gl.glBindFramebuffer(GL_FRAMEBUFFER,
                           view.colorTexture == nullptr ? static_cast<GLuint>(view.nativeTarget) : 0);
}

} // namespace gl
