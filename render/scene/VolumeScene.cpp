#include "render/scene/VolumeScene.h"

#include "render/QVRenderer.h"
#include "render/scene/PreparedSample.h"
#include "render/streaming/PassLevelsSource.h"
#include "volume/core/VolumeData.h"
#include "volume/core/VolumeRecord.h"

#include <QtGlobal>
#include <malloc.h>
#include <variant>

namespace {

constexpr char kVertexFunction[] = "vertexShader";
constexpr char kFragmentFunction[] = "fragmentShader";
// Builds the fragment shader for the projection modes instead of compositing.
constexpr char kProjectionMacro[] = "PROJECTIONS";
// Builds it to composite through the colour map's own opacity curve: the lookups without
// one keep the shorter walk over the brick grid.
constexpr char kCurveMacro[] = "OPACITY_CURVE";
// Builds it to stop composited rays on the slice planes: without them a frame pays nothing
// for them.
constexpr char kPlanesMacro[] = "SLICE_PLANES";

} // namespace

VolumeScene::VolumeScene(std::shared_ptr<gpu::Device> device, gpu::PixelFormat colorPixelFormat,
                         std::shared_ptr<const VolumeData> vdata, const BrickPool::Budgets& budgets)
    : m_device(std::move(device)), m_budgets(budgets) {
    if (m_device) {
        buildPipeline(colorPixelFormat);
    } else {
        qWarning("QVRenderer: the view has no GPU device; nothing will be drawn");
    }

    if (!vdata) {
        vdata = VolumeData::initWithBundle();
    }
    setVdata(vdata);
    if (vdata) {
        m_volume = VolumeSurvey::sample(*vdata);
    }
    m_volume.defaultWl = QVRenderer::kStartupWindowLevel;
    m_volume.defaultWw = QVRenderer::kStartupWindowWidth;
    if (!m_volume.source || !m_device) {
        if (vdata) {
            qWarning("QVRenderer: the volume is not shown: there is no voxel data for its size");
        }
        return;
    }
    const ByteBuffer data = vdata->data();
    const std::array<std::uint64_t, 3> size{m_volume.width, m_volume.height, m_volume.depth};
    std::optional<PreparedSample::Contents> prepared =
        PreparedSample::read(PreparedSample::besideData(vdata->dataPath()), size, data.size(),
                             BrickLayout(size, m_budgets.brickSide));
    if (prepared) {
        m_volume.bricks = std::move(prepared->survey.bricks);
        m_volume.texels = prepared->survey.texels;
    } else {
        // The first bricks go up while the grid and statistics are still being gathered.
        m_sampleSurvey =
            std::async(std::launch::async, [data, size] { return VolumeSurvey::survey(data, size); });
    }
    showVolume();
    if (prepared && m_pool) {
        m_pool->adoptBase(prepared->baseBricks);
    }
}

VolumeScene::~VolumeScene() = default;

void VolumeScene::buildPipeline(gpu::PixelFormat colorPixelFormat) {
    std::unique_ptr<gpu::Library> library = m_device->newDefaultLibrary();
    if (!library) {
        qWarning("QVRenderer: no default shader library; only the clear colour will show");
        return;
    }
    std::unique_ptr<gpu::Function> vertexFunction = library->newFunctionWithName(kVertexFunction);
    std::unique_ptr<gpu::Function> projectionFunction =
        library->newFunctionWithName(kFragmentFunction, {kProjectionMacro});
    if (!vertexFunction || !projectionFunction) {
        qWarning("QVRenderer: the shader library lacks \"%s\"; only the clear colour will show",
                 vertexFunction ? kFragmentFunction : kVertexFunction);
        return;
    }

    gpu::RenderPipelineDescriptor descriptor;
    descriptor.vertexFunction = vertexFunction.get();
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
    descriptor.label = "Projection Pipeline";
    descriptor.fragmentFunction = projectionFunction.get();
    m_projectionPipeline = m_device->newRenderPipelineStateWithDescriptor(descriptor, &error);
    for (std::size_t build = 0; build < m_compositePipelines.size() && m_projectionPipeline; ++build) {
        const bool curve = (build & kCurveBuild) != 0;
        const bool planes = (build & kPlanesBuild) != 0;
        std::vector<std::string> macros;
        if (curve) {
            macros.emplace_back(kCurveMacro);
        }
        if (planes) {
            macros.emplace_back(kPlanesMacro);
        }
        const std::unique_ptr<gpu::Function> fragmentFunction =
            library->newFunctionWithName(kFragmentFunction, macros);
        descriptor.label =
            std::string("Composite Pipeline") + (curve ? ", curve" : "") + (planes ? ", planes" : "");
        descriptor.fragmentFunction = fragmentFunction.get();
        m_compositePipelines[build] = m_device->newRenderPipelineStateWithDescriptor(descriptor, &error);
        if (!m_compositePipelines[build]) {
            m_projectionPipeline.reset();
        }
    }
    if (!m_projectionPipeline) {
        // Every mode or none: a volume that shows in one mode and not in another would
        // read as a fault of the data.
        m_compositePipelines = {};
        qWarning("QVRenderer: the render pipeline cannot be built; only the clear colour will show: %s",
                 error.c_str());
    }
}

void VolumeScene::updatePool(const BrickPool::View& view) {
    m_pool->update(view);
    if (m_gridFromPool) {
        adoptSampledGrid();
    }
    if (m_pool->failed() && !m_unreadableTold) {
        m_unreadableTold = true;
        const QString file = unreadableDataFile();
        qWarning("QVRenderer: bricks of the volume cannot be read: %s changed or vanished", qPrintable(file));
        emit volumeUnreadable(file);
    } else if (m_unreadableTold && !m_pool->failed()) {
        m_unreadableTold = false;
        emit volumeReadable();
    }
}

QString VolumeScene::unreadableDataFile() const {
    const QString file = m_volume.source ? m_volume.source->unreadableFile() : QString();
    return file.isEmpty() ? QVRenderer::tr("of the volume") : file;
}

void VolumeScene::showVolume() {
    m_pool.reset();
    m_unreadableTold = false;
    m_passGridTaken = false;
    if (m_gridFromPool) {
        // The grid of the pool's samples goes with the pool.
        m_volume.bricks.reset();
        m_volume.brickTexture.reset();
        m_gridFromPool = false;
    }
#ifdef __GLIBC__
    // The volume replaced (its decoded voxels, the bricks its loaders held) is gone: hand the
    // freed heap back, or every import leaves the process larger.
    malloc_trim(0);
#endif
    if (!m_device || !m_volume.source) {
        return;
    }
    BrickPool::Budgets budgets = m_budgets;
    // An import read in place has no survey: its coarse levels come from one pass over its
    // file. Surveyed volumes (and the built-in sample) are in memory or prepared.
    if (m_volume.bricks || m_volume.generation == 0) {
        budgets.coarseLevelBytes = 0;
    }
    std::variant<std::unique_ptr<BrickPool>, QString> created = BrickPool::create(
        *m_device, m_volume.source, {m_volume.width, m_volume.height, m_volume.depth}, budgets);
    if (const QString* reason = std::get_if<QString>(&created)) {
        qWarning("QVRenderer: the volume is not shown: %s", qPrintable(*reason));
        return;
    }
    m_pool = std::get<std::unique_ptr<BrickPool>>(std::move(created));
    // Slice views and the histogram read the levels the pass keeps, once it has finished.
    if (std::shared_ptr<const CoarseLevels> pass = m_pool->pass()) {
        m_volume.source = std::make_shared<PassLevelsSource>(std::move(m_volume.source), std::move(pass));
    }
    // A volume that no survey and no pass gives a grid to (a store holding its own levels)
    // skips by what its bricks turn out to hold, as they arrive. The sample's survey, under
    // way, comes in moments.
    m_gridFromPool = !m_volume.bricks && !m_pool->passSurveys() && !m_sampleSurvey.valid();
    if (m_gridFromPool) {
        m_pool->keepCellRanges();
    }
    if (m_volume.bricks) {
        m_pool->knowRanges(*m_volume.bricks);
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

void VolumeScene::takeSurvey() {
    if (m_pool && !m_volume.bricks && !m_passGridTaken) {
        if (std::shared_ptr<const BrickGrid> grid = m_pool->passGrid()) {
            m_passGridTaken = true;
            adoptGrid(std::move(grid));
        }
    }
    if (!m_sampleSurvey.valid() ||
        m_sampleSurvey.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return;
    }
    VolumeSurvey::Survey survey = m_sampleSurvey.get();
    // An import adopted meanwhile has its own.
    if (m_volume.generation != 0 || !m_device) {
        return;
    }
    adoptGrid(std::move(survey.bricks));
    m_volume.texels = survey.texels;
}

void VolumeScene::adoptSampledGrid() {
    std::shared_ptr<const BrickGrid> grid = m_pool->sampledGrid();
    if (grid == m_volume.bricks) {
        return;
    }
    if (!grid) {
        // A level too large for a grid: its rays sample every step, as the grid of another
        // level would not bound them.
        m_volume.bricks.reset();
        m_volume.brickTexture.reset();
        return;
    }
    // The grids of one level have one shape: the first one's texture takes the others.
    QString reason;
    const bool sameShape =
        m_volume.brickTexture && m_volume.bricks && m_volume.bricks->shift() == grid->shift();
    const bool written =
        sameShape ? VolumeSurvey::uploadGrid(*m_volume.brickTexture, *grid, &reason)
                  : (m_volume.brickTexture = VolumeSurvey::gridTexture(*m_device, *grid, &reason)) != nullptr;
    if (!written) {
        // Rays then march without skipping: slower, the same picture.
        qWarning("QVRenderer: %s", qPrintable(reason));
        m_gridFromPool = false;
        m_volume.bricks.reset();
        m_volume.brickTexture.reset();
        return;
    }
    m_volume.bricks = std::move(grid);
}

void VolumeScene::adoptGrid(std::shared_ptr<const BrickGrid> grid) {
    m_gridFromPool = false;
    QString reason;
    m_volume.brickTexture = VolumeSurvey::gridTexture(*m_device, *grid, &reason);
    if (m_pool) {
        m_pool->knowRanges(*grid);
    }
    if (m_volume.brickTexture) {
        m_volume.bricks = std::move(grid);
    }
}

bool VolumeScene::post(const VolumeRecord* record, QString* reason, const std::stop_token& stop) {
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

bool VolumeScene::adoptPosted() {
    std::optional<VolumeState> posted = m_mailbox.take();
    if (!posted) {
        return false;
    }
    posted->generation = m_volume.generation + 1;
    // The replaced volume leaves with `posted`: its textures are released here.
    std::swap(m_volume, *posted);
    showVolume();
    return true;
}

std::shared_ptr<const VolumeData> VolumeScene::vdata() const {
    std::lock_guard lock(m_vdataMutex);
    return m_vdata;
}

void VolumeScene::setVdata(std::shared_ptr<const VolumeData> value) {
    std::lock_guard lock(m_vdataMutex);
    m_vdata = std::move(value);
}
