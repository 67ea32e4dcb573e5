#include "QVRenderer.h"

#include "NRRDfmt.h"
#include "ProxyCube.h"
#include "VolumeData.h"

#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <limits>
#include <malloc.h>
#include <variant>

namespace {

// The low byte of a lookup mode, as the shaders read it.
constexpr std::int64_t kLookupByte = 0xFF;

constexpr char kCompositeLabel[] = "Composite Pipeline";
constexpr char kProjectionLabel[] = "Projection Pipeline";
constexpr char kVertexFunction[] = "vertexShader";
constexpr char kFragmentFunction[] = "fragmentShader";
// Builds the fragment shader for the projection modes instead of compositing.
constexpr char kProjectionMacro[] = "PROJECTIONS";

constexpr std::size_t kVertexBufferIndex = 0;
constexpr std::size_t kUniformsIndex = 1;
constexpr std::size_t kWindowIndex = 2;
constexpr std::size_t kMarchIndex = 3;
constexpr std::size_t kAtlasTextureIndex = 0;
constexpr std::size_t kBrickTextureIndex = 1;
constexpr std::size_t kPageTableTextureIndex = 2;

// The drawable size arrives in device pixels as doubles; whole pixels, truncated.
std::uint32_t wholePixels(double size) {
    constexpr double kLargest = std::numeric_limits<std::uint32_t>::max();
    if (!(size > 0.0)) {
        return 0;
    }
    return size >= kLargest ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(size);
}

} // namespace

QVRenderer::QVRenderer(MTKView& view, std::shared_ptr<const VolumeData> vdata, QObject* parent,
                       const BrickPool::Budgets& budgets)
    : QObject(parent), m_device(view.device()), m_frames(m_device), m_budgets(budgets),
      m_model(std::make_shared<DisplayModel>(kStartupWindowLevel, kStartupWindowWidth)) {
    // Direct: the observers run inside the setter, within the frame.
    connect(
        m_model.get(), &DisplayModel::windowLevelSet, this,
        [this] { emit valueChanged(QStringLiteral("wl")); }, Qt::DirectConnection);
    connect(
        m_model.get(), &DisplayModel::windowWidthSet, this,
        [this] { emit valueChanged(QStringLiteral("ww")); }, Qt::DirectConnection);
    m_display = m_model->snapshot();
    m_wlww = {static_cast<std::int32_t>(kStartupWindowLevel), static_cast<std::int32_t>(kStartupWindowWidth)};
    m_uniforms.modelMatrix = matrix_identity_float4x4;
    m_uniforms.viewMatrix = matrix_identity_float4x4;
    m_uniforms.projectionMatrix = matrix_identity_float4x4;

    if (m_device) {
        buildPipeline(view.colorPixelFormat());
        m_commandQueue = m_device->newCommandQueue();
    } else {
        qWarning("QVRenderer: the view has no GPU device; nothing will be drawn");
    }
    m_vertices = proxycube::kVertices.data();

    if (!vdata) {
        vdata = VolumeData::initWithBundle();
    }
    setVdata(vdata);
    if (vdata) {
        m_volume = VolumeSurvey::sample(*vdata);
    }
    m_volume.defaultWl = kStartupWindowLevel;
    m_volume.defaultWw = kStartupWindowWidth;
    if (!m_volume.source || !m_device) {
        if (vdata) {
            qWarning("QVRenderer: the volume is not shown: there is no voxel data for its size");
        }
        return;
    }
    // The first bricks go up while the grid and statistics are still being gathered.
    const ByteBuffer data = vdata->data();
    const std::array<std::uint64_t, 3> size{m_volume.width, m_volume.height, m_volume.depth};
    m_sampleSurvey =
        std::async(std::launch::async, [data, size] { return VolumeSurvey::survey(data, size); });
    showVolume();
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
    std::unique_ptr<gpu::Function> compositeFunction = library->newFunctionWithName(kFragmentFunction);
    std::unique_ptr<gpu::Function> projectionFunction =
        library->newFunctionWithName(kFragmentFunction, kProjectionMacro);
    if (!vertexFunction || !compositeFunction) {
        qWarning("QVRenderer: the shader library lacks \"%s\"; only the clear colour will show",
                 vertexFunction ? kFragmentFunction : kVertexFunction);
        return;
    }

    gpu::RenderPipelineDescriptor descriptor;
    descriptor.label = kCompositeLabel;
    descriptor.vertexFunction = vertexFunction.get();
    descriptor.fragmentFunction = compositeFunction.get();
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
    m_compositePipeline = m_device->newRenderPipelineStateWithDescriptor(descriptor, &error);
    if (m_compositePipeline) {
        descriptor.label = kProjectionLabel;
        descriptor.fragmentFunction = projectionFunction.get();
        m_projectionPipeline = m_device->newRenderPipelineStateWithDescriptor(descriptor, &error);
    }
    if (!m_projectionPipeline) {
        // Every mode or none: a volume that shows in one mode and not in another would
        // read as a fault of the data.
        m_compositePipeline.reset();
        qWarning("QVRenderer: the render pipeline cannot be built; only the clear colour will show: %s",
                 error.c_str());
    }
}

void QVRenderer::resetView() {
    resetCameraAndClip();
    setWw(m_volume.defaultWw);
    setWl(m_volume.defaultWl);
}

void QVRenderer::resetCameraAndClip() {
    m_camera = {};
    m_model->resetClipAndTurn();
}

void QVRenderer::setClipEdge(std::array<float, 3> ClipBox::*edge, std::size_t axis, float value) {
    ClipBox clip = m_model->clip();
    (clip.*edge)[axis] = value;
    m_model->setClip(clip);
}

void QVRenderer::setClutmode(std::int64_t value) {
    m_model->setLookup((value & kLookupByte) == static_cast<std::int64_t>(ColourLookup::BlackAndWhite)
                           ? ColourLookup::BlackAndWhite
                           : ColourLookup::Default);
}

void QVRenderer::mtkView_drawableSizeWillChange(MTKView& /*view*/, DrawableSize size) {
    m_viewportSize = {wholePixels(size.width), wholePixels(size.height)};
}

void QVRenderer::DrawA(MTKView& view) {
    if (!m_commandQueue) {
        return;
    }
    const bool drawable = hasDrawable();
    // The size the view has now: the one it last reported may still be on its way.
    updatePool(wholePixels(view.drawableSize().height));
    // The sample's first picture waits for its survey too: without the brick grid rays
    // cannot skip empty space, and such a frame takes most of a second on a software rasteriser.
    const bool drawsVolume =
        drawable && m_compositePipeline && m_pool && m_pool->drawable() && !m_sampleSurvey.valid();
    FrameCache::Inputs inputs;
    AdaptiveQuality::Action action = AdaptiveQuality::Action::DrawFull;
    if (drawsVolume) {
        const DrawableSize size = view.drawableSize();
        inputs = frameInputs(wholePixels(size.width), wholePixels(size.height));
        action = m_frames.decide(inputs, view.userIsInteracting());
        if (action == AdaptiveQuality::Action::Reuse && m_frames.viewShowsKept() &&
            view.keepsPresentedPicture()) {
            // The view still shows this very picture: nothing to draw, copy or present.
            return;
        }
    }
    gpu::CommandBuffer* commandBuffer = m_commandQueue->commandBuffer();
    if (!commandBuffer) {
        return;
    }
    const gpu::RenderPassDescriptor* pass = drawable ? view.currentRenderPassDescriptor() : nullptr;
    if (pass != nullptr) {
        if (drawsVolume) {
            if (pass->width != inputs.width || pass->height != inputs.height) {
                // The view offers another size than it reported: decide for the size drawn.
                inputs = frameInputs(pass->width, pass->height);
                action = m_frames.decide(inputs, view.userIsInteracting());
            }
            m_frames.encode(*commandBuffer, *pass, action, inputs,
                            [this](gpu::CommandBuffer& buffer, const gpu::RenderPassDescriptor& target) {
                                updateMarch();
                                encodeVolume(buffer, target);
                            });
        } else if (gpu::RenderCommandEncoder* encoder =
                       commandBuffer->renderCommandEncoderWithDescriptor(*pass)) {
            // Without a pipeline or a volume the pass still clears: the view shows its clear colour.
            encoder->endEncoding();
            m_frames.viewCleared();
        }
        commandBuffer->presentDrawable(view.currentDrawable());
    }
    commandBuffer->commit();
}

FrameCache::Inputs QVRenderer::frameInputs(std::uint32_t width, std::uint32_t height) const {
    FrameCache::Inputs inputs;
    inputs.uniforms = m_uniforms;
    inputs.window = m_wlww;
    inputs.volume = m_volume.generation;
    inputs.bricks = m_pool ? m_pool->version() : 0;
    inputs.grid = m_volume.brickTexture != nullptr;
    inputs.width = width;
    inputs.height = height;
    return inputs;
}

void QVRenderer::encodeVolume(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& pass) {
    gpu::RenderCommandEncoder* encoder = commandBuffer.renderCommandEncoderWithDescriptor(pass);
    if (!encoder) {
        return;
    }
    const bool composites = m_uniforms.renderMode == static_cast<std::uint8_t>(RenderMode::Composite);
    encoder->setRenderPipelineState(composites ? *m_compositePipeline : *m_projectionPipeline);
    encoder->setVertexBytes(m_vertices, sizeof(proxycube::kVertices), kVertexBufferIndex);
    encoder->setVertexBytes(&m_uniforms, sizeof(Uniforms), kUniformsIndex);
    encoder->setVertexBytes(&m_wlww, sizeof(WindowPair), kWindowIndex);
    encoder->setFragmentBytes(&m_march, sizeof(MarchUniforms), kMarchIndex);
    encoder->setFragmentTexture(m_pool->atlas(), kAtlasTextureIndex);
    // Without a grid the shader never reads texture 1; it still gets a complete texture.
    encoder->setFragmentTexture(m_volume.brickTexture ? m_volume.brickTexture.get() : m_pool->pageTable(),
                                kBrickTextureIndex);
    encoder->setFragmentTexture(m_pool->pageTable(), kPageTableTextureIndex);
    encoder->drawPrimitives(gpu::PrimitiveType::Triangle, 0, proxycube::kVertices.size());
    encoder->endEncoding();
}

std::int64_t QVRenderer::invisibleTexels() const {
    if (m_display.renderMode == RenderMode::Minip || m_display.renderMode == RenderMode::Average) {
        return -1;
    }
    // The window's lower edge as the vertex stage computes it, in texels: a brick shows
    // only if its largest texel lies above. One unit lower keeps the box on the safe side
    // of rounding.
    const float width = std::max(static_cast<float>(m_wlww.ww), 1.0f);
    const float lowerEdge =
        static_cast<float>(m_wlww.wl) - 0.5f * width - static_cast<float>(m_volume.sampleOffset);
    return static_cast<std::int64_t>(std::floor(std::clamp(lowerEdge, -2.0f, 65536.0f))) - 1;
}

void QVRenderer::updateMarch() {
    const std::int64_t threshold = invisibleTexels();
    if (m_volume.bricks == m_marchBricks && threshold == m_marchThreshold) {
        return;
    }
    m_marchBricks = m_volume.bricks;
    m_marchThreshold = threshold;
    BrickGrid::VoxelBox box{{0, 0, 0}, {m_volume.width, m_volume.height, m_volume.depth}};
    if (m_volume.bricks) {
        box = m_volume.bricks->occupiedBox(threshold);
    }
    const std::array<double, 3> size{static_cast<double>(m_volume.width),
                                     static_cast<double>(m_volume.height),
                                     static_cast<double>(m_volume.depth)};
    std::array<float, 3> low{}, high{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        low[axis] = static_cast<float>(static_cast<double>(box.low[axis]) / size[axis]);
        high[axis] = static_cast<float>(static_cast<double>(box.high[axis]) / size[axis]);
    }
    m_march.occupiedLow = {low[0], low[1], low[2], m_volume.bricks ? 1.0f : 0.0f};
    m_march.occupiedHigh = {high[0], high[1], high[2], 0.0f};
}

void QVRenderer::updatePool(std::uint32_t drawableHeight) {
    if (!m_pool || !hasDrawable()) {
        return;
    }
    BrickPool::View view;
    view.viewProjection = m_uniforms.projectionMatrix * m_uniforms.viewMatrix;
    const float4x4& model = m_uniforms.modelMatrix;
    view.scale = {model.columns[0].x, model.columns[1].y, model.columns[2].z};
    view.camera = {m_uniforms.cameraPosition.x, m_uniforms.cameraPosition.y, m_uniforms.cameraPosition.z};
    view.projectionScale = m_uniforms.projectionMatrix.columns[1].y;
    view.viewportHeight = drawableHeight;
    const float4& low = m_uniforms.interceptBtm;
    const float4& high = m_uniforms.intercept;
    view.clipLow = {std::clamp(low.x, 0.0f, 1.0f), std::clamp(low.y, 0.0f, 1.0f),
                    std::clamp(low.z, 0.0f, 1.0f)};
    view.clipHigh = {std::clamp(high.x, 0.0f, 1.0f), std::clamp(high.y, 0.0f, 1.0f),
                     std::clamp(high.z, 0.0f, 1.0f)};
    view.threshold = invisibleTexels();
    m_pool->update(view);
    if (m_pool->failed() && !m_unreadableTold) {
        m_unreadableTold = true;
        const QString file = unreadableDataFile();
        qWarning("QVRenderer: bricks of the volume cannot be read: %s changed or vanished", qPrintable(file));
        emit volumeUnreadable(file);
    }

    const BrickLayout& layout = m_pool->layout();
    const std::uint32_t level = m_pool->level();
    const gpu::Texture& atlas = *m_pool->atlas();
    m_march.volumeSize = {static_cast<float>(m_volume.width), static_cast<float>(m_volume.height),
                          static_cast<float>(m_volume.depth), static_cast<float>(level)};
    m_march.atlasScale = {1.0f / static_cast<float>(atlas.width()), 1.0f / static_cast<float>(atlas.height()),
                          1.0f / static_cast<float>(atlas.depth()), 0.0f};
    const std::array<std::uint64_t, 3>& origin = layout.pageOrigin(level);
    m_march.pageOrigin = {static_cast<float>(origin[0]), static_cast<float>(origin[1]),
                          static_cast<float>(origin[2]), 0.0f};
    m_march.brick = {static_cast<float>(layout.brickSide()), static_cast<float>(layout.slotSide()),
                     std::ldexp(1.0f, -static_cast<int>(level)) / static_cast<float>(layout.brickSide()),
                     1.0f / static_cast<float>(layout.brickSide())};
}

QString QVRenderer::unreadableDataFile() const {
    const QString file = m_volume.source ? m_volume.source->unreadableFile() : QString();
    return file.isEmpty() ? tr("of the volume") : file;
}

void QVRenderer::showVolume() {
    m_pool.reset();
    m_unreadableTold = false;
#ifdef __GLIBC__
    // The volume replaced (its decoded voxels, the bricks its loaders held) is gone: hand the
    // freed heap back, or every import leaves the process larger.
    malloc_trim(0);
#endif
    if (!m_device || !m_volume.source) {
        return;
    }
    std::variant<std::unique_ptr<BrickPool>, QString> created = BrickPool::create(
        *m_device, m_volume.source, {m_volume.width, m_volume.height, m_volume.depth}, m_budgets);
    if (const QString* reason = std::get_if<QString>(&created)) {
        qWarning("QVRenderer: the volume is not shown: %s", qPrintable(*reason));
        return;
    }
    m_pool = std::get<std::unique_ptr<BrickPool>>(std::move(created));
    if (m_volume.bricks) {
        m_pool->knowMaxima(*m_volume.bricks);
    }
    if (m_volume.bricks && !m_volume.brickTexture) {
        QString reason;
        m_volume.brickTexture = VolumeSurvey::gridTexture(*m_device, *m_volume.bricks, &reason);
        if (!m_volume.brickTexture) {
            // Rays then march without skipping: slower, the same picture.
            qWarning("QVRenderer: %s", qPrintable(reason));
            m_volume.bricks.reset();
        }
    }
}

void QVRenderer::takeSampleSurvey() {
    if (!m_sampleSurvey.valid() ||
        m_sampleSurvey.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return;
    }
    VolumeSurvey::Survey survey = m_sampleSurvey.get();
    // An import adopted meanwhile has its own.
    if (m_volume.generation != 0 || !m_device) {
        return;
    }
    QString reason;
    m_volume.brickTexture = VolumeSurvey::gridTexture(*m_device, *survey.bricks, &reason);
    if (m_pool) {
        m_pool->knowMaxima(*survey.bricks);
    }
    if (m_volume.brickTexture) {
        m_volume.bricks = std::move(survey.bricks);
    }
    m_volume.texels = survey.texels;
}

bool QVRenderer::updateVolumeDataWithNRRDfmt(const NRRDfmt* record, QString* reason,
                                             const std::stop_token& stop) {
    std::variant<VolumeState, QString> uploaded = QStringLiteral("there is no volume record");
    if (record != nullptr && !m_device) {
        uploaded = QStringLiteral("there is no GPU device");
    } else if (record != nullptr) {
        uploaded = VolumeSurvey::imported(*record, m_budgets, m_device->maxTexture3DSize(), stop);
    }
    if (const QString* why = std::get_if<QString>(&uploaded)) {
        qWarning("QVRenderer: the imported volume is refused, the current one stays: %s", qPrintable(*why));
        if (reason != nullptr) {
            *reason = *why;
        }
        return false;
    }
    m_mailbox.post(std::get<VolumeState>(std::move(uploaded)));
    return true;
}

void QVRenderer::adoptPostedVolume() {
    std::optional<VolumeState> posted = m_mailbox.take();
    if (!posted) {
        return;
    }
    posted->generation = m_volume.generation + 1;
    // The replaced volume leaves with `posted`: its textures are released here.
    std::swap(m_volume, *posted);
    showVolume();
    m_camera = {};
    m_model->resetForVolume(m_volume.defaultWl, m_volume.defaultWw);
}

void QVRenderer::updateVolumeDataWithURL(const QString& /*url*/) {
    qInfo("updateVolumeDataWithURL@QVRenerer");
    qInfo("updateVolumeDataWithURL@QVRenerer");
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
    return m_volume;
}
