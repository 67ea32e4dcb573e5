#include "GlDevice.h"

#include "GlCommandQueue.h"
#include "GlLibrary.h"
#include "GlPipelineState.h"
#include "GlTexture.h"

#include <QOpenGLFunctions_4_1_Core>

namespace gl {

GlDevice::GlDevice(std::shared_ptr<GlContextProvider> contexts)
    : m_contexts(std::move(contexts)), m_buffers(std::make_shared<GlBufferPool>(m_contexts)) {}

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

std::unique_ptr<gpu::Library> GlDevice::newDefaultLibrary() {
    return GlLibrary::defaultLibrary();
}

std::shared_ptr<gpu::RenderPipelineState>
GlDevice::newRenderPipelineStateWithDescriptor(const gpu::RenderPipelineDescriptor& descriptor,
                                               std::string* error) {
    std::string reason;
    std::shared_ptr<GlPipelineState> state = GlPipelineState::create(m_contexts, descriptor, &reason);
    if (error != nullptr) {
        *error = reason;
    }
    return state;
}

std::unique_ptr<gpu::CommandQueue> GlDevice::newCommandQueue() {
    return std::make_unique<GlCommandQueue>(m_contexts);
}

std::shared_ptr<gpu::Texture> GlDevice::newTextureWithDescriptor(const gpu::TextureDescriptor& descriptor,
                                                                 std::string* error) {
    std::string reason;
    if (descriptor.width > m_maxTexture3DSize || descriptor.height > m_maxTexture3DSize ||
        descriptor.depth > m_maxTexture3DSize) {
        reason = "size above the limit of " + std::to_string(m_maxTexture3DSize) + " texels per side";
    }
    std::shared_ptr<GlTexture> texture =
        reason.empty() ? GlTexture::create(m_contexts, descriptor, &reason) : nullptr;
    if (error != nullptr) {
        *error = reason;
    }
    return texture;
}

std::shared_ptr<gpu::Buffer> GlDevice::newBufferWithBytes(const void* bytes, std::size_t length,
                                                          std::uint32_t /*options*/) {
    if (bytes == nullptr || length == 0) {
        return nullptr;
    }
    const unsigned name = m_buffers->acquire(bytes, length);
    if (name == 0) {
        return nullptr;
    }
    return std::make_shared<GlBuffer>(m_buffers, name, length);
}

} // namespace gl

std::shared_ptr<gpu::Device> gpu::tryCreateSystemDefaultDevice(std::string* error) {
    QString reason;
    std::shared_ptr<gl::GlDevice> device = gl::GlDevice::create(&reason);
    if (!device && error)
        *error = reason.toStdString();
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
