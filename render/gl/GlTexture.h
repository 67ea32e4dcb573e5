#pragma once

#include "GlContextProvider.h"
#include "gpu/Gpu.h"

#include <memory>
#include <string>

namespace gl {

// Either a 3-D texture of unsigned 16-bit texels, or a 2-D colour render target.
//
// The 16-bit texels are stored normalised (GL_R16) so the sampler can filter them
// trilinearly; the shader multiplies by 65535 to get the raw sample values back exactly
// at texel centres. With several mipmap levels (the brick grid) the texture is read
// with texelFetch, level by level, and sampled without filtering.
//
// A render target (RGBA8, 2-D) is drawn into and copied through framebuffers made for
// each use: framebuffers are not shared between contexts, the texture is.
class GlTexture : public gpu::Texture {
  public:
    static std::shared_ptr<GlTexture> create(std::shared_ptr<GlContextProvider> contexts,
                                             const gpu::TextureDescriptor& descriptor, std::string* error);
    ~GlTexture() override;

    std::size_t width() const override { return m_width; }
    std::size_t height() const override { return m_height; }
    std::size_t depth() const override { return m_depth; }
    bool replaceRegion(const gpu::Region& region, std::size_t mipmapLevel, std::size_t slice,
                       const void* bytes, std::size_t bytesPerRow, std::size_t bytesPerImage) override;

    unsigned name() const { return m_name; }
    bool isRenderTarget() const { return m_renderTarget; }

  private:
    GlTexture(std::shared_ptr<GlContextProvider> contexts, const gpu::TextureDescriptor& descriptor);

    std::shared_ptr<GlContextProvider> m_contexts;
    std::size_t m_width;
    std::size_t m_height;
    std::size_t m_depth;
    std::size_t m_levels;
    bool m_renderTarget;
    unsigned m_name = 0;
};

} // namespace gl
