#include "GlTexture.h"

#include <QOpenGLFunctions_4_1_Core>
#include <limits>

namespace gl {

namespace {

constexpr std::size_t kBytesPerTexel = 2;
constexpr GLuint64 kFenceWaitNanoseconds = 1'000'000'000;

std::string glErrorText(GLenum code) {
    return "OpenGL error 0x" + QString::number(code, 16).toStdString();
}

void clearErrors(QOpenGLFunctions_4_1_Core& gl) {
    while (gl.glGetError() != GL_NO_ERROR) {
    }
}

// Waits until the GPU has executed everything issued so far, so that other contexts of
// the share group see the finished texture.
bool waitForCommands(QOpenGLFunctions_4_1_Core& gl) {
    GLsync fence = gl.glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    if (fence == nullptr) {
        return false;
    }
    GLenum result = GL_TIMEOUT_EXPIRED;
    while (result == GL_TIMEOUT_EXPIRED) {
        result = gl.glClientWaitSync(fence, GL_SYNC_FLUSH_COMMANDS_BIT, kFenceWaitNanoseconds);
    }
    gl.glDeleteSync(fence);
    return result == GL_ALREADY_SIGNALED || result == GL_CONDITION_SATISFIED;
}

} // namespace

GlTexture::GlTexture(std::shared_ptr<GlContextProvider> contexts, const gpu::TextureDescriptor& descriptor)
    : m_contexts(std::move(contexts)), m_width(descriptor.width), m_height(descriptor.height),
      m_depth(descriptor.depth) {}

std::shared_ptr<GlTexture> GlTexture::create(std::shared_ptr<GlContextProvider> contexts,
                                             const gpu::TextureDescriptor& descriptor, std::string* error) {
    if (descriptor.pixelFormat != gpu::PixelFormat::R16Uint ||
        descriptor.textureType != gpu::TextureType::Type3D) {
        *error = "only 3-D textures of unsigned 16-bit texels are supported";
        return nullptr;
    }
    constexpr auto kMaxGlSize = static_cast<std::size_t>(std::numeric_limits<GLsizei>::max());
    if (descriptor.width == 0 || descriptor.height == 0 || descriptor.depth == 0 ||
        descriptor.width > kMaxGlSize || descriptor.height > kMaxGlSize || descriptor.depth > kMaxGlSize) {
        *error = "texture size out of range";
        return nullptr;
    }
    std::shared_ptr<GlTexture> texture(new GlTexture(contexts, descriptor));
    GlContextProvider::Scope scope(*contexts);
    if (!scope.isValid()) {
        *error = "no OpenGL context";
        return nullptr;
    }
    QOpenGLFunctions_4_1_Core& gl = *scope.gl();
    clearErrors(gl);
    gl.glGenTextures(1, &texture->m_name);
    gl.glBindTexture(GL_TEXTURE_3D, texture->m_name);
    gl.glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    gl.glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    gl.glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    gl.glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    gl.glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_WRAP_R, GL_CLAMP_TO_EDGE);
    gl.glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_BASE_LEVEL, 0);
    gl.glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MAX_LEVEL, 0);
    gl.glTexImage3D(GL_TEXTURE_3D, 0, GL_R16, static_cast<GLsizei>(descriptor.width),
                    static_cast<GLsizei>(descriptor.height), static_cast<GLsizei>(descriptor.depth), 0,
                    GL_RED, GL_UNSIGNED_SHORT, nullptr);
    gl.glBindTexture(GL_TEXTURE_3D, 0);
    if (const GLenum code = gl.glGetError(); code != GL_NO_ERROR) {
        *error = glErrorText(code) + " while allocating the texture";
        return nullptr; // the destructor deletes the name
    }
    return texture;
}

GlTexture::~GlTexture() {
    if (m_name == 0) {
        return;
    }
    GlContextProvider::Scope scope(*m_contexts);
    if (scope.isValid()) {
        scope.gl()->glDeleteTextures(1, &m_name);
    }
}

bool GlTexture::replaceRegion(const gpu::Region& region, std::size_t mipmapLevel, std::size_t slice,
                              const void* bytes, std::size_t bytesPerRow, std::size_t bytesPerImage) {
    const gpu::Size& size = region.size;
    const gpu::Origin& origin = region.origin;
    const bool inside = origin.x + size.width <= m_width && origin.y + size.height <= m_height &&
                        origin.z + size.depth <= m_depth;
    const bool packingValid = bytesPerRow % kBytesPerTexel == 0 &&
                              bytesPerRow >= size.width * kBytesPerTexel &&
                              bytesPerImage % bytesPerRow == 0 && bytesPerImage >= bytesPerRow * size.height;
    if (bytes == nullptr || !inside || !packingValid || mipmapLevel != 0 || slice != 0) {
        qWarning("OpenGL: texture upload refused: region, level or packing out of range");
        return false;
    }
    GlContextProvider::Scope scope(*m_contexts);
    if (!scope.isValid()) {
        return false;
    }
    QOpenGLFunctions_4_1_Core& gl = *scope.gl();
    clearErrors(gl);
    gl.glBindTexture(GL_TEXTURE_3D, m_name);
    gl.glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, static_cast<GLint>(kBytesPerTexel));
    gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(bytesPerRow / kBytesPerTexel));
    gl.glPixelStorei(GL_UNPACK_IMAGE_HEIGHT, static_cast<GLint>(bytesPerImage / bytesPerRow));
    gl.glTexSubImage3D(GL_TEXTURE_3D, 0, static_cast<GLint>(origin.x), static_cast<GLint>(origin.y),
                       static_cast<GLint>(origin.z), static_cast<GLsizei>(size.width),
                       static_cast<GLsizei>(size.height), static_cast<GLsizei>(size.depth), GL_RED,
                       GL_UNSIGNED_SHORT, bytes);
    // Back to OpenGL's defaults: the view's context may be the one in use here.
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    gl.glPixelStorei(GL_UNPACK_IMAGE_HEIGHT, 0);
    gl.glBindTexture(GL_TEXTURE_3D, 0);
    if (const GLenum code = gl.glGetError(); code != GL_NO_ERROR) {
        qWarning("OpenGL: texture upload failed: %s", glErrorText(code).c_str());
        return false;
    }
    if (!waitForCommands(gl)) {
        qWarning("OpenGL: texture upload failed: the fence could not be waited for");
        return false;
    }
    return true;
}

} // namespace gl
