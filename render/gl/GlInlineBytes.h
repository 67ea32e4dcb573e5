#pragma once

#include "GlContextProvider.h"

#include <array>
#include <cstddef>
#include <memory>

namespace gl {

// The uniform buffers behind setVertexBytes, one per binding index. The bytes are
// re-specified on every use, so a draw still queued on the GPU keeps the copy it saw
// while the next frame writes new values: the inline-bytes semantics of the interface.
class GlInlineBytes {
  public:
    static constexpr std::size_t kIndices = 8;

    explicit GlInlineBytes(std::shared_ptr<GlContextProvider> contexts) : m_contexts(std::move(contexts)) {}
    ~GlInlineBytes();

    GlInlineBytes(const GlInlineBytes&) = delete;
    GlInlineBytes& operator=(const GlInlineBytes&) = delete;

    // Copies the bytes and binds them as uniform block index `index` of the current context.
    bool bind(QOpenGLFunctions_4_1_Core& gl, const void* bytes, std::size_t length, std::size_t index);

  private:
    std::shared_ptr<GlContextProvider> m_contexts;
    std::array<unsigned, kIndices> m_buffers{};
};

} // namespace gl
