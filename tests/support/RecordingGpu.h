#pragma once

// A backend of the GPU interface that draws nothing and records what it was given: the
// textures made (with their descriptors and uploads) and, for every command buffer, the
// passes begun, the target of each draw, the copies, and whether it was committed. The
// renderer's creation, frames and uploads are checked against these records without a GPU.
// Failures can be switched on to exercise the renderer's error paths.

#include "render/gpu/Gpu.h"

#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace recording {

struct Options {
    bool libraryMissing = false;
    std::set<std::string> missingFunctions{};
    std::string pipelineError{}; // non-empty: pipeline creation fails with it
    std::string textureError{};  // non-empty: texture creation fails with it (from then on)
    std::size_t maxTexture3DSize = 2048;
    // Keep what each texture holds (its first mipmap level), to read back what went up.
    bool keepTexels = false;
};

struct Upload {
    gpu::Region region;
    std::size_t bytesPerImage = 0;
};

// A texture's handle is its place in the device's records, counted from 1.
struct TextureRecord {
    gpu::TextureDescriptor descriptor;
    std::vector<Upload> uploads;       // a copy's source's first
    std::vector<std::uint16_t> texels; // with Options::keepTexels: x fastest, packed, in 16-bit words
    std::string releasedOn;            // "GUI thread" or "worker thread"; empty while alive
};

// A pass's or a copy's target: a texture of the device, or the view's framebuffer (texture 0).
struct Target {
    gpu::Handle texture = 0;
    std::uint32_t width = 0, height = 0;
    bool operator==(const Target&) const = default;
};

struct Copy {
    Target from, to;
    bool operator==(const Copy&) const = default;
};

// One command buffer, from its start to its commit.
struct Frame {
    std::vector<Target> passes;
    std::vector<Target> draws; // each draw's pass
    std::vector<Copy> copies;
    bool committed = false;
};

class Device : public gpu::Device {
  public:
    std::unique_ptr<gpu::Library> newDefaultLibrary() override;
    std::size_t maxTexture3DSize() const override { return m_options.maxTexture3DSize; }

    // Set before the renderer is made.
    Options& options() { return m_options; }
    // Every texture made so far, in order.
    std::vector<TextureRecord> textures() const {
        std::lock_guard lock(m_mutex);
        return m_textures;
    }
    TextureRecord texture(const gpu::Texture& texture) const {
        std::lock_guard lock(m_mutex);
        return m_textures.at(texture.handle() - 1);
    }
    // The command buffers started since the last call, oldest first.
    std::vector<Frame> takeFrames() { return std::exchange(m_frames, {}); }

  private:
    gpu::Handle makePipeline(const gpu::RenderPipelineDescriptor& descriptor, std::string* error) override;
    void releasePipeline(gpu::Handle) override {}
    gpu::Handle makeTexture(const gpu::TextureDescriptor& descriptor, std::string* error) override;
    bool replaceRegion(const gpu::Texture& texture, const gpu::Region& region, std::size_t mipmapLevel,
                       std::size_t slice, const void* bytes, std::size_t bytesPerRow,
                       std::size_t bytesPerImage) override;
    bool copyTexture(const gpu::Texture& source, const gpu::Texture& destination) override;
    void releaseTexture(gpu::Handle texture) override;
    bool beginCommands() override { return m_frames.emplace_back(), true; }
    bool beginPass(const gpu::RenderPassDescriptor& pass) override;
    void applyPipeline(const gpu::RenderPipelineState&) override {}
    void applyBytes(std::size_t, const void*, std::size_t) override {}
    void applyTexture(std::size_t, const gpu::Texture*) override {}
    void draw(gpu::PrimitiveType, std::size_t, std::size_t) override {
        m_frames.back().draws.push_back(m_frames.back().passes.back());
    }
    void endPass() override {}
    void copyRenderTarget(const gpu::RenderPassDescriptor& source,
                          const gpu::RenderPassDescriptor& destination) override;
    void commit() override { m_frames.back().committed = true; }

    mutable std::mutex m_mutex; // textures are made, filled and released on any thread
    Options m_options;
    std::vector<TextureRecord> m_textures;
    gpu::Handle m_nextPipeline = 1;
    std::vector<Frame> m_frames; // encoded on one thread at a time
};

} // namespace recording
