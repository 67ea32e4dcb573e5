#pragma once

#include "render/gpu/Gpu.h"
#include "render/scene/VolumeMailbox.h"
#include "render/scene/VolumeState.h"
#include "render/scene/VolumeSurvey.h"
#include "render/streaming/BrickPool.h"

#include <QObject>
#include <QString>
#include <array>
#include <future>
#include <memory>
#include <mutex>
#include <stop_token>

class VolumeData;
struct VolumeRecord;

// The open volume as every view of it shares it: the GPU device and the render pipelines,
// the volume on show (VolumeState) with its brick pool and brick-grid texture, the
// mailbox through which an import hands over the next volume, the built-in sample's
// survey while it runs, and the budgets all of them keep within. Views (QVRenderer) draw
// it each with its own camera; each frame updates the pool for that frame's view before
// it encodes (the pool is shared, its page table is written for the view being drawn).
//
// GUI thread, except post(), which an import calls on its worker thread (the device and
// the budgets do not change, the mailbox locks), and vdata()/setVdata().
class VolumeScene : public QObject {
    Q_OBJECT

  public:
    // Builds the pipelines for `colorPixelFormat` on `device` (none without a device) and
    // shows `vdata`, or the built-in sample volume when it is null.
    VolumeScene(std::shared_ptr<gpu::Device> device, gpu::PixelFormat colorPixelFormat,
                std::shared_ptr<const VolumeData> vdata, const BrickPool::Budgets& budgets);
    ~VolumeScene() override;

    const std::shared_ptr<gpu::Device>& device() const { return m_device; }
    // The fragment shader built for the projection modes, or for compositing: through a
    // colour map's own opacity curve or not, stopping on the slice planes or not. All, or
    // null when there are none.
    const gpu::RenderPipelineState* pipeline(bool composites, bool curve = false, bool planes = false) const {
        if (!composites) {
            return m_projectionPipeline.get();
        }
        return m_compositePipelines[(curve ? kCurveBuild : 0) | (planes ? kPlanesBuild : 0)].get();
    }
    const BrickPool::Budgets& budgets() const { return m_budgets; }
    const VolumeState& volume() const { return m_volume; }
    BrickPool* pool() const { return m_pool.get(); }
    // The sample's grid and statistics are still being gathered.
    bool surveyPending() const { return m_sampleSurvey.valid(); }

    // Surveys `record` on the calling thread and posts it; see QVRenderer::updateVolumeDataWithNRRDfmt.
    bool post(const VolumeRecord* record, QString* reason, const std::stop_token& stop);
    // Puts the volume posted last on show; true when there was one.
    bool adoptPosted();
    // Takes the built-in sample's grid and statistics once its survey has finished, and the
    // grid of a volume read in place once the pass over its file has.
    void takeSurvey();
    // The pool's choice, uploads and page table for one frame of one view; tells
    // volumeUnreadable once per volume when a brick turns out unreadable, and volumeReadable
    // when bricks of a source whose failures pass are read again after that.
    void updatePool(const BrickPool::View& view);

    QString unreadableDataFile() const;
    std::shared_ptr<const VolumeData> vdata() const;
    void setVdata(std::shared_ptr<const VolumeData> value);

  signals:
    void volumeUnreadable(const QString& fileName);
    void volumeReadable();

  private:
    void buildPipeline(gpu::PixelFormat colorPixelFormat);
    // Makes the pool and grid texture of the volume just put on show.
    void showVolume();
    // Rays skip by the grid and the pool leaves bricks below the window unread from now on.
    void adoptGrid(std::shared_ptr<const BrickGrid> grid);
    // Takes the pool's grid of what the frames sample, when it changed.
    void adoptSampledGrid();

    std::shared_ptr<gpu::Device> m_device;
    static constexpr std::size_t kCurveBuild = 1;
    static constexpr std::size_t kPlanesBuild = 2;
    std::array<std::shared_ptr<gpu::RenderPipelineState>, 4> m_compositePipelines;
    std::shared_ptr<gpu::RenderPipelineState> m_projectionPipeline;
    BrickPool::Budgets m_budgets;
    VolumeState m_volume;              // the volume on show
    std::unique_ptr<BrickPool> m_pool; // m_volume's bricks on the GPU
    bool m_unreadableTold = false;     // volumeUnreadable was emitted for m_pool
    bool m_passGridTaken = false;      // the grid of m_pool's pass over the file, adopted
    bool m_gridFromPool = false;       // m_volume's grid is m_pool's sampled grid
    std::future<VolumeSurvey::Survey> m_sampleSurvey;
    VolumeMailbox m_mailbox;

    mutable std::mutex m_vdataMutex;
    std::shared_ptr<const VolumeData> m_vdata; // guarded by m_vdataMutex
};
