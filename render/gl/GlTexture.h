#pragma once

#include "render/gpu/Gpu.h"

#include <string>

class QOpenGLFunctions_4_1_Core;

// Textures are either 3-D textures of unsigned 16-bit texels or 2-D colour render targets.
//
// The 16-bit texels are stored normalised (GL_R16) so the sampler can filter them
// trilinearly; the shader multiplies by 65535 to get the raw sample values back exactly
// at texel centres. With several mipmap levels (the brick grid) the texture is read
// with texelFetch, level by level, and sampled without filtering.
//
// A render target (RGBA8, 2-D) is drawn into and copied through framebuffers made for
// each use: framebuffers are not shared between contexts, the texture is.
namespace gl {

// The texture's name in `gl`'s share group; 0, with the reason in *error, when the
// descriptor asks for another kind of texture or OpenGL cannot allocate it.
unsigned makeTexture(QOpenGLFunctions_4_1_Core& gl, const gpu::TextureDescriptor& descriptor,
                     std::string* error);

// Fills a region of a 3-D texture. No wait: the context drawing the frames issues it (its
// later draws see the texels in order), or a context made current for it finishes its
// commands when its scope ends. Logs and returns false when the region, level or packing
// does not fit the texture, or OpenGL fails.
bool replaceRegion(QOpenGLFunctions_4_1_Core& gl, const gpu::Texture& texture, const gpu::Region& region,
                   std::size_t mipmapLevel, std::size_t slice, const void* bytes, std::size_t bytesPerRow,
                   std::size_t bytesPerImage);

// Copies a single-level 3-D texture of 16-bit texels layer by layer, through a read
// framebuffer, into the same place of a larger one of the same format, as replaceRegion
// fills one. Logs and returns false when the two do not fit or OpenGL fails.
bool copyTexture(QOpenGLFunctions_4_1_Core& gl, const gpu::Texture& source, const gpu::Texture& destination);

} // namespace gl
