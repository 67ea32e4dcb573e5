#pragma once

// The small GPU interface the renderer talks to. It is shaped like the handful of
// Metal objects a volume renderer needs (device, library and functions, pipeline,
// command queue and buffer, render encoder, buffer, 3-D texture) so the renderer
// reads the same on every backend. render/gl implements it on OpenGL 4.1 core;
// tests/support has a recording implementation that logs every call.
//
// Descriptors are plain structs with usable zero defaults. Objects are handed out as
// smart pointers: the caller owns what it creates and releases it by dropping it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace gpu {

// Enumerator values follow Metal's so logged values read the same as in its documentation.
enum class PixelFormat : std::uint32_t { Invalid = 0, R16Uint = 23, RGBA8Unorm = 70, BGRA8Unorm = 80 };
enum class TextureType : std::uint32_t { Type2D = 2, Type3D = 7 };
// What a texture is for; a bit set, as Metal's MTLTextureUsage.
enum class TextureUsage : std::uint32_t { ShaderRead = 1, RenderTarget = 4 };
enum class BlendOperation : std::uint32_t { Add = 0 };
enum class BlendFactor : std::uint32_t {
    Zero = 0,
    One = 1,
    SourceColor = 2,
    OneMinusSourceColor = 3,
    SourceAlpha = 4,
    OneMinusSourceAlpha = 5,
};
enum class PrimitiveType : std::uint32_t { Triangle = 3 };

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

class Function {
  public:
    virtual ~Function() = default;
    virtual const std::string& name() const = 0;
};

class Library {
  public:
    virtual ~Library() = default;
    // Null when the library holds no function of that name.
    virtual std::unique_ptr<Function> newFunctionWithName(const std::string& name) = 0;
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
    std::string label;
    const Function* vertexFunction = nullptr;
    const Function* fragmentFunction = nullptr;
    std::array<RenderPipelineColorAttachmentDescriptor, 1> colorAttachments{};
};

class RenderPipelineState {
  public:
    virtual ~RenderPipelineState() = default;
    virtual const std::string& label() const = 0;
};

struct TextureDescriptor {
    PixelFormat pixelFormat = PixelFormat::Invalid;
    TextureType textureType = TextureType::Type3D;
    std::size_t width = 1, height = 1, depth = 1;
    // Level n is max(1, side >> n) texels along each side; every level is filled by replaceRegion.
    std::size_t mipmapLevelCount = 1;
    TextureUsage usage = TextureUsage::ShaderRead;
};

class Texture {
  public:
    virtual ~Texture() = default;
    virtual std::size_t width() const = 0;
    virtual std::size_t height() const = 0;
    virtual std::size_t depth() const = 0;
    // Copies the bytes into the region before it returns; the caller may release them
    // afterwards, and any context in the device's share group sees the new texels.
    // bytesPerRow and bytesPerImage describe the source's packing. False when the
    // backend reported an error (the texels are then undefined).
    virtual bool replaceRegion(const Region& region, std::size_t mipmapLevel, std::size_t slice,
                               const void* bytes, std::size_t bytesPerRow, std::size_t bytesPerImage) = 0;
};

class Buffer {
  public:
    virtual ~Buffer() = default;
    virtual std::size_t length() const = 0;
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

class Drawable {
  public:
    virtual ~Drawable() = default;
    // Marks the drawable for showing once the command buffer that presents it has run.
    virtual void present() = 0;
};

class RenderCommandEncoder {
  public:
    virtual ~RenderCommandEncoder() = default;
    virtual void setLabel(const std::string& label) = 0;
    virtual void setRenderPipelineState(const RenderPipelineState& state) = 0;
    virtual void setVertexBuffer(const Buffer* buffer, std::size_t offset, std::size_t index) = 0;
    // The bytes are copied when encoded; the caller may change them afterwards.
    virtual void setVertexBytes(const void* bytes, std::size_t length, std::size_t index) = 0;
    // The bytes are copied when encoded, as for setVertexBytes.
    virtual void setFragmentBytes(const void* bytes, std::size_t length, std::size_t index) = 0;
    virtual void setFragmentTexture(const Texture* texture, std::size_t index) = 0;
    virtual void drawPrimitives(PrimitiveType type, std::size_t vertexStart, std::size_t vertexCount) = 0;
    virtual void endEncoding() = 0;
};

// Copies between render targets.
class BlitCommandEncoder {
  public:
    virtual ~BlitCommandEncoder() = default;
    // Copies the whole of the source pass's target onto the whole of the destination's,
    // scaled with linear filtering when their sizes differ. Neither pass is cleared.
    virtual void copyRenderTarget(const RenderPassDescriptor& source,
                                  const RenderPassDescriptor& destination) = 0;
    virtual void endEncoding() = 0;
};

class CommandBuffer {
  public:
    virtual ~CommandBuffer() = default;
    virtual void setLabel(const std::string& label) = 0;
    virtual std::unique_ptr<RenderCommandEncoder>
    renderCommandEncoderWithDescriptor(const RenderPassDescriptor& descriptor) = 0;
    virtual std::unique_ptr<BlitCommandEncoder> blitCommandEncoder() = 0;
    virtual void presentDrawable(Drawable* drawable) = 0;
    virtual void commit() = 0;
};

class CommandQueue {
  public:
    virtual ~CommandQueue() = default;
    virtual std::unique_ptr<CommandBuffer> commandBuffer() = 0;
};

class Device {
  public:
    virtual ~Device() = default;
    // The application's built-in shader library; null when it cannot be loaded.
    virtual std::unique_ptr<Library> newDefaultLibrary() = 0;
    // Null on failure, with the backend's reason (compiler or linker log) in *error.
    virtual std::shared_ptr<RenderPipelineState>
    newRenderPipelineStateWithDescriptor(const RenderPipelineDescriptor& descriptor, std::string* error) = 0;
    virtual std::unique_ptr<CommandQueue> newCommandQueue() = 0;
    // Null when the texture cannot be created (size above the limit, out of memory), with
    // the backend's reason in *error. Callable from any thread: a thread without a current
    // context gets one of the device's own. Textures may be released on any thread.
    virtual std::shared_ptr<Texture> newTextureWithDescriptor(const TextureDescriptor& descriptor,
                                                              std::string* error) = 0;
    virtual std::shared_ptr<Buffer> newBufferWithBytes(const void* bytes, std::size_t length,
                                                       std::uint32_t options) = 0;
    // The largest width, height or depth of a 3-D texture.
    virtual std::size_t maxTexture3DSize() const = 0;
};

// The system's default device (MTLCreateSystemDefaultDevice): null when no GPU context
// of the version the shaders need can be created. Implemented by the backend. The first
// form logs why it failed; the second hands the reason (e.g. the version found) to the caller.
std::shared_ptr<Device> createSystemDefaultDevice();
std::shared_ptr<Device> tryCreateSystemDefaultDevice(std::string* error);

} // namespace gpu
