#pragma once

#include "render/gl/GlContextProvider.h"
#include "render/gl/GlEncoder.h"
#include "render/gpu/Gpu.h"

#include <QString>
#include <memory>

namespace gl {

// The OpenGL 4.1 core device. Its textures and programs live in Qt's global share group,
// made and released in whichever context the provider gives the calling thread, so what
// is made before the view is shown, or on a worker thread, is visible to the view's
// context. Frames are encoded in the context current on the GUI thread (the view's).
class GlDevice final : public gpu::Device {
  public:
    // GUI thread only. Null, with the reason in *error, when no suitable context exists.
    static std::shared_ptr<GlDevice> create(QString* error);
    ~GlDevice() override;

    std::unique_ptr<gpu::Library> newDefaultLibrary() override;
    std::size_t maxTexture3DSize() const override { return m_maxTexture3DSize; }

  private:
    explicit GlDevice(std::shared_ptr<GlContextProvider> contexts) : m_contexts(std::move(contexts)) {}

    gpu::Handle makePipeline(const gpu::RenderPipelineDescriptor& descriptor, std::string* error) override;
    void releasePipeline(gpu::Handle pipeline) override;
    gpu::Handle makeTexture(const gpu::TextureDescriptor& descriptor, std::string* error) override;
    bool replaceRegion(const gpu::Texture& texture, const gpu::Region& region, std::size_t mipmapLevel,
                       std::size_t slice, const void* bytes, std::size_t bytesPerRow,
                       std::size_t bytesPerImage) override;
    bool copyTexture(const gpu::Texture& source, const gpu::Texture& destination) override;
    void releaseTexture(gpu::Handle texture) override;

    bool beginCommands() override { return m_encoder.begin(); }
    bool beginPass(const gpu::RenderPassDescriptor& pass) override { return m_encoder.beginPass(pass); }
    void applyPipeline(const gpu::RenderPipelineState& pipeline) override {
        m_encoder.applyPipeline(pipeline);
    }
    void applyBytes(std::size_t index, const void* bytes, std::size_t length) override {
        m_encoder.applyBytes(index, bytes, length);
    }
    void applyTexture(std::size_t index, const gpu::Texture* texture) override {
        m_encoder.applyTexture(index, texture);
    }
    void draw(gpu::PrimitiveType type, std::size_t vertexStart, std::size_t vertexCount) override {
        m_encoder.draw(type, vertexStart, vertexCount);
    }
    void endPass() override { m_encoder.endPass(); }
    void copyRenderTarget(const gpu::RenderPassDescriptor& source,
                          const gpu::RenderPassDescriptor& destination) override {
        m_encoder.copy(source, destination);
    }
    void commit() override { m_encoder.commit(); }

    std::shared_ptr<GlContextProvider> m_contexts;
    GlEncoder m_encoder;
    std::size_t m_maxTexture3DSize = 0;
};

} // namespace gl
