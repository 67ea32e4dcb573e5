#include "RecordingGpu.h"

#include <QCoreApplication>
#include <QThread>
#include <cstring>
#include <sstream>

namespace recording {

namespace {

// Uploads up to this size are kept for comparison; the full-size sample is not.
constexpr std::size_t kMaxKeptUpload = 16 * 1024 * 1024;

std::string threadName() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread() ? "GUI thread" : "worker thread";
}

std::vector<std::byte> copyOf(const void* bytes, std::size_t length) {
    std::vector<std::byte> copy(length);
    if (length > 0) {
        std::memcpy(copy.data(), bytes, length);
    }
    return copy;
}

template <typename E> unsigned number(E value) {
    return static_cast<unsigned>(value);
}

class Function : public gpu::Function {
  public:
    explicit Function(std::string name) : m_name(std::move(name)) {}
    const std::string& name() const override { return m_name; }

  private:
    std::string m_name;
};

class Library : public gpu::Library {
  public:
    explicit Library(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}
    std::unique_ptr<gpu::Function> newFunctionWithName(const std::string& name) override {
        m_shared->log->record("library.newFunctionWithName(" + name + ")");
        if (m_shared->options.missingFunctions.count(name) != 0) {
            return nullptr;
        }
        return std::make_unique<Function>(name);
    }

  private:
    std::shared_ptr<Shared> m_shared;
};

class PipelineState : public gpu::RenderPipelineState {
  public:
    explicit PipelineState(std::string label) : m_label(std::move(label)) {}
    const std::string& label() const override { return m_label; }

  private:
    std::string m_label;
};

class Buffer : public gpu::Buffer {
  public:
    Buffer(const void* bytes, std::size_t length) : m_bytes(copyOf(bytes, length)) {}
    std::size_t length() const override { return m_bytes.size(); }
    const std::vector<std::byte>& bytes() const { return m_bytes; }

  private:
    std::vector<std::byte> m_bytes;
};

class Encoder : public gpu::RenderCommandEncoder {
  public:
    explicit Encoder(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {
        std::lock_guard lock(m_shared->mutex);
        m_shared->pendingDraw = {};
    }
    void setLabel(const std::string& label) override {
        m_shared->log->record("encoder.setLabel(" + label + ")");
    }
    void setRenderPipelineState(const gpu::RenderPipelineState& state) override {
        m_shared->log->record("encoder.setRenderPipelineState(" + state.label() + ")");
    }
    void setVertexBuffer(const gpu::Buffer* buffer, std::size_t offset, std::size_t index) override {
        std::ostringstream call;
        call << "encoder.setVertexBuffer(length=" << (buffer != nullptr ? buffer->length() : 0)
             << " offset=" << offset << " index=" << index << ")";
        m_shared->log->record(call.str());
        if (const auto* recorded = dynamic_cast<const Buffer*>(buffer); recorded != nullptr && index == 0) {
            std::lock_guard lock(m_shared->mutex);
            m_shared->pendingDraw.vertexBuffer = recorded->bytes();
        }
    }
    void setVertexBytes(const void* bytes, std::size_t length, std::size_t index) override {
        std::ostringstream call;
        call << "encoder.setVertexBytes(length=" << length << " index=" << index << ")";
        m_shared->log->record(call.str());
        std::lock_guard lock(m_shared->mutex);
        if (index == 1) {
            m_shared->pendingDraw.uniforms = copyOf(bytes, length);
        } else if (index == 2) {
            m_shared->pendingDraw.windowPair = copyOf(bytes, length);
        }
    }
    void setFragmentTexture(const gpu::Texture* texture, std::size_t index) override {
        const auto* recorded = dynamic_cast<const Texture*>(texture);
        const int id = recorded != nullptr ? recorded->id() : 0;
        m_shared->log->record("encoder.setFragmentTexture(texture#" + std::to_string(id) +
                              " index=" + std::to_string(index) + ")");
        std::lock_guard lock(m_shared->mutex);
        m_shared->pendingDraw.textureId = id;
    }
    void drawPrimitives(gpu::PrimitiveType type, std::size_t vertexStart, std::size_t vertexCount) override {
        std::ostringstream call;
        call << "encoder.drawPrimitives(type=" << number(type) << " start=" << vertexStart
             << " count=" << vertexCount << ")";
        m_shared->log->record(call.str());
        std::lock_guard lock(m_shared->mutex);
        m_shared->pendingDraw.vertexCount = vertexCount;
        m_shared->lastDraw = m_shared->pendingDraw;
    }
    void endEncoding() override { m_shared->log->record("encoder.endEncoding()"); }

  private:
    std::shared_ptr<Shared> m_shared;
};

class CommandBuffer : public gpu::CommandBuffer {
  public:
    explicit CommandBuffer(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}
    void setLabel(const std::string& label) override {
        m_shared->log->record("commandBuffer.setLabel(" + label + ")");
    }
    std::unique_ptr<gpu::RenderCommandEncoder>
    renderCommandEncoderWithDescriptor(const gpu::RenderPassDescriptor& descriptor) override {
        std::ostringstream call;
        call << "commandBuffer.renderCommandEncoderWithDescriptor(" << descriptor.width << "x"
             << descriptor.height << ")";
        m_shared->log->record(call.str());
        return std::make_unique<Encoder>(m_shared);
    }
    void presentDrawable(gpu::Drawable* drawable) override {
        m_shared->log->record(drawable != nullptr ? "commandBuffer.presentDrawable(drawable)"
                                                  : "commandBuffer.presentDrawable(null)");
    }
    void commit() override { m_shared->log->record("commandBuffer.commit()"); }

  private:
    std::shared_ptr<Shared> m_shared;
};

class CommandQueue : public gpu::CommandQueue {
  public:
    explicit CommandQueue(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}
    std::unique_ptr<gpu::CommandBuffer> commandBuffer() override {
        m_shared->log->record("commandQueue.commandBuffer()");
        return std::make_unique<CommandBuffer>(m_shared);
    }

  private:
    std::shared_ptr<Shared> m_shared;
};

} // namespace

Texture::~Texture() {
    m_shared->log->record("texture#" + std::to_string(m_id) + ".release(" + threadName() + ")");
}

bool Texture::replaceRegion(const gpu::Region& region, std::size_t mipmapLevel, std::size_t slice,
                            const void* bytes, std::size_t bytesPerRow, std::size_t bytesPerImage) {
    std::ostringstream call;
    call << "texture#" << m_id << ".replaceRegion(origin=" << region.origin.x << "," << region.origin.y << ","
         << region.origin.z << " size=" << region.size.width << "x" << region.size.height << "x"
         << region.size.depth << " level=" << mipmapLevel << " slice=" << slice
         << " bytesPerRow=" << bytesPerRow << " bytesPerImage=" << bytesPerImage << ")";
    m_shared->log->record(call.str());
    if (m_shared->options.uploadFails) {
        return false;
    }
    const std::size_t length = bytesPerImage * region.size.depth;
    std::lock_guard lock(m_mutex);
    m_uploaded = length <= kMaxKeptUpload ? copyOf(bytes, length) : std::vector<std::byte>{};
    return true;
}

std::vector<std::byte> Texture::uploaded() const {
    std::lock_guard lock(m_mutex);
    return m_uploaded;
}

Device::Device(std::shared_ptr<CallLog> log) : m_shared(std::make_shared<Shared>()) {
    m_shared->log = std::move(log);
}

std::unique_ptr<gpu::Library> Device::newDefaultLibrary() {
    m_shared->log->record("device.newDefaultLibrary()");
    if (m_shared->options.libraryMissing) {
        return nullptr;
    }
    return std::make_unique<Library>(m_shared);
}

std::shared_ptr<gpu::RenderPipelineState>
Device::newRenderPipelineStateWithDescriptor(const gpu::RenderPipelineDescriptor& descriptor,
                                             std::string* error) {
    const gpu::RenderPipelineColorAttachmentDescriptor& a = descriptor.colorAttachments[0];
    std::ostringstream call;
    call << "device.newRenderPipelineStateWithDescriptor(label=" << descriptor.label
         << " vertex=" << (descriptor.vertexFunction != nullptr ? descriptor.vertexFunction->name() : "none")
         << " fragment="
         << (descriptor.fragmentFunction != nullptr ? descriptor.fragmentFunction->name() : "none")
         << " pixelFormat=" << number(a.pixelFormat) << " blending=" << a.blendingEnabled
         << " rgbOp=" << number(a.rgbBlendOperation) << " alphaOp=" << number(a.alphaBlendOperation)
         << " srcRGB=" << number(a.sourceRGBBlendFactor) << " srcAlpha=" << number(a.sourceAlphaBlendFactor)
         << " dstRGB=" << number(a.destinationRGBBlendFactor)
         << " dstAlpha=" << number(a.destinationAlphaBlendFactor) << ")";
    m_shared->log->record(call.str());
    if (!m_shared->options.pipelineError.empty()) {
        *error = m_shared->options.pipelineError;
        return nullptr;
    }
    return std::make_shared<PipelineState>(descriptor.label);
}

std::unique_ptr<gpu::CommandQueue> Device::newCommandQueue() {
    m_shared->log->record("device.newCommandQueue()");
    return std::make_unique<CommandQueue>(m_shared);
}

std::shared_ptr<gpu::Texture> Device::newTextureWithDescriptor(const gpu::TextureDescriptor& descriptor,
                                                               std::string* error) {
    std::ostringstream call;
    call << "device.newTextureWithDescriptor(pixelFormat=" << number(descriptor.pixelFormat)
         << " type=" << number(descriptor.textureType) << " size=" << descriptor.width << "x"
         << descriptor.height << "x" << descriptor.depth << ")";
    if (!m_shared->options.textureError.empty()) {
        m_shared->log->record(call.str() + " = null");
        *error = m_shared->options.textureError;
        return nullptr;
    }
    const int id = m_shared->nextTextureId++;
    m_shared->log->record(call.str() + " = texture#" + std::to_string(id));
    return std::make_shared<Texture>(m_shared, id, descriptor);
}

std::shared_ptr<gpu::Buffer> Device::newBufferWithBytes(const void* bytes, std::size_t length,
                                                        std::uint32_t options) {
    m_shared->log->record("device.newBufferWithBytes(length=" + std::to_string(length) +
                          " options=" + std::to_string(options) + ")");
    return std::make_shared<Buffer>(bytes, length);
}

LastDraw Device::lastDraw() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->lastDraw;
}

} // namespace recording
