#pragma once

#include "render/MTKView.h"
#include "render/ShaderConstants.h"
#include "render/ShaderTypes.h"
#include "render/display/Camera.h"
#include "render/display/DisplayModel.h"
#include "render/display/OrbitController.h"
#include "render/frame/FrameCache.h"
#include "render/gpu/Gpu.h"
#include "render/scene/VolumeScene.h"
#include "render/scene/VolumeState.h"
#include "render/streaming/BrickGrid.h"
#include "render/streaming/BrickPool.h"
#include "render/streaming/ShownTexels.h"
#include "volume/core/VolumeRecord.h"

#include <QObject>
#include <QString>
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>

class VolumeData;

// One view's drawing delegate: draws the open volume (VolumeScene: device, pipelines,
// brick pool, the volume on show) as the display model (DisplayModel: window, lookup,
// mode, clip box, z turn) says, seen from this view's own camera, once per frame. Any
// number of renderers, one per view, may share one scene and one model; each owns only
// its camera, its drawable's size, its kept frames and the uniforms it hands the GPU.
// Property setters may be called from the GUI thread; an imported volume arrives from a
// pool thread through updateVolumeDataWithNRRDfmt.
//
// The voxels reach the GPU through a brick pool (BrickPool): levels of detail cut into
// bricks, streamed in by worker threads and uploaded a bounded amount per frame, so the
// first picture comes from a coarse level at once, finer bricks replace it as they
// arrive, and volumes larger than memory or than one texture show at the level the view
// needs. Frames keep coming while bricks arrive.
//
// The hand-over: an import surveys its volume on its own thread (VolumeSurvey), without
// touching the GPU, and posts it to the scene's mailbox. The GUI thread adopts it at the
// start of the next frame of any view, with the defaults an import resets, in one step: a
// frame draws all of one volume, and no lock is held while the observers of "wl" and "ww"
// run, so they may ask the renderer for its volume. Every view's camera goes back to the
// start when it first draws the new volume. The replaced volume's pool and GPU objects
// are released on the GUI thread as the new one is adopted. The scene must outlive an
// import in progress.
//
// Speed: the survey builds a brick grid of the volume's largest texels (BrickGrid), with
// which rays skip the bricks that lie entirely below the window and start and end on the
// box around everything that can show. Each frame's image is kept: a frame whose inputs
// (uniforms, window, volume, the shared pool's version) did not change costs nothing where
// the view still shows that image, and a copy of it where it does not; a change another
// view makes to the model or the pool changes this view's inputs too. While the user's
// hands are on the controls and the inputs change, frames are drawn at a reduced
// resolution that follows the measured frame time (AdaptiveQuality, FrameTimeBudget);
// turning and drift after the hands let go are drawn at full quality.
class QVRenderer : public QObject, public MTKViewDelegate {
    Q_OBJECT

  public:
    // The display window at start-up (the built-in sample), in sample units.
    static constexpr std::int64_t kStartupWindowLevel = 738;
    static constexpr std::int64_t kStartupWindowWidth = 1384;
    // At most this many samples per voxel step along a ray (the uniforms carry a byte).
    static constexpr int kMostSamplesPerStep = 64;

    // Drawable size in whole pixels, as the projection uses it.
    struct ViewportSize {
        std::uint32_t width = 0;
        std::uint32_t height = 0;
    };

    using VolumeState = ::VolumeState;
    using ValueMap = VolumeState::ValueMap;

    // A new scene and display model: reads the view's device and colour format, builds
    // the pipeline and the command queue and uploads `vdata`, or the built-in sample
    // volume of the application's bundle when it is null. Keeps no reference to the view.
    explicit QVRenderer(MTKView& view, std::shared_ptr<const VolumeData> vdata = nullptr,
                        QObject* parent = nullptr, const BrickPool::Budgets& budgets = {});
    // Another view of what `shown` draws: its scene and display model, shared; a camera of
    // its own, at the start.
    QVRenderer(MTKView& view, const QVRenderer& shown, QObject* parent = nullptr);
    static std::unique_ptr<QVRenderer> initWithMetalKitView(MTKView& view);
    ~QVRenderer() override;

    void mtkView_drawableSizeWillChange(MTKView& view, DrawableSize size) override;
    // The frame step: adopts a posted volume, lets the view's OrbitController fold its
    // pointer values into window, angles and zoom, builds the matrices and the uniforms,
    // then encodes the frame (DrawA).
    void drawInMTKView(MTKView& view) override;
    // Encodes one frame with the current uniforms, after the brick pool's update; commits
    // an empty command buffer when the drawable is empty or the view offers no render pass
    // descriptor, and encodes nothing at all (not even a command buffer) when the view
    // still shows the picture these uniforms and bricks give. Otherwise, in order: the
    // command buffer, the view's pass; then, when the image must be drawn, an encoder with
    // the pipeline, the proxy cube's vertices at index 0, the uniforms and the window pair
    // at 1 and 2, the skipping box and the pool's place at 3, the brick atlas, the brick
    // grid and the page table at fragment textures 0, 1 and 2, one draw of 36 vertices,
    // end of encoding (into the view's
    // pass at full quality, into a reduced texture while the user interacts); then a copy
    // between the drawn image and the kept one (the only step of a frame in which nothing
    // changed); then the drawable is presented and the buffer committed.
    void DrawA(MTKView& view);

    // The brick pool of the volume on show: null when there is none (GUI thread).
    const BrickPool* brickPool() const { return m_scene->pool(); }
    // The name of the data file of the volume on show a brick could not be read from, as
    // far as its source tells (GUI thread).
    QString unreadableDataFile() const;
    const BrickPool::Budgets& budgets() const { return m_scene->budgets(); }

    // Replaces the volume. Runs on the calling (worker) thread, uploads there and posts
    // the finished volume; it is shown, with the reset defaults, once the GUI thread
    // adopts it. A volume posted before the last one was adopted replaces it. Returns
    // false, with the reason in the log and in *reason, and changes nothing when the
    // record cannot be shown (absent or short data, zero size, size above the GPU's
    // limit, a failed upload) or `stop` is requested while it is surveyed.
    bool updateVolumeDataWithNRRDfmt(const NRRDfmt* record, QString* reason = nullptr,
                                     const std::stop_token& stop = {});
    // GUI thread: shows the volume posted last, if any, with the defaults it opens with:
    // its display window, camera and clip values reset, the default lookup (the window's
    // observers are not notified). Every frame starts with it; whoever describes the new
    // volume before the next frame (the import command) calls it first.
    void adoptPostedVolume();
    void updateVolumeDataWithURL(const QString& url);

    // Back to the view the volume opened with: camera angles, zoom and z rotation 0,
    // nothing clipped, the volume's own display window (through the notifying setters).
    // The colour lookup stays as the user chose it.
    void resetView();

    // On (the default): frames drawn while the user interacts and the camera, window, clip
    // values or drawable change have reduced resolution, and full quality follows once the
    // hands are off or the inputs stay put. Off: every frame that is drawn is drawn at
    // full quality.
    void setAdaptiveQuality(bool enabled) { m_frames.setAdaptiveQuality(enabled); }
    // How long the inputs must stay put under the user's hands before the full-quality
    // frame is drawn.
    void setQualitySettle(std::chrono::milliseconds settle) { m_frames.setQualitySettle(settle); }

    // The view's camera.
    float zoom() const { return m_camera.zoom; }
    void setZoom(float value) { m_camera.zoom = value; }
    float xrot() const { return m_camera.xAngle; }
    void setXrot(float value) { m_camera.xAngle = value; }
    float yrot() const { return m_camera.yAngle; }
    void setYrot(float value) { m_camera.yAngle = value; }
    // Doors into the display model, which every view of the volume shares.
    float zrot() const { return m_model->zAngle(); }
    void setZrot(float value) { m_model->setZAngle(value); }
    float xcept() const { return m_model->clip().high[0]; }
    void setXcept(float value) { setClipEdge(&ClipBox::high, 0, value); }
    float xceptBtm() const { return m_model->clip().low[0]; }
    void setXceptBtm(float value) { setClipEdge(&ClipBox::low, 0, value); }
    float ycept() const { return m_model->clip().high[1]; }
    void setYcept(float value) { setClipEdge(&ClipBox::high, 1, value); }
    float yceptBtm() const { return m_model->clip().low[1]; }
    void setYceptBtm(float value) { setClipEdge(&ClipBox::low, 1, value); }
    float zcept() const { return m_model->clip().high[2]; }
    void setZcept(float value) { setClipEdge(&ClipBox::high, 2, value); }
    float zceptBtm() const { return m_model->clip().low[2]; }
    void setZceptBtm(float value) { setClipEdge(&ClipBox::low, 2, value); }
    std::int64_t wl() const { return m_model->windowLevel(); }
    void setWl(std::int64_t value) { m_model->setWindowLevel(value); } // notifies "wl" on every call
    std::int64_t ww() const { return m_model->windowWidth(); }
    void setWw(std::int64_t value) { m_model->setWindowWidth(value); } // notifies "ww" on every call
    std::int64_t clutmode() const { return static_cast<std::int64_t>(m_model->lookup()); }
    // The shaders read the low byte: 1 is the grey lookup, anything else the default one.
    void setClutmode(std::int64_t value);
    // How the samples along a ray become a pixel; kept when a volume is imported.
    RenderMode renderMode() const { return m_model->renderMode(); }
    void setRenderMode(RenderMode mode) { m_model->setRenderMode(mode); }
    // Samples per voxel step along a ray (1 as the viewer draws; more for quality
    // measurements), clamped to 1 … kMostSamplesPerStep.
    int samplesPerStep() const { return m_samplesPerStep; }
    void setSamplesPerStep(int samples) { m_samplesPerStep = std::clamp(samples, 1, kMostSamplesPerStep); }
    // How this view lights the surfaces it composites: by a light at the camera, a surface
    // facing away still showing the `ambient` share of it, or not at all (every sample in its
    // lookup colour). The projections are never lit.
    struct Lighting {
        bool lit = true;
        float ambient = shading::kAmbient;
    };
    const Lighting& lighting() const { return m_lighting; }
    void setLighting(Lighting lighting) { m_lighting = lighting; }
    // The slice views' three planes through `voxel`, shown opaque inside the volume where a
    // composited ray meets the first of them; none to let rays pass through (the start).
    void setSlicePlanes(std::optional<std::array<std::uint64_t, 3>> voxel) { m_slicePlanes = voxel; }
    // What the user set: window, lookup, mode, clip box, z turn (GUI thread).
    DisplayModel& displayModel() const { return *m_model; }
    std::shared_ptr<const VolumeData> vdata() const { return m_scene->vdata(); }
    void setVdata(std::shared_ptr<const VolumeData> value) { m_scene->setVdata(std::move(value)); }

    // What the next draw hands to the GPU, and the volume on show (GUI thread).
    const Uniforms& uniforms() const { return m_uniforms; }
    WindowPair wlww() const { return m_wlww; }
    ViewportSize viewportSize() const { return m_viewportSize; }
    const MarchUniforms& marchUniforms() const { return m_march; }
    // Whether the image the last frame showed is a full-quality one (GUI thread).
    bool showsFullQuality() const { return m_frames.showsFullQuality(); }
    // How often this view has written the colour map's table to its texture.
    std::uint64_t colourMapUploads() const { return m_colourMapUploads; }
    VolumeState volumeState() const { return m_scene->volume(); }
    ValueMap valueMap() const { return m_scene->volume().valueMap; }

  signals:
    // Emitted by setWl/setWw with the key path ("wl" or "ww"); connect with
    // Qt::DirectConnection so observers run inside the setter.
    void valueChanged(const QString& keyPath);
    // Emitted by a frame of any view, once for each volume shown, when a brick of it turns
    // out unreadable: its data file `fileName` changed or vanished since the import, and
    // views that need that brick cannot be completed.
    void volumeUnreadable(const QString& fileName);
    // Emitted when bricks of such a volume read again, its source having come back (a web
    // server that stopped answering for a while).
    void volumeReadable();

  private:
    // Relays the shared model's window notifications as this renderer's "wl" and "ww" and
    // the scene's unreadable notice, and makes this view's command queue and first uniforms.
    void attach();
    void resetCameraAndClip();
    void setClipEdge(std::array<float, 3> ClipBox::*edge, std::size_t axis, float value);
    // A view that first draws a volume shows it from the start.
    void followVolume();
    // A drawable without pixels has no aspect ratio: nothing is drawn into it.
    bool hasDrawable() const { return m_viewportSize.width > 0 && m_viewportSize.height > 0; }
    // The frame's proportions, camera, matrices, clip values and lookup mode.
    void updateUniforms();

    FrameCache::Inputs frameInputs(std::uint32_t width, std::uint32_t height) const;
    // The skipping box for the current window and colour map; recomputed only when what
    // can show or the volume changes.
    // The planes' texture coordinates and the flag of MarchUniforms::slicePlanes.
    float4 slicePlanesUniform() const;
    // The runs of the colour map's entries that show, as MarchUniforms carries them.
    void updateShownRuns();
    void updateMarch();
    // Texels at or below which nothing of the frame's mode can show; −1 when every sample
    // counts.
    std::int64_t invisibleTexels() const;
    // What a brick must hold to be needed: texels above invisibleTexels() and, in compositing
    // under an opacity curve that hides the zero texel, outside the stretches it hides.
    ShownTexels shownTexels();
    // The stretches the display model's colour map hides, found once per map.
    const std::shared_ptr<const OpacityRanges>& curveRanges();
    // The frame's choice of bricks, uploads of those read, and where the shader finds them.
    // Chooses and streams the bricks for a frame of the view's current drawable height.
    void updatePool(std::uint32_t drawableHeight);
    // The display model's colour map into this view's table texture, when it changed.
    void uploadColourMap();
    // The cube's draw into `pass`, as DrawA encodes it.
    void encodeVolume(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& pass);

    std::shared_ptr<VolumeScene> m_scene;
    std::unique_ptr<gpu::CommandQueue> m_commandQueue;
    ViewportSize m_viewportSize;
    Uniforms m_uniforms{};
    const CubeVertex* m_vertices = nullptr;
    WindowPair m_wlww{};

    std::shared_ptr<gpu::Texture> m_colourMapTexture;
    std::shared_ptr<const ColourMap> m_uploadedMap; // what the texture holds
    std::shared_ptr<const OpacityRanges> m_curveRanges;
    std::shared_ptr<const ColourMap> m_curveRangesOf; // the map m_curveRanges was found for
    std::uint64_t m_colourMapUploads = 0;
    bool m_colourMapRefused = false; // the device made no texture for it

    MarchUniforms m_march{};
    // The grid and the texels that can show m_march's box was found for.
    std::shared_ptr<const BrickGrid> m_marchBricks;
    std::optional<ShownTexels> m_marchShown;
    FrameCache m_frames;
    std::uint64_t m_generation = 0; // the volume this view last drew

    std::shared_ptr<DisplayModel> m_model;
    DisplayModel::Snapshot m_display; // the model as the frame being drawn reads it
    Camera m_camera;
    OrbitController m_orbit{m_camera, *m_model};
    int m_samplesPerStep = 1;
    Lighting m_lighting;
    std::optional<std::array<std::uint64_t, 3>> m_slicePlanes;
};
