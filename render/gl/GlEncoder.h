#pragma once

#include "render/gpu/Gpu.h"

class QOpenGLFunctions_4_1_Core;

namespace gl {

// Encodes a frame into the context current on the calling thread (the view's, during a
// frame). A pass binds its framebuffer (the view's, or the one kept for the pass's texture),
// sets the viewport to the pass's size and clears to its colour; the state a draw needs
// is set explicitly, since the context is shared with Qt's own drawing, and the end of
// the pass puts it back.
//
// The bytes set for binding index N go to slot N of one uniform buffer, rewritten in
// place and bound as uniform block N: OpenGL orders the rewrite after the draws that
// read the slot before, so a draw still queued on the GPU keeps what it saw.
class GlEncoder {
  public:
    // False when no context sharing with the device is current on this thread.
    bool begin();
    // False when the pass names a texture that is no render target or cannot be drawn into.
    bool beginPass(const gpu::RenderPassDescriptor& pass);
    void applyPipeline(const gpu::RenderPipelineState& pipeline);
    void applyBytes(std::size_t index, const void* bytes, std::size_t length);
    void applyTexture(std::size_t index, const gpu::Texture* texture);
    void draw(gpu::PrimitiveType type, std::size_t vertexStart, std::size_t vertexCount);
    void endPass();
    // After a copy to or from a view's framebuffer that framebuffer stays bound, as the
    // view expects at the end of its frame.
    void copy(const gpu::RenderPassDescriptor& source, const gpu::RenderPassDescriptor& destination);
    void commit();
    // Deletes the uniform buffer, in `gl`, a context of the device's share group.
    void release(QOpenGLFunctions_4_1_Core& gl);

  private:
    QOpenGLFunctions_4_1_Core* m_gl = nullptr;
    unsigned m_uniformBuffer = 0;
};

} // namespace gl
