#include "QVRenderer.h"

#include "NRRDfmt.h"
#include "ProxyCube.h"
#include "VolumeData.h"

#include <QtGlobal>
#include <cmath>
#include <limits>

namespace {

constexpr std::int64_t kStartupWindowLevel = 738;
constexpr std::int64_t kStartupWindowWidth = 1384;
constexpr std::int64_t kImportWindowLevel = -10;
constexpr std::int64_t kImportWindowWidth = 1300;
constexpr float kUpperClip = 1.0f;
constexpr float kLowerClip = 0.0f;

constexpr char kPipelineLabel[] = "Simple Pipeline";
constexpr char kVertexFunction[] = "vertexShader";
constexpr char kFragmentFunction[] = "fragmentShader";
constexpr char kCommandLabel[] = "MyCommand";
constexpr char kEncoderLabel[] = "MyRenderEncoder";

constexpr std::size_t kBytesPerVoxel = 2;
constexpr std::size_t kVertexBufferIndex = 0;
constexpr std::size_t kUniformsIndex = 1;
constexpr std::size_t kWindowIndex = 2;
constexpr std::size_t kVolumeTextureIndex = 0;
constexpr std::uint32_t kSharedStorage = 0;

// Bytes a width x height x depth volume of 16-bit voxels needs; false when that does not
// fit in 64 bits (no buffer could hold it).
bool volumeBytes(std::uint64_t width, std::uint64_t height, std::uint64_t depth, std::uint64_t* bytes) {
    std::uint64_t product = 0;
    return !__builtin_mul_overflow(width, height, &product) &&
           !__builtin_mul_overflow(product, depth, &product) &&
           !__builtin_mul_overflow(product, std::uint64_t{kBytesPerVoxel}, bytes);
}

// The drawable size arrives in device pixels as doubles; whole pixels, truncated.
std::uint32_t wholePixels(double size) {
    constexpr double kLargest = std::numeric_limits<std::uint32_t>::max();
    if (!(size > 0.0)) {
        return 0;
    }
    return size >= kLargest ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(size);
}

} // namespace

QVRenderer::QVRenderer(MTKView& view, std::shared_ptr<const VolumeData> vdata, QObject* parent)
    : QObject(parent), m_device(view.device()) {
    m_wl = kStartupWindowLevel;
    m_ww = kStartupWindowWidth;
    m_wlww = {static_cast<std::int32_t>(kStartupWindowLevel), static_cast<std::int32_t>(kStartupWindowWidth)};
    m_uniforms.modelMatrix = matrix_identity_float4x4;
    m_uniforms.viewMatrix = matrix_identity_float4x4;
    m_uniforms.projectionMatrix = matrix_identity_float4x4;
    resetCameraClipAndLookup();

    if (m_device) {
        buildPipeline(view.colorPixelFormat());
        m_commandQueue = m_device->newCommandQueue();
    } else {
        qWarning("QVRenderer: the view has no GPU device; nothing will be drawn");
    }
    m_vertices = proxycube::kVertices.data();

    if (!vdata) {
        vdata = VolumeData::initWithBundle();
        m_wl = kStartupWindowLevel;
        m_ww = kStartupWindowWidth;
    }
    setVdata(vdata);
    if (!vdata) {
        return;
    }
    m_volume.width = vdata->width();
    m_volume.height = vdata->height();
    m_volume.depth = vdata->depth();
    m_volume.cellspaceX = vdata->cellspaceX();
    m_volume.cellspaceY = vdata->cellspaceY();
    m_volume.cellspaceZ = vdata->cellspaceZ();
    if (!m_device) {
        return;
    }
    QString reason;
    m_volume.texture =
        newVolumeTexture(m_volume.width, m_volume.height, m_volume.depth, vdata->data(), &reason);
    if (!m_volume.texture) {
        qWarning("QVRenderer: the volume is not shown: %s", qPrintable(reason));
    }
}

std::unique_ptr<QVRenderer> QVRenderer::initWithMetalKitView(MTKView& view) {
    return std::make_unique<QVRenderer>(view);
}

QVRenderer::~QVRenderer() = default;

void QVRenderer::buildPipeline(gpu::PixelFormat colorPixelFormat) {
    std::unique_ptr<gpu::Library> library = m_device->newDefaultLibrary();
    if (!library) {
        qWarning("QVRenderer: no default shader library; only the clear colour will show");
        return;
    }
    std::unique_ptr<gpu::Function> vertexFunction = library->newFunctionWithName(kVertexFunction);
    std::unique_ptr<gpu::Function> fragmentFunction = library->newFunctionWithName(kFragmentFunction);
    if (!vertexFunction || !fragmentFunction) {
        qWarning("QVRenderer: the shader library lacks \"%s\"; only the clear colour will show",
                 vertexFunction ? kFragmentFunction : kVertexFunction);
        return;
    }

    gpu::RenderPipelineDescriptor descriptor;
    descriptor.label = kPipelineLabel;
    descriptor.vertexFunction = vertexFunction.get();
    descriptor.fragmentFunction = fragmentFunction.get();
    // colour = source × source alpha + destination × (1 − source alpha), and the same for alpha.
    gpu::RenderPipelineColorAttachmentDescriptor& attachment = descriptor.colorAttachments[0];
    attachment.pixelFormat = colorPixelFormat;
    attachment.blendingEnabled = true;
    attachment.rgbBlendOperation = gpu::BlendOperation::Add;
    attachment.alphaBlendOperation = gpu::BlendOperation::Add;
    attachment.sourceAlphaBlendFactor = gpu::BlendFactor::SourceAlpha;
    attachment.sourceRGBBlendFactor = gpu::BlendFactor::SourceAlpha;
    attachment.destinationAlphaBlendFactor = gpu::BlendFactor::OneMinusSourceAlpha;
    attachment.destinationRGBBlendFactor = gpu::BlendFactor::OneMinusSourceAlpha;

    std::string error;
    m_pipelineState = m_device->newRenderPipelineStateWithDescriptor(descriptor, &error);
    if (!m_pipelineState) {
        qWarning("QVRenderer: the render pipeline cannot be built; only the clear colour will show: %s",
                 error.c_str());
    }
}

std::shared_ptr<gpu::Texture> QVRenderer::newVolumeTexture(std::uint64_t width, std::uint64_t height,
                                                           std::uint64_t depth, const ByteBuffer& data,
                                                           QString* reason) const {
    std::uint64_t needed = 0;
    if (!m_device) {
        *reason = QStringLiteral("there is no GPU device");
    } else if (data.isNull()) {
        *reason = QStringLiteral("there is no voxel data");
    } else if (width == 0 || height == 0 || depth == 0) {
        *reason = QStringLiteral("the volume has a zero size (%1 x %2 x %3 voxels)")
                      .arg(width)
                      .arg(height)
                      .arg(depth);
    } else if (const std::uint64_t limit = m_device->maxTexture3DSize();
               width > limit || height > limit || depth > limit) {
        *reason = QStringLiteral("%1 x %2 x %3 voxels exceed the GPU's limit of %4 per side")
                      .arg(width)
                      .arg(height)
                      .arg(depth)
                      .arg(limit);
    } else if (!volumeBytes(width, height, depth, &needed) || data.size() < needed) {
        *reason = QStringLiteral("the voxel data holds %1 bytes but %2 x %3 x %4 voxels need %5")
                      .arg(data.size())
                      .arg(width)
                      .arg(height)
                      .arg(depth)
                      .arg(needed);
    }
    if (!reason->isEmpty()) {
        return nullptr;
    }

    gpu::TextureDescriptor descriptor;
    descriptor.pixelFormat = gpu::PixelFormat::R16Uint;
    descriptor.textureType = gpu::TextureType::Type3D;
    descriptor.depth = depth;
    descriptor.width = width;
    descriptor.height = height;
    std::string error;
    std::shared_ptr<gpu::Texture> texture = m_device->newTextureWithDescriptor(descriptor, &error);
    if (!texture) {
        *reason = QStringLiteral("the GPU cannot make a %1 x %2 x %3 texture: %4")
                      .arg(width)
                      .arg(height)
                      .arg(depth)
                      .arg(QString::fromStdString(error));
        return nullptr;
    }
    // Rows and slices are packed without padding, whatever the width.
    const gpu::Region region{{0, 0, 0}, {width, height, depth}};
    if (!texture->replaceRegion(region, 0, 0, data.data(), width * kBytesPerVoxel,
                                width * height * kBytesPerVoxel)) {
        *reason = QStringLiteral("the voxels could not be uploaded to the GPU");
        return nullptr;
    }
    return texture;
}

void QVRenderer::resetCameraClipAndLookup() {
    m_zoom = 0.0f;
    m_xrot = 0.0f;
    m_yrot = 0.0f;
    m_zrot = 0.0f;
    m_xcept = kUpperClip;
    m_ycept = kUpperClip;
    m_zcept = kUpperClip;
    m_xceptBtm = kLowerClip;
    m_yceptBtm = kLowerClip;
    m_zceptBtm = kLowerClip;
    m_clutmode = 0;
}

void QVRenderer::mtkView_drawableSizeWillChange(MTKView& /*view*/, DrawableSize size) {
    m_viewportSize = {wholePixels(size.width), wholePixels(size.height)};
}

void QVRenderer::DrawA(MTKView& view) {
    std::lock_guard lock(m_stateMutex);
    encodeFrame(view, true);
}

void QVRenderer::encodeFrame(MTKView& view, bool drawVolume) {
    if (!m_commandQueue) {
        return;
    }
    std::unique_ptr<gpu::CommandBuffer> commandBuffer = m_commandQueue->commandBuffer();
    if (!commandBuffer) {
        return;
    }
    commandBuffer->setLabel(kCommandLabel);
    const gpu::RenderPassDescriptor* pass = drawVolume ? view.currentRenderPassDescriptor() : nullptr;
    std::shared_ptr<gpu::Buffer> vertexBuffer;
    if (pass != nullptr) {
        std::unique_ptr<gpu::RenderCommandEncoder> encoder =
            commandBuffer->renderCommandEncoderWithDescriptor(*pass);
        if (encoder) {
            encoder->setLabel(kEncoderLabel);
            // Without a pipeline or a volume the pass still clears: the view shows its clear colour.
            if (m_pipelineState && m_volume.texture) {
                encoder->setRenderPipelineState(*m_pipelineState);
                vertexBuffer =
                    m_device->newBufferWithBytes(m_vertices, sizeof(proxycube::kVertices), kSharedStorage);
            }
            if (vertexBuffer) {
                encoder->setVertexBuffer(vertexBuffer.get(), 0, kVertexBufferIndex);
                encoder->setVertexBytes(&m_uniforms, sizeof(Uniforms), kUniformsIndex);
                encoder->setVertexBytes(&m_wlww, sizeof(WindowPair), kWindowIndex);
                encoder->setFragmentTexture(m_volume.texture.get(), kVolumeTextureIndex);
                encoder->drawPrimitives(gpu::PrimitiveType::Triangle, 0, proxycube::kVertices.size());
            }
            encoder->endEncoding();
            commandBuffer->presentDrawable(view.currentDrawable());
        }
    }
    commandBuffer->commit();
}

bool QVRenderer::updateVolumeDataWithNRRDfmt(const NRRDfmt* record, QString* reason) {
    QString why;
    std::shared_ptr<gpu::Texture> texture;
    if (record == nullptr) {
        why = QStringLiteral("there is no volume record");
    } else {
        texture = newVolumeTexture(record->width, record->height, record->depth, record->data, &why);
    }
    if (!texture) {
        qWarning("QVRenderer: the imported volume is refused, the current one stays: %s", qPrintable(why));
        if (reason != nullptr) {
            *reason = why;
        }
        return false;
    }

    std::lock_guard lock(m_stateMutex);
    m_volume.width = record->width;
    m_volume.height = record->height;
    m_volume.depth = record->depth;
    m_volume.cellspaceX = record->cellspaceX;
    m_volume.cellspaceY = record->cellspaceY;
    m_volume.cellspaceZ = record->cellspaceZ;
    m_volume.sampleOffset = record->sampleOffset;
    resetCameraClipAndLookup();
    m_ww = kImportWindowWidth;
    m_wl = kImportWindowLevel;
    if (m_volume.texture) {
        m_retiredTextures.push_back(std::move(m_volume.texture));
    }
    m_volume.texture = std::move(texture);
    return true;
}

void QVRenderer::updateVolumeDataWithURL(const QString& /*url*/) {
    qInfo("updateVolumeDataWithURL@QVRenerer");
    qInfo("updateVolumeDataWithURL@QVRenerer");
}

void QVRenderer::setWl(std::int64_t value) {
    m_wl = value;
    emit valueChanged(QStringLiteral("wl"));
}

void QVRenderer::setWw(std::int64_t value) {
    m_ww = value;
    emit valueChanged(QStringLiteral("ww"));
}

std::shared_ptr<const VolumeData> QVRenderer::vdata() const {
    std::lock_guard lock(m_vdataMutex);
    return m_vdata;
}

void QVRenderer::setVdata(std::shared_ptr<const VolumeData> value) {
    std::lock_guard lock(m_vdataMutex);
    m_vdata = std::move(value);
}

QVRenderer::VolumeState QVRenderer::volumeState() const {
    std::lock_guard lock(m_stateMutex);
    return m_volume;
}
