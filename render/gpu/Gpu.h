#pragma once

// The small GPU interface the renderer talks to. It is shaped like the handful of Metal
// objects a volume renderer needs (device, library and functions, pipeline, command
// queue and buffer, render and blit encoders, 3-D texture, drawable) so the renderer
// reads the same on every backend.
//
// A backend implements Device alone: render/gl on OpenGL 4.1 core, and the recording
// backend of the unit tests (tests/support). Everything else here is a plain value or a
// small class that hands its work to the device that made it; the device knows its
// textures and pipelines by the handles it gave them. Descriptors are plain structs with
// usable zero defaults. What the caller creates it owns and releases by dropping it; the
// command buffer and its encoders belong to their queue and serve every frame.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace gpu {

// R16Uint: one unsigned 16-bit channel, sampled normalised and filtered; RGBA16Unorm: four,
// fetched without filtering (the brick pool's page table); RG16Unorm: two, fetched (the
// brick grid's maximum and minimum).
enum class PixelFormat : std::uint8_t { Invalid, R16Uint, RGBA8Unorm, RGBA16Unorm, RG16Unorm };
enum class TextureType : std::uint8_t { Type2D, Type3D };
enum class TextureUsage : std::uint8_t { ShaderRead, RenderTarget };
enum class BlendOperation : std::uint8_t { Add };
enum class BlendFactor : std::uint8_t { Zero, One, SourceAlpha, OneMinusSourceAlpha };
enum class PrimitiveType : std::uint8_t { Triangle };

// A backend's name for one of its objects; never 0.
using Handle = std::uint64_t;

struct Origin {
    std::size_t x = 0, y = 0, z = 0;
};
struct Size {
    std::size_t width = 0, height = 0, depth = 0;
};
struct Region {
    Origin origin;
    Size size;
};

struct ClearColor {
    double red = 0.0, green = 0.0, blue = 0.0, alpha = 1.0;
};

// One stage's shader, as source in the backend's shading language.
struct Function {
    std::string name;
    std::string source;
};

class Library {
  public:
    explicit Library(std::vector<Function> functions) : m_functions(std::move(functions)) {}
    // Null when the library holds no function of that name.
    std::unique_ptr<Function> newFunctionWithName(const std::string& name) const;
    // The same function with the preprocessor macros `macros` defined ahead of its code
    // (after the version line, which the shading language wants first): one source
    // built in variants.
    std::unique_ptr<Function> newFunctionWithName(const std::string& name,
                                                  const std::vector<std::string>& macros) const;

  private:
    std::vector<Function> m_functions;
};

struct RenderPipelineColorAttachmentDescriptor {
    PixelFormat pixelFormat = PixelFormat::Invalid;
    bool blendingEnabled = false;
    BlendOperation rgbBlendOperation = BlendOperation::Add;
    BlendOperation alphaBlendOperation = BlendOperation::Add;
    BlendFactor sourceRGBBlendFactor = BlendFactor::One;
    BlendFactor sourceAlphaBlendFactor = BlendFactor::One;
    BlendFactor destinationRGBBlendFactor = BlendFactor::Zero;
    BlendFactor destinationAlphaBlendFactor = BlendFactor::Zero;
};

struct RenderPipelineDescriptor {
    std::string label; // names the pipeline in error messages
    const Function* vertexFunction = nullptr;
    const Function* fragmentFunction = nullptr;
    std::array<RenderPipelineColorAttachmentDescriptor, 1> colorAttachments{};
};

struct TextureDescriptor {
    PixelFormat pixelFormat = PixelFormat::Invalid;
    TextureType textureType = TextureType::Type3D;
    std::size_t width = 1, height = 1, depth = 1;
    // Level n is max(1, side >> n) texels along each side; every level is filled by replaceRegion.
    std::size_t mipmapLevelCount = 1;
    TextureUsage usage = TextureUsage::ShaderRead;
};

class Device;

class RenderPipelineState {
  public:
    RenderPipelineState(std::shared_ptr<Device> device, Handle handle,
                        const RenderPipelineColorAttachmentDescriptor& colorAttachment)
        : m_device(std::move(device)), m_handle(handle), m_colorAttachment(colorAttachment) {}
    ~RenderPipelineState();
    RenderPipelineState(const RenderPipelineState&) = delete;
    RenderPipelineState& operator=(const RenderPipelineState&) = delete;

    Handle handle() const { return m_handle; }
    const RenderPipelineColorAttachmentDescriptor& colorAttachment() const { return m_colorAttachment; }

  private:
    std::shared_ptr<Device> m_device;
    Handle m_handle;
    RenderPipelineColorAttachmentDescriptor m_colorAttachment;
};

// May be filled and released on any thread.
class Texture {
  public:
    Texture(std::shared_ptr<Device> device, Handle handle, const TextureDescriptor& descriptor);
    ~Texture();
    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;

    std::size_t width() const { return m_descriptor.width; }
    std::size_t height() const { return m_descriptor.height; }
    std::size_t depth() const { return m_descriptor.depth; }
    const TextureDescriptor& descriptor() const { return m_descriptor; }
    Handle handle() const { return m_handle; }
    // Never the same for two textures of the process, where a backend's handle of a released
    // texture may name the next one made: what a backend keeps for a texture is keyed by it.
    std::uint64_t serial() const { return m_serial; }
    // Copies the bytes into the region before it returns; the caller may release them
    // afterwards, and every later frame sees the new texels. bytesPerRow and bytesPerImage
    // describe the source's packing. False when the backend refused the region or reported
    // an error (the texels are then undefined).
    bool replaceRegion(const Region& region, std::size_t mipmapLevel, std::size_t slice, const void* bytes,
                       std::size_t bytesPerRow, std::size_t bytesPerImage);
    // Copies every texel of this 3-D texture to the same coordinates of `destination`, a
    // texture of the same format at least as large, before it returns. False when the
    // backend refused or failed (destination's texels are then undefined).
    bool copyInto(const Texture& destination) const;

  private:
    std::shared_ptr<Device> m_device;
    Handle m_handle;
    TextureDescriptor m_descriptor;
    std::uint64_t m_serial;
};

// Where a frame draws: the backend's render target, its size in pixels and how the
// pass starts. Offered by the view for the frame being drawn, or made by the renderer
// for a texture of its own.
struct RenderPassDescriptor {
    std::uint64_t nativeTarget = 0; // the backend's framebuffer handle
    // When set, the pass draws into this 2-D render-target texture instead of nativeTarget.
    const Texture* colorTexture = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool clear = true;
    ClearColor clearColor;
};

// What a view shows once the frame that presents it is committed; the view counts the
// frames that did.
class Drawable {
  public:
    void present() { ++m_presented; }
    int presented() const { return m_presented; }

  private:
    int m_presented = 0;
};

// Vertex and fragment stages read the same binding indices: bytes set for either stage
// at index N serve both.
class RenderCommandEncoder {
  public:
    explicit RenderCommandEncoder(Device& device) : m_device(device) {}
    void setRenderPipelineState(const RenderPipelineState& state);
    // The bytes are copied when encoded; the caller may change them afterwards.
    void setVertexBytes(const void* bytes, std::size_t length, std::size_t index);
    void setFragmentBytes(const void* bytes, std::size_t length, std::size_t index);
    void setFragmentTexture(const Texture* texture, std::size_t index);
    void drawPrimitives(PrimitiveType type, std::size_t vertexStart, std::size_t vertexCount);
    void endEncoding();

  private:
    Device& m_device;
};

class BlitCommandEncoder {
  public:
    explicit BlitCommandEncoder(Device& device) : m_device(device) {}
    // Copies the whole of the source pass's target onto the whole of the destination's,
    // scaled with linear filtering when their sizes differ. Neither pass is cleared.
    void copyRenderTarget(const RenderPassDescriptor& source, const RenderPassDescriptor& destination);

  private:
    Device& m_device;
};

// The commands of one frame, in the order they are encoded; one at a time per queue.
class CommandBuffer {
  public:
    explicit CommandBuffer(Device& device) : m_device(device), m_render(device), m_blit(device) {}
    // Null when the pass's target cannot be drawn into, or once committed.
    RenderCommandEncoder* renderCommandEncoderWithDescriptor(const RenderPassDescriptor& descriptor);
    // Null once committed.
    BlitCommandEncoder* blitCommandEncoder();
    void presentDrawable(Drawable* drawable) { m_drawable = drawable; }
    // Hands the commands to the GPU, then marks the drawable presented.
    void commit();

  private:
    friend class CommandQueue;
    Device& m_device;
    RenderCommandEncoder m_render;
    BlitCommandEncoder m_blit;
    Drawable* m_drawable = nullptr;
    bool m_committed = true;
};

class CommandQueue {
  public:
    explicit CommandQueue(std::shared_ptr<Device> device)
        : m_device(std::move(device)), m_buffer(*m_device) {}
    // The queue's command buffer, begun anew. Null while the previous one is not committed,
    // and when the device cannot encode on this thread now (OpenGL: no context sharing with
    // the device is current).
    CommandBuffer* commandBuffer();

  private:
    std::shared_ptr<Device> m_device;
    CommandBuffer m_buffer;
};

class Device : public std::enable_shared_from_this<Device> {
  public:
    virtual ~Device() = default;

    // The application's built-in shader library; null when it cannot be loaded.
    virtual std::unique_ptr<Library> newDefaultLibrary() = 0;
    // Null on failure, with the backend's reason (compiler or linker log) in *error.
    std::shared_ptr<RenderPipelineState>
    newRenderPipelineStateWithDescriptor(const RenderPipelineDescriptor& descriptor, std::string* error);
    std::unique_ptr<CommandQueue> newCommandQueue() {
        return std::make_unique<CommandQueue>(shared_from_this());
    }
    // Null when the texture cannot be created (size above the limit, out of memory), with
    // the backend's reason in *error. Callable from any thread.
    std::shared_ptr<Texture> newTextureWithDescriptor(const TextureDescriptor& descriptor,
                                                      std::string* error);
    // The largest width, height or depth of a 3-D texture.
    virtual std::size_t maxTexture3DSize() const = 0;

  protected:
    friend class RenderPipelineState;
    friend class Texture;
    friend class RenderCommandEncoder;
    friend class BlitCommandEncoder;
    friend class CommandBuffer;
    friend class CommandQueue;

    // What a backend implements. Pipelines and textures: any thread; 0 on failure, with
    // the reason in *error.
    virtual Handle makePipeline(const RenderPipelineDescriptor& descriptor, std::string* error) = 0;
    virtual void releasePipeline(Handle pipeline) = 0;
    virtual Handle makeTexture(const TextureDescriptor& descriptor, std::string* error) = 0;
    virtual bool replaceRegion(const Texture& texture, const Region& region, std::size_t mipmapLevel,
                               std::size_t slice, const void* bytes, std::size_t bytesPerRow,
                               std::size_t bytesPerImage) = 0;
    virtual bool copyTexture(const Texture& source, const Texture& destination) = 0;
    virtual void releaseTexture(Handle texture) = 0;

    // Encoding, on one thread at a time: a frame's commands from beginCommands to commit,
    // the draws between beginPass and endPass.
    virtual bool beginCommands() = 0;
    virtual bool beginPass(const RenderPassDescriptor& pass) = 0;
    virtual void applyPipeline(const RenderPipelineState& pipeline) = 0;
    virtual void applyBytes(std::size_t index, const void* bytes, std::size_t length) = 0;
    virtual void applyTexture(std::size_t index, const Texture* texture) = 0;
    virtual void draw(PrimitiveType type, std::size_t vertexStart, std::size_t vertexCount) = 0;
    virtual void endPass() = 0;
    virtual void copyRenderTarget(const RenderPassDescriptor& source,
                                  const RenderPassDescriptor& destination) = 0;
    virtual void commit() = 0;
};

// The system's default device (MTLCreateSystemDefaultDevice): null when no GPU context
// of the version the shaders need can be created. Implemented by the backend. The first
// form logs why it failed; the second hands the reason (e.g. the version found) to the caller.
std::shared_ptr<Device> createSystemDefaultDevice();
std::shared_ptr<Device> tryCreateSystemDefaultDevice(std::string* error);

} // namespace gpu
