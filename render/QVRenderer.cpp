#include "QVRenderer.h"

#include "NRRDfmt.h"
#include "ProxyCube.h"
#include "VolumeData.h"

#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// The whole 16-bit texel range, centre and width.
constexpr std::int64_t kTexelRangeLevel = 32768;
constexpr std::int64_t kTexelRangeWidth = 65536;
constexpr float kUpperClip = 1.0f;
constexpr float kLowerClip = 0.0f;

constexpr char kPipelineLabel[] = "Simple Pipeline";
constexpr char kVertexFunction[] = "vertexShader";
constexpr char kFragmentFunction[] = "fragmentShader";

constexpr std::size_t kBytesPerVoxel = 2;
constexpr std::size_t kVertexBufferIndex = 0;
constexpr std::size_t kUniformsIndex = 1;
constexpr std::size_t kWindowIndex = 2;
constexpr std::size_t kMarchIndex = 3;
constexpr std::size_t kVolumeTextureIndex = 0;
constexpr std::size_t kBrickTextureIndex = 1;
// The voxels go up in slabs of about this size; each slab's pages of a mapped file are
// handed back once uploaded, so the file and the texture are never both resident.
constexpr std::uint64_t kUploadSlabBytes = 32u << 20;

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

bool sameColour(const gpu::ClearColor& a, const gpu::ClearColor& b) {
    return a.red == b.red && a.green == b.green && a.blue == b.blue && a.alpha == b.alpha;
}

} // namespace

QVRenderer::QVRenderer(MTKView& view, std::shared_ptr<const VolumeData> vdata, QObject* parent)
    : QObject(parent), m_device(view.device()) {
    m_wl = kStartupWindowLevel;
    m_ww = kStartupWindowWidth;
    m_wlww = {static_cast<std::int32_t>(kStartupWindowLevel), static_cast<std::int32_t>(kStartupWindowWidth)};
    m_volume.defaultWl = kStartupWindowLevel;
    m_volume.defaultWw = kStartupWindowWidth;
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
    m_volume.hounsfield = true;
    m_volume.valueOffset = kSampleHounsfieldOffset;
    if (!m_device) {
        return;
    }
    QString reason;
    std::optional<Upload> upload =
        uploadVolume(m_volume.width, m_volume.height, m_volume.depth, vdata->data(), &reason);
    if (!upload) {
        qWarning("QVRenderer: the volume is not shown: %s", qPrintable(reason));
        return;
    }
    m_volume.texture = std::move(upload->texture);
    m_volume.brickTexture = std::move(upload->brickTexture);
    m_volume.bricks = std::move(upload->bricks);
    m_volume.texels = upload->texels;
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

std::optional<QVRenderer::Upload> QVRenderer::uploadVolume(std::uint64_t width, std::uint64_t height,
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
        return std::nullopt;
    }

    gpu::TextureDescriptor descriptor;
    descriptor.pixelFormat = gpu::PixelFormat::R16Uint;
    descriptor.textureType = gpu::TextureType::Type3D;
    descriptor.depth = depth;
    descriptor.width = width;
    descriptor.height = height;
    std::string error;
    Upload upload;
    upload.texture = m_device->newTextureWithDescriptor(descriptor, &error);
    if (!upload.texture) {
        *reason = QStringLiteral("the GPU cannot make a %1 x %2 x %3 texture: %4")
                      .arg(width)
                      .arg(height)
                      .arg(depth)
                      .arg(QString::fromStdString(error));
        return std::nullopt;
    }
    // Rows and slices are packed without padding, whatever the width. Slab by slab, the
    // brick grid reads each slab while it is resident, and a mapped file's pages go back.
    const std::uint64_t sliceBytes = width * height * kBytesPerVoxel;
    const std::uint64_t slabSlices = std::max<std::uint64_t>(kUploadSlabBytes / sliceBytes, 1);
    auto bricks = std::make_shared<BrickGrid>(width, height, depth);
    SampleStatistics statistics(width * height * depth);
    for (std::uint64_t z = 0; z < depth; z += slabSlices) {
        const std::uint64_t slices = std::min(slabSlices, depth - z);
        const std::byte* slab = data.data() + z * sliceBytes;
        const gpu::Region region{{0, 0, z}, {width, height, slices}};
        if (!upload.texture->replaceRegion(region, 0, 0, slab, width * kBytesPerVoxel, sliceBytes)) {
            *reason = QStringLiteral("the voxels could not be uploaded to the GPU");
            return std::nullopt;
        }
        bricks->addSlices(slab, z, slices);
        statistics.addTexels(slab, width * height * slices);
        data.releasePages(z * sliceBytes, slices * sliceBytes);
    }
    bricks->finish();
    upload.brickTexture = newBrickTexture(*bricks, reason);
    if (!upload.brickTexture) {
        return std::nullopt;
    }
    upload.bricks = std::move(bricks);
    upload.texels = statistics.summary();
    return upload;
}

std::shared_ptr<gpu::Texture> QVRenderer::newBrickTexture(const BrickGrid& grid, QString* reason) const {
    const BrickGrid::Level& base = grid.level(0);
    gpu::TextureDescriptor descriptor;
    descriptor.pixelFormat = gpu::PixelFormat::R16Uint;
    descriptor.textureType = gpu::TextureType::Type3D;
    descriptor.width = base.width;
    descriptor.height = base.height;
    descriptor.depth = base.depth;
    descriptor.mipmapLevelCount = BrickGrid::kLevels;
    std::string error;
    std::shared_ptr<gpu::Texture> texture = m_device->newTextureWithDescriptor(descriptor, &error);
    if (!texture) {
        *reason = QStringLiteral("the GPU cannot make the brick grid's texture: %1")
                      .arg(QString::fromStdString(error));
        return nullptr;
    }
    for (std::size_t index = 0; index < BrickGrid::kLevels; ++index) {
        const BrickGrid::Level& level = grid.level(index);
        const gpu::Region region{{0, 0, 0}, {level.width, level.height, level.depth}};
        if (!texture->replaceRegion(region, index, 0, level.maxima.data(), level.width * kBytesPerVoxel,
                                    level.width * level.height * kBytesPerVoxel)) {
            *reason = QStringLiteral("the brick grid could not be uploaded to the GPU");
            return nullptr;
        }
    }
    return texture;
}

void QVRenderer::resetCameraClipAndLookup() {
    resetCameraAndClip();
    m_clutmode = 0;
}

void QVRenderer::resetView() {
    resetCameraAndClip();
    std::int64_t level = 0;
    std::int64_t width = 0;
    {
        std::lock_guard lock(m_stateMutex);
        level = m_volume.defaultWl;
        width = m_volume.defaultWw;
    }
    // Outside the lock: the observers run inside the setters.
    setWw(width);
    setWl(level);
}

void QVRenderer::resetCameraAndClip() {
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
    const bool drawsVolume = drawVolume && m_pipelineState && m_volume.texture;
    FrameInputs inputs;
    AdaptiveQuality::Action action = AdaptiveQuality::Action::DrawFull;
    if (drawsVolume) {
        const DrawableSize size = view.drawableSize();
        inputs = frameInputs(wholePixels(size.width), wholePixels(size.height));
        action = decide(inputs, view);
        if (action == AdaptiveQuality::Action::Reuse && m_keptShown && view.keepsPresentedPicture()) {
            // The view still shows this very picture: nothing to draw, copy or present.
            return;
        }
    }
    gpu::CommandBuffer* commandBuffer = m_commandQueue->commandBuffer();
    if (!commandBuffer) {
        return;
    }
    const gpu::RenderPassDescriptor* pass = drawVolume ? view.currentRenderPassDescriptor() : nullptr;
    if (pass != nullptr) {
        if (drawsVolume) {
            if (pass->width != inputs.width || pass->height != inputs.height) {
                // The view offers another size than it reported: decide for the size drawn.
                inputs = frameInputs(pass->width, pass->height);
                action = decide(inputs, view);
            }
            encodeAdaptiveFrame(*commandBuffer, *pass, action, inputs);
        } else if (gpu::RenderCommandEncoder* encoder =
                       commandBuffer->renderCommandEncoderWithDescriptor(*pass)) {
            // Without a pipeline or a volume the pass still clears: the view shows its clear colour.
            encoder->endEncoding();
            m_keptShown = false;
        }
        commandBuffer->presentDrawable(view.currentDrawable());
    }
    commandBuffer->commit();
}

bool QVRenderer::FrameInputs::operator==(const FrameInputs& other) const {
    return std::memcmp(&uniforms, &other.uniforms, sizeof(Uniforms)) == 0 && window.wl == other.window.wl &&
           window.ww == other.window.ww && volume == other.volume && width == other.width &&
           height == other.height;
}

QVRenderer::FrameInputs QVRenderer::frameInputs(std::uint32_t width, std::uint32_t height) const {
    FrameInputs inputs;
    inputs.uniforms = m_uniforms;
    inputs.window = m_wlww;
    inputs.volume = m_volume.generation;
    inputs.width = width;
    inputs.height = height;
    return inputs;
}

AdaptiveQuality::Action QVRenderer::decide(const FrameInputs& inputs, const MTKView& view) {
    AdaptiveQuality::Frame frame;
    frame.interacting = view.userIsInteracting();
    frame.inputsChanged = !m_lastInputs || !(*m_lastInputs == inputs);
    frame.keptMatches = m_kept != nullptr && m_keptInputs == inputs;
    frame.keptIsFull = m_keptFull;
    frame.now = AdaptiveQuality::Clock::now();
    m_lastInputs = inputs;
    const AdaptiveQuality::Action action = m_quality.next(frame);
    if (action != AdaptiveQuality::Action::DrawInteractive) {
        m_budget.interrupted();
    }
    return action;
}

void QVRenderer::encodeAdaptiveFrame(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& pass,
                                     AdaptiveQuality::Action action, const FrameInputs& inputs) {
    const bool sameBackground = m_kept != nullptr && sameColour(m_kept->pass.clearColor, pass.clearColor);
    if (action == AdaptiveQuality::Action::Reuse && !sameBackground) {
        action = AdaptiveQuality::Action::DrawFull;
    }
    std::uint32_t reducedWidth = pass.width;
    std::uint32_t reducedHeight = pass.height;
    if (action == AdaptiveQuality::Action::DrawInteractive) {
        // As many pixels as the measured frame time allows, in the drawable's proportions.
        const double pixels = static_cast<double>(pass.width) * static_cast<double>(pass.height);
        const double scale =
            std::min(1.0, std::sqrt(m_budget.frameStarted(AdaptiveQuality::Clock::now()) / pixels));
        reducedWidth = std::max<std::uint32_t>(static_cast<std::uint32_t>(pass.width * scale), 1);
        reducedHeight = std::max<std::uint32_t>(static_cast<std::uint32_t>(pass.height * scale), 1);
        m_budget.frameDrawn(static_cast<double>(reducedWidth) * static_cast<double>(reducedHeight));
        if (!prepareTarget(m_reducedTarget, reducedWidth, reducedHeight, pass.clearColor)) {
            action = AdaptiveQuality::Action::DrawFull;
        }
    }
    switch (action) {
    case AdaptiveQuality::Action::Reuse:
        copy(commandBuffer, m_kept->pass, pass);
        m_keptShown = true;
        return;
    case AdaptiveQuality::Action::DrawInteractive:
        updateMarch();
        encodeVolume(commandBuffer, m_reducedTarget.pass);
        copy(commandBuffer, m_reducedTarget.pass, pass);
        m_kept = &m_reducedTarget;
        // A budget that covers the whole drawable gives the full-quality picture.
        m_keptFull = reducedWidth == pass.width && reducedHeight == pass.height;
        break;
    case AdaptiveQuality::Action::DrawFull:
        updateMarch();
        encodeVolume(commandBuffer, pass);
        // Without a texture to keep it in, the next frame draws again.
        m_kept = nullptr;
        if (prepareTarget(m_fullTarget, pass.width, pass.height, pass.clearColor)) {
            copy(commandBuffer, pass, m_fullTarget.pass);
            m_kept = &m_fullTarget;
            m_keptFull = true;
        }
        break;
    }
    m_keptInputs = inputs;
    m_keptShown = m_kept != nullptr;
}

bool QVRenderer::prepareTarget(FrameTarget& target, std::uint32_t width, std::uint32_t height,
                               const gpu::ClearColor& clear) {
    if (!target.texture || target.pass.width != width || target.pass.height != height) {
        if (m_kept == &target) {
            m_kept = nullptr;
        }
        gpu::TextureDescriptor descriptor;
        descriptor.pixelFormat = gpu::PixelFormat::RGBA8Unorm;
        descriptor.textureType = gpu::TextureType::Type2D;
        descriptor.width = width;
        descriptor.height = height;
        descriptor.usage = gpu::TextureUsage::RenderTarget;
        std::string error;
        target.texture = m_device->newTextureWithDescriptor(descriptor, &error);
        if (!target.texture) {
            qWarning("QVRenderer: no texture to keep frames in, every frame is drawn in full: %s",
                     error.c_str());
            return false;
        }
        target.pass = {};
        target.pass.colorTexture = target.texture.get();
        target.pass.width = width;
        target.pass.height = height;
    }
    target.pass.clear = true;
    target.pass.clearColor = clear;
    return true;
}

void QVRenderer::copy(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& from,
                      const gpu::RenderPassDescriptor& to) {
    if (gpu::BlitCommandEncoder* blit = commandBuffer.blitCommandEncoder()) {
        blit->copyRenderTarget(from, to);
    }
}

void QVRenderer::encodeVolume(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& pass) {
    gpu::RenderCommandEncoder* encoder = commandBuffer.renderCommandEncoderWithDescriptor(pass);
    if (!encoder) {
        return;
    }
    encoder->setRenderPipelineState(*m_pipelineState);
    encoder->setVertexBytes(m_vertices, sizeof(proxycube::kVertices), kVertexBufferIndex);
    encoder->setVertexBytes(&m_uniforms, sizeof(Uniforms), kUniformsIndex);
    encoder->setVertexBytes(&m_wlww, sizeof(WindowPair), kWindowIndex);
    encoder->setFragmentBytes(&m_march, sizeof(MarchUniforms), kMarchIndex);
    encoder->setFragmentTexture(m_volume.texture.get(), kVolumeTextureIndex);
    encoder->setFragmentTexture(m_volume.brickTexture.get(), kBrickTextureIndex);
    encoder->drawPrimitives(gpu::PrimitiveType::Triangle, 0, proxycube::kVertices.size());
    encoder->endEncoding();
}

void QVRenderer::updateMarch() {
    // The window's lower edge as the vertex stage computes it, in texels: a brick shows
    // only if its largest texel lies above. One unit lower keeps the box on the safe side
    // of rounding.
    const float width = std::max(static_cast<float>(m_wlww.ww), 1.0f);
    const float lowerEdge =
        static_cast<float>(m_wlww.wl) - 0.5f * width - static_cast<float>(m_volume.sampleOffset);
    const std::int64_t threshold =
        static_cast<std::int64_t>(std::floor(std::clamp(lowerEdge, -2.0f, 65536.0f))) - 1;
    if (m_volume.bricks == m_marchBricks && threshold == m_marchThreshold) {
        return;
    }
    m_marchBricks = m_volume.bricks;
    m_marchThreshold = threshold;
    const BrickGrid::VoxelBox box = m_volume.bricks->occupiedBox(threshold);
    const std::array<double, 3> size{static_cast<double>(m_volume.width),
                                     static_cast<double>(m_volume.height),
                                     static_cast<double>(m_volume.depth)};
    std::array<float, 3> low{}, high{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        low[axis] = static_cast<float>(static_cast<double>(box.low[axis]) / size[axis]);
        high[axis] = static_cast<float>(static_cast<double>(box.high[axis]) / size[axis]);
    }
    m_march.occupiedLow = {low[0], low[1], low[2], 0.0f};
    m_march.occupiedHigh = {high[0], high[1], high[2], 0.0f};
}

bool QVRenderer::updateVolumeDataWithNRRDfmt(const NRRDfmt* record, QString* reason) {
    QString why;
    std::optional<Upload> upload;
    if (record == nullptr) {
        why = QStringLiteral("there is no volume record");
    } else {
        upload = uploadVolume(record->width, record->height, record->depth, record->data, &why);
    }
    if (!upload) {
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
    m_volume.valueMap = {record->valueScale, record->valueOffset};
    {
        std::lock_guard mapLock(m_valueMapMutex);
        m_valueMap = m_volume.valueMap;
    }
    m_volume.valueScale = record->valueScale;
    m_volume.valueOffset = record->valueOffset;
    m_volume.hounsfield = record->hounsfield;
    m_volume.fileWindow = record->fileWindow;
    m_volume.texels = upload->texels;
    resetCameraClipAndLookup();
    if (record->valueScale != 1.0) {
        // Samples rescaled into the texture (floats, wide integers, a rescale slope) have
        // no CT-like scale for the window -10/1300 to fit: it would show a sliver of their
        // range. They start with the window over the whole range instead.
        m_ww = kTexelRangeWidth;
        m_wl = kTexelRangeLevel + record->sampleOffset;
    } else {
        m_ww = kImportWindowWidth;
        m_wl = kImportWindowLevel;
    }
    m_volume.defaultWl = m_wl;
    m_volume.defaultWw = m_ww;
    if (m_volume.texture) {
        m_retiredTextures.push_back(std::move(m_volume.texture));
        m_retiredTextures.push_back(std::move(m_volume.brickTexture));
    }
    m_volume.texture = std::move(upload->texture);
    m_volume.brickTexture = std::move(upload->brickTexture);
    m_volume.bricks = std::move(upload->bricks);
    ++m_volume.generation;
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

QVRenderer::ValueMap QVRenderer::valueMap() const {
    std::lock_guard lock(m_valueMapMutex);
    return m_valueMap;
}

QVRenderer::VolumeState QVRenderer::volumeState() const {
    std::lock_guard lock(m_stateMutex);
    return m_volume;
}
