#include "GlInlineBytes.h"

#include <QOpenGLFunctions_4_1_Core>

namespace gl {

GlInlineBytes::~GlInlineBytes() {
    GlContextProvider::Scope scope(*m_contexts);
    if (!scope.isValid()) {
        return;
    }
    for (const unsigned name : m_buffers) {
        if (name != 0) {
            scope.gl()->glDeleteBuffers(1, &name);
        }
    }
}

bool GlInlineBytes::bind(QOpenGLFunctions_4_1_Core& gl, const void* bytes, std::size_t length,
                         std::size_t index) {
    if (index >= kIndices || bytes == nullptr || length == 0) {
        return false;
    }
    unsigned& name = m_buffers[index];
    if (name == 0) {
        gl.glGenBuffers(1, &name);
    }
    gl.glBindBuffer(GL_UNIFORM_BUFFER, name);
    gl.glBufferData(GL_UNIFORM_BUFFER, static_cast<GLsizeiptr>(length), bytes, GL_STREAM_DRAW);
    gl.glBindBufferBase(GL_UNIFORM_BUFFER, static_cast<GLuint>(index), name);
    return true;
}

} // namespace gl
