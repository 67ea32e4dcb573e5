#include "GlRenderTarget.h"

#include "GlTexture.h"

#include <QOpenGLFunctions_4_1_Core>

namespace gl {

GlRenderTarget::GlRenderTarget(QOpenGLFunctions_4_1_Core& gl, const gpu::RenderPassDescriptor& pass)
    : m_gl(gl) {
    if (pass.colorTexture == nullptr) {
        m_framebuffer = static_cast<GLuint>(pass.nativeTarget);
        m_valid = true;
        return;
    }
    const auto* texture = dynamic_cast<const GlTexture*>(pass.colorTexture);
    if (texture == nullptr || !texture->isRenderTarget()) {
        return;
    }
    GLint previous = 0;
    m_gl.glGetIntegerv(GL_FRAMEBUFFER_BINDING, &previous);
    m_gl.glGenFramebuffers(1, &m_framebuffer);
    m_made = true;
    m_gl.glBindFramebuffer(GL_FRAMEBUFFER, m_framebuffer);
    m_gl.glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture->name(), 0);
    m_valid = m_gl.glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    m_gl.glBindFramebuffer(GL_FRAMEBUFFER, static_cast<GLuint>(previous));
}

GlRenderTarget::~GlRenderTarget() {
    if (m_made) {
        m_gl.glDeleteFramebuffers(1, &m_framebuffer);
    }
}

} // namespace gl
