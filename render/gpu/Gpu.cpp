#include "render/gpu/Gpu.h"

#include <algorithm>
#include <atomic>

namespace gpu {

std::unique_ptr<Function> Library::newFunctionWithName(const std::string& name) const {
    const auto found = std::find_if(m_functions.begin(), m_functions.end(),
                                    [&](const Function& f) { return f.name == name; });
    return found != m_functions.end() ? std::make_unique<Function>(*found) : nullptr;
}

std::unique_ptr<Function> Library::newFunctionWithName(const std::string& name,
                                                       const std::vector<std::string>& macros) const {
    std::unique_ptr<Function> function = newFunctionWithName(name);
    if (function) {
        std::string& source = function->source;
        std::size_t at = 0;
        if (source.rfind("#version", 0) == 0) {
            if (source.find('\n') == std::string::npos) {
                source += '\n';
            }
            at = source.find('\n') + 1;
        }
        std::string defines;
        for (const std::string& macro : macros) {
            defines += "#define " + macro + "\n";
        }
        source.insert(at, defines);
    }
    return function;
}

RenderPipelineState::~RenderPipelineState() {
    m_device->releasePipeline(m_handle);
}

Texture::Texture(std::shared_ptr<Device> device, Handle handle, const TextureDescriptor& descriptor)
    : m_device(std::move(device)), m_handle(handle), m_descriptor(descriptor) {
    static std::atomic<std::uint64_t> made{0};
    m_serial = ++made;
}

Texture::~Texture() {
    m_device->releaseTexture(m_handle);
}

bool Texture::replaceRegion(const Region& region, std::size_t mipmapLevel, std::size_t slice,
                            const void* bytes, std::size_t bytesPerRow, std::size_t bytesPerImage) {
    return m_device->replaceRegion(*this, region, mipmapLevel, slice, bytes, bytesPerRow, bytesPerImage);
}

bool Texture::copyInto(const Texture& destination) const {
    return m_device->copyTexture(*this, destination);
}

void RenderCommandEncoder::setRenderPipelineState(const RenderPipelineState& state) {
    m_device.applyPipeline(state);
}

void RenderCommandEncoder::setVertexBytes(const void* bytes, std::size_t length, std::size_t index) {
    m_device.applyBytes(index, bytes, length);
}

void RenderCommandEncoder::setFragmentBytes(const void* bytes, std::size_t length, std::size_t index) {
    m_device.applyBytes(index, bytes, length);
}

void RenderCommandEncoder::setFragmentTexture(const Texture* texture, std::size_t index) {
    m_device.applyTexture(index, texture);
}

void RenderCommandEncoder::drawPrimitives(PrimitiveType type, std::size_t vertexStart,
                                          std::size_t vertexCount) {
    m_device.draw(type, vertexStart, vertexCount);
}

void RenderCommandEncoder::endEncoding() {
    m_device.endPass();
}

void BlitCommandEncoder::copyRenderTarget(const RenderPassDescriptor& source,
                                          const RenderPassDescriptor& destination) {
    m_device.copyRenderTarget(source, destination);
}

RenderCommandEncoder*
CommandBuffer::renderCommandEncoderWithDescriptor(const RenderPassDescriptor& descriptor) {
    return !m_committed && m_device.beginPass(descriptor) ? &m_render : nullptr;
}

BlitCommandEncoder* CommandBuffer::blitCommandEncoder() {
    return m_committed ? nullptr : &m_blit;
}

void CommandBuffer::commit() {
    if (m_committed) {
        return;
    }
    m_committed = true;
    m_device.commit();
    if (m_drawable != nullptr) {
        m_drawable->present();
    }
}

CommandBuffer* CommandQueue::commandBuffer() {
    if (!m_buffer.m_committed || !m_device->beginCommands()) {
        return nullptr;
    }
    m_buffer.m_committed = false;
    m_buffer.m_drawable = nullptr;
    return &m_buffer;
}

std::shared_ptr<RenderPipelineState>
Device::newRenderPipelineStateWithDescriptor(const RenderPipelineDescriptor& descriptor, std::string* error) {
    const Handle handle = makePipeline(descriptor, error);
    return handle != 0 ? std::make_shared<RenderPipelineState>(shared_from_this(), handle,
                                                               descriptor.colorAttachments[0])
                       : nullptr;
}

std::shared_ptr<Texture> Device::newTextureWithDescriptor(const TextureDescriptor& descriptor,
                                                          std::string* error) {
    const Handle handle = makeTexture(descriptor, error);
    return handle != 0 ? std::make_shared<Texture>(shared_from_this(), handle, descriptor) : nullptr;
}

} // namespace gpu
