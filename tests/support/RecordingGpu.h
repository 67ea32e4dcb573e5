#pragma once

// A complete backend of the GPU interface that draws nothing and records every call
// with its arguments in a CallLog, so the renderer's creation, frame encoding and
// uploads can be checked without a GPU. Failures can be switched on to exercise the
// renderer's error paths. Objects made by one device share its log, options and the
// record of the last draw.

#include "CallLog.h"
#include "gpu/Gpu.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace recording {

struct Options {
    bool libraryMissing = false;
    std::set<std::string> missingFunctions;
    std::string pipelineError; // non-empty: pipeline creation fails with it
    std::string textureError;  // non-empty: texture creation fails with it
    bool uploadFails = false;
    std::size_t maxTexture3DSize = 2048;
};

// What the last draw was given, byte for byte.
struct LastDraw {
    std::vector<std::byte> vertexBuffer; // index 0
    std::vector<std::byte> uniforms;     // index 1
    std::vector<std::byte> windowPair;   // index 2
    int textureId = 0;                   // 0 when no texture was bound
    std::size_t vertexCount = 0;
};

struct Shared {
    std::shared_ptr<CallLog> log;
    Options options;
    std::atomic<int> nextTextureId{1};
    std::mutex mutex;
    LastDraw lastDraw;    // guarded by mutex
    LastDraw pendingDraw; // what the open encoder has bound so far; guarded by mutex
};

// Logged as "texture#<id>"; its release names the thread: "texture#1.release(GUI thread)".
class Texture : public gpu::Texture {
  public:
    Texture(std::shared_ptr<Shared> shared, int id, const gpu::TextureDescriptor& descriptor)
        : m_shared(std::move(shared)), m_id(id), m_descriptor(descriptor) {}
    ~Texture() override;

    std::size_t width() const override { return m_descriptor.width; }
    std::size_t height() const override { return m_descriptor.height; }
    std::size_t depth() const override { return m_descriptor.depth; }
    bool replaceRegion(const gpu::Region& region, std::size_t mipmapLevel, std::size_t slice,
                       const void* bytes, std::size_t bytesPerRow, std::size_t bytesPerImage) override;

    int id() const { return m_id; }
    // The bytes of the last upload, bytesPerImage × depth of them as given; empty for
    // uploads above 16 MiB.
    std::vector<std::byte> uploaded() const;

  private:
    std::shared_ptr<Shared> m_shared;
    int m_id;
    gpu::TextureDescriptor m_descriptor;
    mutable std::mutex m_mutex;
    std::vector<std::byte> m_uploaded;
};

class Device : public gpu::Device {
  public:
    explicit Device(std::shared_ptr<CallLog> log = std::make_shared<CallLog>());

    std::unique_ptr<gpu::Library> newDefaultLibrary() override;
    std::shared_ptr<gpu::RenderPipelineState>
    newRenderPipelineStateWithDescriptor(const gpu::RenderPipelineDescriptor& descriptor,
                                         std::string* error) override;
    std::unique_ptr<gpu::CommandQueue> newCommandQueue() override;
    std::shared_ptr<gpu::Texture> newTextureWithDescriptor(const gpu::TextureDescriptor& descriptor,
                                                           std::string* error) override;
    std::shared_ptr<gpu::Buffer> newBufferWithBytes(const void* bytes, std::size_t length,
                                                    std::uint32_t options) override;
    std::size_t maxTexture3DSize() const override { return m_shared->options.maxTexture3DSize; }

    // Set before the renderer is made; read by every object the device makes.
    Options& options() { return m_shared->options; }
    CallLog& log() { return *m_shared->log; }
    const std::shared_ptr<CallLog>& sharedLog() const { return m_shared->log; }
    LastDraw lastDraw() const;

  private:
    std::shared_ptr<Shared> m_shared;
};

class Drawable : public gpu::Drawable {
  public:
    explicit Drawable(std::shared_ptr<CallLog> log) : m_log(std::move(log)) {}
    void present() override { m_log->record("drawable.present()"); }

  private:
    std::shared_ptr<CallLog> m_log;
};

} // namespace recording
