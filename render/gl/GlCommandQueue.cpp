#include "GlCommandQueue.h"

#include "GlRenderCommandEncoder.h"

#include <QOpenGLContext>
#include <QOpenGLFunctions_4_1_Core>

namespace gl {

std::unique_ptr<gpu::RenderCommandEncoder>
GlCommandBuffer::renderCommandEncoderWithDescriptor(const gpu::RenderPassDescriptor& descriptor) {
    QOpenGLFunctions_4_1_Core* gl = GlContextProvider::currentSharingFunctions();
    if (gl == nullptr || m_committed) {
        qWarning("OpenGL: nothing drawn: no context sharing with the device is current");
        return nullptr;
    }
    return std::make_unique<GlRenderCommandEncoder>(*QOpenGLContext::currentContext(), *gl, m_inlineBytes,
                                                    descriptor);
}

void GlCommandBuffer::commit() {
    if (m_committed) {
        return;
    }
    m_committed = true;
    if (QOpenGLFunctions_4_1_Core* gl = GlContextProvider::currentSharingFunctions()) {
        gl->glFlush();
    }
    if (m_drawable != nullptr) {
        m_drawable->present();
    }
}

} // namespace gl
