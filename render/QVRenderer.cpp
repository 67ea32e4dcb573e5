#include "render/QVRenderer.h"

#include "render/ProxyCube.h"
#include "render/display/OpacityRanges.h"

#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The low byte of a lookup mode, as the shaders read it.
constexpr std::int64_t kLookupByte = 0xFF;

constexpr std::size_t kVertexBufferIndex = 0;
constexpr std::size_t kUniformsIndex = 1;
constexpr std::size_t kWindowIndex = 2;
constexpr std::size_t kMarchIndex = 3;
constexpr std::size_t kAtlasTextureIndex = 0;
constexpr std::size_t kBrickTextureIndex = 1;
constexpr std::size_t kPageTableTextureIndex = 2;
constexpr std::size_t kColourMapTextureIndex = 3;

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
    : QObject(parent), m_scene(std::make_shared<VolumeScene>(view.device(), view.colorPixelFormat(),
                                                             std::move(vdata), budgets)),
      m_frames(m_scene->device()),
      m_model(std::make_shared<DisplayModel>(kStartupWindowLevel, kStartupWindowWidth)) {
    attach();
}

QVRenderer::QVRenderer(MTKView& view, const QVRenderer& shown, QObject* parent)
    : QObject(parent), m_scene(shown.m_scene), m_frames(m_scene->device()),
      m_generation(m_scene->volume().generation), m_model(shown.m_model) {
    attach();
    mtkView_drawableSizeWillChange(view, view.drawableSize());
}

void QVRenderer::attach() {
    // Direct: the observers run inside the setter, within the frame.
    connect(
        m_model.get(), &DisplayModel::windowLevelSet, this,
        [this] { emit valueChanged(QStringLiteral("wl")); }, Qt::DirectConnection);
    connect(
        m_model.get(), &DisplayModel::windowWidthSet, this,
        [this] { emit valueChanged(QStringLiteral("ww")); }, Qt::DirectConnection);
    connect(m_scene.get(), &VolumeScene::volumeUnreadable, this, &QVRenderer::volumeUnreadable,
            Qt::DirectConnection);
    connect(m_scene.get(), &VolumeScene::volumeReadable, this, &QVRenderer::volumeReadable,
            Qt::DirectConnection);
    m_display = m_model->snapshot();
    m_wlww = {static_cast<std::int32_t>(m_display.windowLevel),
              static_cast<std::int32_t>(m_display.windowWidth)};
    m_uniforms.modelMatrix = matrix_identity_float4x4;
    m_uniforms.viewMatrix = matrix_identity_float4x4;
    m_uniforms.projectionMatrix = matrix_identity_float4x4;
    if (m_scene->device()) {
        m_commandQueue = m_scene->device()->newCommandQueue();
    }
    m_vertices = proxycube::kVertices.data();
}

std::unique_ptr<QVRenderer> QVRenderer::initWithMetalKitView(MTKView& view) {
    return std::make_unique<QVRenderer>(view);
}

QVRenderer::~QVRenderer() = default;

void QVRenderer::resetView() {
    resetCameraAndClip();
    setWw(m_scene->volume().defaultWw);
    setWl(m_scene->volume().defaultWl);
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
    const BrickPool* pool = m_scene->pool();
    const bool drawsVolume =
        drawable && m_scene->pipeline(true) && pool && pool->drawable() && !m_scene->surveyPending();
    FrameCache::Inputs inputs;
    AdaptiveQuality::Action action = AdaptiveQuality::Action::DrawFull;
    if (drawsVolume) {
        const DrawableSize size = view.drawableSize();
        inputs = frameInputs(wholePixels(size.width), wholePixels(size.height));
        action = m_frames.decide(inputs, view.userIsInteracting(), !pool->complete());
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
                action = m_frames.decide(inputs, view.userIsInteracting(), !pool->complete());
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
    const VolumeState& volume = m_scene->volume();
    inputs.volume = volume.generation;
    inputs.bricks = m_scene->pool() ? m_scene->pool()->version() : 0;
    inputs.level = m_scene->pool() ? m_scene->pool()->level() : 0;
    inputs.grid = volume.brickTexture != nullptr;
    inputs.colourMap = m_colourMapUploads;
    inputs.slicePlanes = slicePlanesUniform();
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
    encoder->setRenderPipelineState(
        *m_scene->pipeline(composites, m_display.colourMap->hasOpacity(), m_slicePlanes.has_value()));
    encoder->setVertexBytes(m_vertices, sizeof(proxycube::kVertices), kVertexBufferIndex);
    encoder->setVertexBytes(&m_uniforms, sizeof(Uniforms), kUniformsIndex);
    encoder->setVertexBytes(&m_wlww, sizeof(WindowPair), kWindowIndex);
    encoder->setFragmentBytes(&m_march, sizeof(MarchUniforms), kMarchIndex);
    const BrickPool& pool = *m_scene->pool();
    const VolumeState& volume = m_scene->volume();
    encoder->setFragmentTexture(pool.atlas(), kAtlasTextureIndex);
    // Without a grid the shader never reads texture 1; it still gets a complete texture.
    encoder->setFragmentTexture(volume.brickTexture ? volume.brickTexture.get() : pool.pageTable(),
                                kBrickTextureIndex);
    encoder->setFragmentTexture(pool.pageTable(), kPageTableTextureIndex);
    encoder->setFragmentTexture(m_colourMapTexture.get(), kColourMapTextureIndex);
    encoder->drawPrimitives(gpu::PrimitiveType::Triangle, 0, proxycube::kVertices.size());
    encoder->endEncoding();
}

void QVRenderer::uploadColourMap() {
    if (m_display.colourMap == m_uploadedMap || !m_scene->device() || m_colourMapRefused) {
        return;
    }
    if (!m_colourMapTexture) {
        const gpu::TextureDescriptor descriptor{.pixelFormat = gpu::PixelFormat::RGBA8Unorm,
                                                .width = ColourMap::kTableSize};
        std::string error;
        m_colourMapTexture = m_scene->device()->newTextureWithDescriptor(descriptor, &error);
        if (!m_colourMapTexture) {
            // Told once: the samples then show black.
            qWarning("QVRenderer: no texture for the colour map: %s", error.c_str());
            m_colourMapRefused = true;
            m_colourMapTexture.reset();
            return;
        }
    }
    const ColourMap::Table& table = m_display.colourMap->table();
    if (m_colourMapTexture->replaceRegion({{0, 0, 0}, {ColourMap::kTableSize, 1, 1}}, 0, 0, table.data(),
                                          table.size(), table.size())) {
        m_uploadedMap = m_display.colourMap;
        ++m_colourMapUploads;
    }
}

std::int64_t QVRenderer::invisibleTexels() const {
    if (m_display.renderMode == RenderMode::Minip || m_display.renderMode == RenderMode::Average) {
        return -1;
    }
    // The window's lower edge as the vertex stage computes it, in texels: a brick shows
    // only if its largest texel lies above. One unit lower keeps the box on the safe side
    // of rounding.
    const float width = std::max(static_cast<float>(m_wlww.ww), 1.0f);
    float lowerEdge =
        static_cast<float>(m_wlww.wl) - 0.5f * width - static_cast<float>(m_scene->volume().sampleOffset);
    // Composited samples where the colour map's opacity is nothing show nothing either.
    if (m_display.renderMode == RenderMode::Composite) {
        lowerEdge += width * static_cast<float>(m_display.colourMap->transparentUpTo());
    }
    return static_cast<std::int64_t>(std::floor(std::clamp(lowerEdge, -2.0f, 65536.0f))) - 1;
}

ShownTexels QVRenderer::shownTexels() {
    ShownTexels shown;
    shown.threshold = invisibleTexels();
    if (m_display.renderMode != RenderMode::Composite || !m_display.colourMap->hasOpacity() ||
        shown.threshold < 0) {
        return shown;
    }
    // Window levels as the colouring computes them: 0 at the window's floor, 1 at its top.
    shown.width = std::max(static_cast<double>(m_wlww.ww), 1.0);
    shown.floor = static_cast<double>(m_wlww.wl) - 0.5 * shown.width -
                  static_cast<double>(m_scene->volume().sampleOffset);
    const double zero = -shown.floor / shown.width;
    if (curveRanges()->hides(zero, zero)) {
        shown.curve = curveRanges();
    }
    return shown;
}

const std::shared_ptr<const OpacityRanges>& QVRenderer::curveRanges() {
    if (m_curveRangesOf != m_display.colourMap) {
        m_curveRanges = std::make_shared<const OpacityRanges>(m_display.colourMap->table());
        m_curveRangesOf = m_display.colourMap;
    }
    return m_curveRanges;
}

void QVRenderer::updateShownRuns() {
    static_assert(OpacityRanges::kRuns == 4, "MarchUniforms carries the runs as two vectors");
    std::array<float, OpacityRanges::kRuns> first{}, last{};
    first.fill(static_cast<float>(ColourMap::kTableSize));
    last.fill(-1.0f);
    const std::vector<OpacityRanges::Run>& runs = curveRanges()->runs();
    for (std::size_t n = 0; n < runs.size(); ++n) {
        first[n] = static_cast<float>(runs[n].first);
        last[n] = static_cast<float>(runs[n].last);
    }
    m_march.shownFirst = {first[0], first[1], first[2], first[3]};
    m_march.shownLast = {last[0], last[1], last[2], last[3]};
}

float4 QVRenderer::slicePlanesUniform() const {
    const VolumeState& volume = m_scene->volume();
    if (!m_slicePlanes || volume.width == 0 || volume.height == 0 || volume.depth == 0) {
        return {0.0f, 0.0f, 0.0f, 0.0f};
    }
    // Through the middle of the crosshair's voxel, as the slice views show it.
    const std::array<double, 3> size{static_cast<double>(volume.width), static_cast<double>(volume.height),
                                     static_cast<double>(volume.depth)};
    std::array<float, 3> at{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        at[axis] = static_cast<float>((static_cast<double>((*m_slicePlanes)[axis]) + 0.5) / size[axis]);
    }
    return {at[0], at[1], at[2], 1.0f};
}

void QVRenderer::updateMarch() {
    m_march.slicePlanes = slicePlanesUniform();
    updateShownRuns();
    const ShownTexels shown = shownTexels();
    const VolumeState& volume = m_scene->volume();
    if (volume.bricks == m_marchBricks && shown == m_marchShown) {
        return;
    }
    m_marchBricks = volume.bricks;
    m_marchShown = shown;
    const std::array<std::uint64_t, 3> voxels{volume.width, volume.height, volume.depth};
    BrickGrid::VoxelBox box{{0, 0, 0}, voxels};
    if (volume.bricks) {
        box = volume.bricks->occupiedBox(shown);
    }
    std::array<float, 3> low{}, high{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const auto size = static_cast<double>(voxels[axis]);
        low[axis] = static_cast<float>(static_cast<double>(std::min(box.low[axis], voxels[axis])) / size);
        high[axis] = static_cast<float>(static_cast<double>(std::min(box.high[axis], voxels[axis])) / size);
    }
    m_march.occupiedLow = {low[0], low[1], low[2], volume.bricks ? 1.0f : 0.0f};
    m_march.occupiedHigh = {high[0], high[1], high[2],
                            volume.bricks ? static_cast<float>(volume.bricks->shift()) : 0.0f};
}

void QVRenderer::updatePool(std::uint32_t drawableHeight) {
    BrickPool* pool = m_scene->pool();
    if (!pool || !hasDrawable()) {
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
    view.shown = shownTexels();
    m_scene->updatePool(view);

    const VolumeState& volume = m_scene->volume();
    const BrickLayout& layout = pool->layout();
    const std::uint32_t level = pool->level();
    const gpu::Texture& atlas = *pool->atlas();
    m_march.volumeSize = {static_cast<float>(volume.width), static_cast<float>(volume.height),
                          static_cast<float>(volume.depth), static_cast<float>(level)};
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
    return m_scene->unreadableDataFile();
}

bool QVRenderer::updateVolumeDataWithNRRDfmt(const NRRDfmt* record, QString* reason,
                                             const std::stop_token& stop) {
    return m_scene->post(record, reason, stop);
}

void QVRenderer::adoptPostedVolume() {
    if (m_scene->adoptPosted()) {
        const VolumeState& volume = m_scene->volume();
        m_model->resetForVolume(volume.defaultWl, volume.defaultWw);
    }
    followVolume();
}

void QVRenderer::followVolume() {
    if (m_generation != m_scene->volume().generation) {
        m_generation = m_scene->volume().generation;
        m_camera = {};
    }
}

void QVRenderer::updateVolumeDataWithURL(const QString& /*url*/) {
    qInfo("updateVolumeDataWithURL@QVRenerer");
    qInfo("updateVolumeDataWithURL@QVRenerer");
}
