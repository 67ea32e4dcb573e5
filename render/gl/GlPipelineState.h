#pragma once

#include "GlContextProvider.h"
#include "gpu/Gpu.h"

#include <memory>
#include <string>

namespace gl {

// A linked program and the blending of colour attachment 0.
//
// GLSL 4.1 cannot state bindings in the source, so they follow from names: a uniform
// block named BufferN reads what the encoder binds at index N (setVertexBuffer or
// setVertexBytes), and a sampler named TextureN reads texture index N.
class GlPipelineState : public gpu::RenderPipelineState {
  public:
    // Null, with the compiler's or linker's log in *error, when the program cannot be built.
    static std::shared_ptr<GlPipelineState> create(std::shared_ptr<GlContextProvider> contexts,
                                                   const gpu::RenderPipelineDescriptor& descriptor,
                                                   std::string* error);
    ~GlPipelineState() override;

    const std::string& label() const override { return m_label; }
    unsigned program() const { return m_program; }
    const gpu::RenderPipelineColorAttachmentDescriptor& colorAttachment() const { return m_colorAttachment; }

  private:
    GlPipelineState(std::shared_ptr<GlContextProvider> contexts,
                    const gpu::RenderPipelineDescriptor& descriptor);

    std::shared_ptr<GlContextProvider> m_contexts;
    std::string m_label;
    gpu::RenderPipelineColorAttachmentDescriptor m_colorAttachment;
    unsigned m_program = 0;
};

} // namespace gl
