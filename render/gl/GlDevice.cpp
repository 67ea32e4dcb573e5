#include "render/gl/GlDevice.h"

#include "render/gl/GlProgram.h"
#include "render/gl/GlTexture.h"

#include <QOpenGLFunctions_4_1_Core>

namespace gl {

std::shared_ptr<GlDevice> GlDevice::create(QString* error) {
    std::shared_ptr<GlContextProvider> contexts = GlContextProvider::create(error);
    if (!contexts) {
        return nullptr;
    }
    std::shared_ptr<GlDevice> device(new GlDevice(contexts));
    GlContextProvider::Scope scope(*contexts);
    if (!scope.isValid()) {
        *error = QStringLiteral("the device's context cannot be made current");
        return nullptr;
    }
    GLint maxSize = 0;
    scope.gl()->glGetIntegerv(GL_MAX_3D_TEXTURE_SIZE, &maxSize);
    device->m_maxTexture3DSize = static_cast<std::size_t>(std::max(maxSize, 0));
    return device;
}

GlDevice::~GlDevice() {
    GlContextProvider::Scope scope(*m_contexts);
    if (scope.isValid()) {
        m_encoder.release(*scope.gl());
    }
}

std::unique_ptr<gpu::Library> GlDevice::newDefaultLibrary() {
    return loadDefaultLibrary();
}

gpu::Handle GlDevice::makePipeline(const gpu::RenderPipelineDescriptor& descriptor, std::string* error) {
    GlContextProvider::Scope scope(*m_contexts);
    if (!scope.isValid()) {
        *error = "no OpenGL context";
        return 0;
    }
    return linkProgram(*scope.gl(), descriptor, error);
}

void GlDevice::releasePipeline(gpu::Handle pipeline) {
    GlContextProvider::Scope scope(*m_contexts);
    if (scope.isValid()) {
        scope.gl()->glDeleteProgram(static_cast<GLuint>(pipeline));
    }
}

gpu::Handle GlDevice::makeTexture(const gpu::TextureDescriptor& descriptor, std::string* error) {
    if (descriptor.width > m_maxTexture3DSize || descriptor.height > m_maxTexture3DSize ||
        descriptor.depth > m_maxTexture3DSize) {
        *error = "size above the limit of " + std::to_string(m_maxTexture3DSize) + " texels per side";
        return 0;
    }
    GlContextProvider::Scope scope(*m_contexts);
    if (!scope.isValid()) {
        *error = "no OpenGL context";
        return 0;
    }
    return gl::makeTexture(*scope.gl(), descriptor, error);
}

bool GlDevice::replaceRegion(const gpu::Texture& texture, const gpu::Region& region, std::size_t mipmapLevel,
                             std::size_t slice, const void* bytes, std::size_t bytesPerRow,
                             std::size_t bytesPerImage) {
    GlContextProvider::Scope scope(*m_contexts);
    return scope.isValid() && gl::replaceRegion(*scope.gl(), texture, region, mipmapLevel, slice, bytes,
                                                bytesPerRow, bytesPerImage);
}

bool GlDevice::copyTexture(const gpu::Texture& source, const gpu::Texture& destination) {
    GlContextProvider::Scope scope(*m_contexts);
    return scope.isValid() && gl::copyTexture(*scope.gl(), source, destination);
}

void GlDevice::releaseTexture(gpu::Handle texture) {
    GlContextProvider::Scope scope(*m_contexts);
    if (scope.isValid()) {
        const auto name = static_cast<GLuint>(texture);
        scope.gl()->glDeleteTextures(1, &name);
    }
}

} // namespace gl

std::shared_ptr<gpu::Device> gpu::tryCreateSystemDefaultDevice(std::string* error) {
    QString reason;
    std::shared_ptr<gl::GlDevice> device = gl::GlDevice::create(&reason);
    if (!device && error != nullptr) {
        *error = reason.toStdString();
    }
    return device;
}

std::shared_ptr<gpu::Device> gpu::createSystemDefaultDevice() {
    std::string error;
    std::shared_ptr<gpu::Device> device = tryCreateSystemDefaultDevice(&error);
    if (!device) {
        qWarning("OpenGL: no GPU device: %s", error.c_str());
    }
    return device;
}
