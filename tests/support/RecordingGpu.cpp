#include "RecordingGpu.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <array>

namespace recording {

namespace {

// Bytes per texel of each gpu::PixelFormat, in the enum's order.
constexpr std::array<std::size_t, 5> kTexelBytes{0, 2, 4, 8, 4};
static_assert(static_cast<std::size_t>(gpu::PixelFormat::RG16Unorm) == kTexelBytes.size() - 1);

std::size_t texelBytes(const TextureRecord& record) {
    return kTexelBytes[static_cast<std::size_t>(record.descriptor.pixelFormat)];
}

// Copies a region's texels, packed as described, into what the texture is kept to hold.
void keep(TextureRecord& record, const gpu::Region& region, const std::uint8_t* bytes,
          std::size_t bytesPerRow, std::size_t bytesPerImage) {
    const gpu::TextureDescriptor& d = record.descriptor;
    for (std::size_t z = 0; z < region.size.depth; ++z) {
        for (std::size_t y = 0; y < region.size.height; ++y) {
            const std::size_t to =
                ((region.origin.z + z) * d.height + region.origin.y + y) * d.width + region.origin.x;
            std::copy_n(bytes + z * bytesPerImage + y * bytesPerRow, region.size.width * texelBytes(record),
                        reinterpret_cast<std::uint8_t*>(record.texels.data()) + to * texelBytes(record));
        }
    }
}

Target targetOf(const gpu::RenderPassDescriptor& pass) {
    return {pass.colorTexture != nullptr ? pass.colorTexture->handle() : 0, pass.width, pass.height};
}

} // namespace

std::unique_ptr<gpu::Library> Device::newDefaultLibrary() {
    if (m_options.libraryMissing) {
        return nullptr;
    }
    std::vector<gpu::Function> functions;
    for (const char* name : {"vertexShader", "fragmentShader"}) {
        if (m_options.missingFunctions.count(name) == 0) {
            functions.push_back({name, {}});
        }
    }
    return std::make_unique<gpu::Library>(std::move(functions));
}

gpu::Handle Device::makePipeline(const gpu::RenderPipelineDescriptor&, std::string* error) {
    *error = m_options.pipelineError;
    return error->empty() ? m_nextPipeline++ : 0;
}

gpu::Handle Device::makeTexture(const gpu::TextureDescriptor& descriptor, std::string* error) {
    std::lock_guard lock(m_mutex);
    if (!m_options.textureError.empty()) {
        *error = m_options.textureError;
        return 0;
    }
    TextureRecord& record = m_textures.emplace_back(TextureRecord{descriptor, {}, {}, {}});
    if (m_options.keepTexels) {
        record.texels.resize(descriptor.width * descriptor.height * descriptor.depth * texelBytes(record) /
                             sizeof(std::uint16_t));
    }
    return m_textures.size();
}

bool Device::replaceRegion(const gpu::Texture& texture, const gpu::Region& region, std::size_t mipmapLevel,
                           std::size_t, const void* bytes, std::size_t bytesPerRow,
                           std::size_t bytesPerImage) {
    std::lock_guard lock(m_mutex);
    TextureRecord& record = m_textures.at(texture.handle() - 1);
    record.uploads.push_back({region, bytesPerImage});
    if (!record.texels.empty() && mipmapLevel == 0) {
        keep(record, region, static_cast<const std::uint8_t*>(bytes), bytesPerRow, bytesPerImage);
    }
    return true;
}

bool Device::copyTexture(const gpu::Texture& source, const gpu::Texture& destination) {
    std::lock_guard lock(m_mutex);
    const TextureRecord& from = m_textures.at(source.handle() - 1);
    TextureRecord& to = m_textures.at(destination.handle() - 1);
    to.uploads.insert(to.uploads.begin(), from.uploads.begin(), from.uploads.end());
    if (!from.texels.empty() && !to.texels.empty()) {
        const gpu::TextureDescriptor& d = from.descriptor;
        const std::size_t row = d.width * texelBytes(from);
        keep(to, {{}, {d.width, d.height, d.depth}},
             reinterpret_cast<const std::uint8_t*>(from.texels.data()), row, row * d.height);
    }
    return true;
}

void Device::releaseTexture(gpu::Handle texture) {
    const QCoreApplication* app = QCoreApplication::instance();
    const bool gui = app != nullptr && QThread::currentThread() == app->thread();
    std::lock_guard lock(m_mutex);
    m_textures.at(texture - 1).releasedOn = gui ? "GUI thread" : "worker thread";
}

bool Device::beginPass(const gpu::RenderPassDescriptor& pass) {
    m_frames.back().passes.push_back(targetOf(pass));
    return true;
}

void Device::copyRenderTarget(const gpu::RenderPassDescriptor& source,
                              const gpu::RenderPassDescriptor& destination) {
    m_frames.back().copies.push_back({targetOf(source), targetOf(destination)});
}

} // namespace recording
