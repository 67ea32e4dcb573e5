#include "render/gl/GlTexture.h"

#include <QOpenGLFunctions_4_1_Core>
#include <algorithm>
#include <limits>

namespace gl {

namespace {

std::string glErrorText(GLenum code) {
    return "OpenGL error 0x" + QString::number(code, 16).toStdString();
}

void clearErrors(QOpenGLFunctions_4_1_Core& gl) {
    while (gl.glGetError() != GL_NO_ERROR) {
    }
}

std::size_t levelSide(std::size_t side, std::size_t level) {
    return std::max<std::size_t>(side >> level, 1);
}

// Volume texels (filtered), the brick pool's page table entries (fetched whole) and the
// colour map's table (filtered along x).
bool describesVolume(const gpu::TextureDescriptor& descriptor) {
    return descriptor.pixelFormat != gpu::PixelFormat::Invalid &&
           descriptor.textureType == gpu::TextureType::Type3D;
}

bool holdsEntries(const gpu::TextureDescriptor& descriptor) {
    return descriptor.pixelFormat == gpu::PixelFormat::RGBA16Unorm ||
           descriptor.pixelFormat == gpu::PixelFormat::RG16Unorm;
}

// OpenGL's internal format, format and type of the texels.
struct GlFormat {
    GLint internal;
    GLenum format, type;
    std::size_t bytes;
};

GlFormat glFormatOf(const gpu::TextureDescriptor& descriptor) {
    switch (descriptor.pixelFormat) {
    case gpu::PixelFormat::RGBA16Unorm:
        return {GL_RGBA16, GL_RGBA, GL_UNSIGNED_SHORT, 8};
    case gpu::PixelFormat::RGBA8Unorm:
        return {GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, 4};
    case gpu::PixelFormat::RG16Unorm:
        return {GL_RG16, GL_RG, GL_UNSIGNED_SHORT, 4};
    default:
        return {GL_R16, GL_RED, GL_UNSIGNED_SHORT, 2};
    }
}

bool describesRenderTarget(const gpu::TextureDescriptor& descriptor) {
    return descriptor.pixelFormat == gpu::PixelFormat::RGBA8Unorm &&
           descriptor.textureType == gpu::TextureType::Type2D && descriptor.depth == 1 &&
           descriptor.mipmapLevelCount == 1 && descriptor.usage == gpu::TextureUsage::RenderTarget;
}

// Levels beyond the one of a single texel along the longest side do not exist.
bool levelCountValid(const gpu::TextureDescriptor& descriptor) {
    const std::size_t longest = std::max({descriptor.width, descriptor.height, descriptor.depth});
    return descriptor.mipmapLevelCount >= 1 && descriptor.mipmapLevelCount <= 64 &&
           (longest >> (descriptor.mipmapLevelCount - 1)) >= 1;
}

} // namespace

unsigned makeTexture(QOpenGLFunctions_4_1_Core& gl, const gpu::TextureDescriptor& descriptor,
                     std::string* error) {
    const bool renderTarget = describesRenderTarget(descriptor);
    if (!describesVolume(descriptor) && !renderTarget) {
        *error = "only 3-D textures and 2-D RGBA8 render targets are supported";
        return 0;
    }
    constexpr auto kMaxGlSize = static_cast<std::size_t>(std::numeric_limits<GLsizei>::max());
    if (descriptor.width == 0 || descriptor.height == 0 || descriptor.depth == 0 ||
        descriptor.width > kMaxGlSize || descriptor.height > kMaxGlSize || descriptor.depth > kMaxGlSize ||
        !levelCountValid(descriptor)) {
        *error = "texture size or mipmap level count out of range";
        return 0;
    }
    clearErrors(gl);
    GLuint name = 0;
    gl.glGenTextures(1, &name);
    const GLenum target = renderTarget ? GL_TEXTURE_2D : GL_TEXTURE_3D;
    const std::size_t levels = descriptor.mipmapLevelCount;
    gl.glBindTexture(target, name);
    const bool nearest = levels > 1 || holdsEntries(descriptor);
    gl.glTexParameteri(target, GL_TEXTURE_MIN_FILTER,
                       levels > 1 ? GL_NEAREST_MIPMAP_NEAREST : (nearest ? GL_NEAREST : GL_LINEAR));
    gl.glTexParameteri(target, GL_TEXTURE_MAG_FILTER, nearest ? GL_NEAREST : GL_LINEAR);
    gl.glTexParameteri(target, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    gl.glTexParameteri(target, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    gl.glTexParameteri(target, GL_TEXTURE_WRAP_R, GL_CLAMP_TO_EDGE);
    gl.glTexParameteri(target, GL_TEXTURE_BASE_LEVEL, 0);
    gl.glTexParameteri(target, GL_TEXTURE_MAX_LEVEL, static_cast<GLint>(levels - 1));
    if (renderTarget) {
        gl.glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, static_cast<GLsizei>(descriptor.width),
                        static_cast<GLsizei>(descriptor.height), 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    } else {
        const GlFormat texels = glFormatOf(descriptor);
        for (std::size_t level = 0; level < levels; ++level) {
            gl.glTexImage3D(GL_TEXTURE_3D, static_cast<GLint>(level), texels.internal,
                            static_cast<GLsizei>(levelSide(descriptor.width, level)),
                            static_cast<GLsizei>(levelSide(descriptor.height, level)),
                            static_cast<GLsizei>(levelSide(descriptor.depth, level)), 0, texels.format,
                            texels.type, nullptr);
        }
    }
    gl.glBindTexture(target, 0);
    if (const GLenum code = gl.glGetError(); code != GL_NO_ERROR) {
        *error = glErrorText(code) + " while allocating the texture";
        gl.glDeleteTextures(1, &name);
        return 0;
    }
    return name;
}

bool replaceRegion(QOpenGLFunctions_4_1_Core& gl, const gpu::Texture& texture, const gpu::Region& region,
                   std::size_t mipmapLevel, std::size_t slice, const void* bytes, std::size_t bytesPerRow,
                   std::size_t bytesPerImage) {
    const gpu::TextureDescriptor& descriptor = texture.descriptor();
    const gpu::Size& size = region.size;
    const gpu::Origin& origin = region.origin;
    const bool inside = mipmapLevel < descriptor.mipmapLevelCount &&
                        origin.x + size.width <= levelSide(descriptor.width, mipmapLevel) &&
                        origin.y + size.height <= levelSide(descriptor.height, mipmapLevel) &&
                        origin.z + size.depth <= levelSide(descriptor.depth, mipmapLevel);
    const GlFormat texels = glFormatOf(descriptor);
    const std::size_t texelBytes = texels.bytes;
    const bool packingValid = bytesPerRow % texelBytes == 0 && bytesPerRow >= size.width * texelBytes &&
                              bytesPerImage % bytesPerRow == 0 && bytesPerImage >= bytesPerRow * size.height;
    if (!describesVolume(descriptor) || bytes == nullptr || !inside || !packingValid || slice != 0) {
        qWarning("OpenGL: texture upload refused: region, level or packing out of range");
        return false;
    }
    clearErrors(gl);
    gl.glBindTexture(GL_TEXTURE_3D, static_cast<GLuint>(texture.handle()));
    gl.glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 2);
    gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(bytesPerRow / texelBytes));
    gl.glPixelStorei(GL_UNPACK_IMAGE_HEIGHT, static_cast<GLint>(bytesPerImage / bytesPerRow));
    gl.glTexSubImage3D(GL_TEXTURE_3D, static_cast<GLint>(mipmapLevel), static_cast<GLint>(origin.x),
                       static_cast<GLint>(origin.y), static_cast<GLint>(origin.z),
                       static_cast<GLsizei>(size.width), static_cast<GLsizei>(size.height),
                       static_cast<GLsizei>(size.depth), texels.format, texels.type, bytes);
    // Back to OpenGL's defaults: the view's context may be the one in use here.
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    gl.glPixelStorei(GL_UNPACK_IMAGE_HEIGHT, 0);
    gl.glBindTexture(GL_TEXTURE_3D, 0);
    if (const GLenum code = gl.glGetError(); code != GL_NO_ERROR) {
        qWarning("OpenGL: texture upload failed: %s", glErrorText(code).c_str());
        return false;
    }
    return true;
}

bool copyTexture(QOpenGLFunctions_4_1_Core& gl, const gpu::Texture& source, const gpu::Texture& destination) {
    const gpu::TextureDescriptor& from = source.descriptor();
    const gpu::TextureDescriptor& to = destination.descriptor();
    if (!describesVolume(from) || holdsEntries(from) || to.pixelFormat != from.pixelFormat ||
        to.textureType != from.textureType || from.mipmapLevelCount != 1 || to.width < from.width ||
        to.height < from.height || to.depth < from.depth) {
        qWarning("OpenGL: texture copy refused: formats or sizes do not fit");
        return false;
    }
    clearErrors(gl);
    GLint previousRead = 0;
    gl.glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &previousRead);
    GLuint framebuffer = 0;
    gl.glGenFramebuffers(1, &framebuffer);
    gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer);
    gl.glReadBuffer(GL_COLOR_ATTACHMENT0);
    gl.glBindTexture(GL_TEXTURE_3D, static_cast<GLuint>(destination.handle()));
    bool complete = true;
    for (std::size_t z = 0; z < from.depth && complete; ++z) {
        gl.glFramebufferTextureLayer(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                     static_cast<GLuint>(source.handle()), 0, static_cast<GLint>(z));
        complete = gl.glCheckFramebufferStatus(GL_READ_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
        if (complete) {
            gl.glCopyTexSubImage3D(GL_TEXTURE_3D, 0, 0, 0, static_cast<GLint>(z), 0, 0,
                                   static_cast<GLsizei>(from.width), static_cast<GLsizei>(from.height));
        }
    }
    gl.glBindTexture(GL_TEXTURE_3D, 0);
    gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(previousRead));
    gl.glDeleteFramebuffers(1, &framebuffer);
    if (const GLenum code = gl.glGetError(); !complete || code != GL_NO_ERROR) {
        qWarning("OpenGL: texture copy failed: %s",
                 complete ? glErrorText(code).c_str() : "a layer cannot be read through a framebuffer");
        return false;
    }
    return true;
}

} // namespace gl
