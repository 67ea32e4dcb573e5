#pragma once

#include "GlContextProvider.h"
#include "gpu/Gpu.h"

#include <memory>
#include <string>

namespace gl {

// A 3-D texture of unsigned 16-bit texels. They are stored normalised (GL_R16) so the
// sampler can filter them trilinearly; the shader multiplies by 65535 to get the raw
// sample values back exactly at texel centres.
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

  private:
    GlTexture(std::shared_ptr<GlContextProvider> contexts, const gpu::TextureDescriptor& descriptor);

    std::shared_ptr<GlContextProvider> m_contexts;
    std::size_t m_width;
    std::size_t m_height;
    std::size_t m_depth;
    unsigned m_name = 0;
};

} // namespace gl
