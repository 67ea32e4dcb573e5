#pragma once

#include "AdaptiveQuality.h"
#include "BrickGrid.h"
#include "FrameTimeBudget.h"
#include "MTKView.h"
#include "NRRDfmt.h"
#include "SampleStatistics.h"
#include "ShaderTypes.h"
#include "gpu/Gpu.h"

#include <QObject>
#include <QString>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class ByteBuffer;
class VolumeData;

// The view's drawing delegate: owns the GPU objects and all rendering state (display
// window, camera angles and zoom, clip values, colour lookup) and draws the volume
// once per frame. Property setters may be called from the GUI thread; an imported
// volume arrives from a pool thread through updateVolumeDataWithNRRDfmt.
//
// The hand-over: the volume a frame draws (texture, voxel counts, spacing, sample
// offset) and the defaults an import resets are guarded by one mutex. A frame holds it
// from reading the pointer values to committing; an import uploads its texture first,
// without it, and then swaps everything in one short step, so a frame sees all of the
// old volume or all of the new one. The replaced texture is released by the next frame,
// on the GUI thread. The observers of "wl" and "ww" run inside the frame and must not
// start an import synchronously. The renderer must outlive an import in progress.
//
// Speed: the upload builds a brick grid of the volume's largest texels (BrickGrid), with
// which rays skip the bricks that lie entirely below the window and start and end on the
// box around everything that can show. Each frame's image is kept: a frame whose inputs
// did not change costs nothing where the view still shows that image, and a copy of it
// where it does not. While the user's hands are on the controls and the inputs change,
// frames are drawn at a reduced resolution that follows the measured frame time
// (AdaptiveQuality, FrameTimeBudget); turning and drift after the hands let go are drawn
// at full quality.
class QVRenderer : public QObject, public MTKViewDelegate {
    Q_OBJECT

  public:
    // The display window at start-up (the built-in sample) and after an import, in
    // sample units.
    static constexpr std::int64_t kStartupWindowLevel = 738;
    static constexpr std::int64_t kStartupWindowWidth = 1384;
    static constexpr std::int64_t kImportWindowLevel = -10;
    static constexpr std::int64_t kImportWindowWidth = 1300;
    // The built-in sample stores CT values as HU + 1024.
    static constexpr double kSampleHounsfieldOffset = -1024.0;
    // At most this many samples per voxel step along a ray (the uniforms carry a byte).
    static constexpr int kMostSamplesPerStep = 64;

    // Drawable size in whole pixels, as the projection uses it.
    struct ViewportSize {
        std::uint32_t width = 0;
        std::uint32_t height = 0;
    };

    // How the samples of the volume on show (texel + sampleOffset, the units of wl and
    // ww) become the file's own values: value = sample * scale + offset.
    struct ValueMap {
        double scale = 1.0;
        double offset = 0.0;
    };

    // The volume a frame draws, all from one import (or from creation).
    struct VolumeState {
        std::shared_ptr<gpu::Texture> texture;      // null when the volume could not be uploaded
        std::shared_ptr<gpu::Texture> brickTexture; // the grid's levels as mipmap levels
        std::shared_ptr<const BrickGrid> bricks;
        std::uint64_t generation = 0; // one more with every volume uploaded
        std::uint64_t width = 0;
        std::uint64_t height = 0;
        std::uint64_t depth = 0;
        float cellspaceX = 0.0f;
        float cellspaceY = 0.0f;
        float cellspaceZ = 0.0f;
        std::int32_t sampleOffset = 0;
        // The display window the volume opened with, which Reset View goes back to.
        std::int64_t defaultWl = 0;
        std::int64_t defaultWw = 0;
        ValueMap valueMap;
        // A sample's value in the units the window presets speak: (texel + sampleOffset) *
        // valueScale + valueOffset. The file's units for an import (as valueMap); for the
        // built-in sample, whose samples are shown as they are (738/1384), Hounsfield units.
        double valueScale = 1.0;
        double valueOffset = 0.0;
        bool hounsfield = false;                   // the values are Hounsfield units
        std::optional<NRRDfmt::Window> fileWindow; // the file's own window, in its units
        SampleStatistics::Summary texels;          // extremes and percentiles of the texels
    };

    // Reads the view's device and colour format, builds the pipeline and the command
    // queue and uploads `vdata`, or the built-in sample volume of the application's
    // bundle when it is null. Keeps no reference to the view.
    explicit QVRenderer(MTKView& view, std::shared_ptr<const VolumeData> vdata = nullptr,
                        QObject* parent = nullptr);
    static std::unique_ptr<QVRenderer> initWithMetalKitView(MTKView& view);
    ~QVRenderer() override;

    void mtkView_drawableSizeWillChange(MTKView& view, DrawableSize size) override;
    // The frame step: folds the view's pointer values into window, angles and zoom,
    // builds the matrices and the uniforms, then encodes the frame as DrawA does.
    void drawInMTKView(MTKView& view) override;
    // Encodes one frame with the current uniforms; commits an empty command buffer when
    // the view offers no render pass descriptor, and encodes nothing at all (not even a
    // command buffer) when the view still shows the picture these uniforms give. Otherwise,
    // in order: the command buffer, the view's pass; then, when the image must be drawn, an
    // encoder with the pipeline, the proxy cube's vertices at index 0, the uniforms and the
    // window pair at 1 and 2, the skipping box at 3, the volume and its brick grid at
    // fragment textures 0 and 1, one draw of 36 vertices, end of encoding (into the view's
    // pass at full quality, into a reduced texture while the user interacts); then a copy
    // between the drawn image and the kept one (the only step of a frame in which nothing
    // changed); then the drawable is presented and the buffer committed.
    void DrawA(MTKView& view);

    // Replaces the volume. Runs on the calling (worker) thread and uploads there; the
    // new volume and the reset defaults reach the next frame together. Returns false,
    // with the reason in the log and in *reason, and changes nothing when the record
    // cannot be shown (absent or short data, zero size, size above the GPU's limit, a
    // failed upload).
    bool updateVolumeDataWithNRRDfmt(const NRRDfmt* record, QString* reason = nullptr);
    void updateVolumeDataWithURL(const QString& url);

    // Back to the view the volume opened with: camera angles, zoom and z rotation 0,
    // nothing clipped, the volume's own display window (through the notifying setters).
    // The colour lookup stays as the user chose it.
    void resetView();

    // On (the default): frames drawn while the user interacts and the camera, window, clip
    // values or drawable change have reduced resolution, and full quality follows once the
    // hands are off or the inputs stay put. Off: every frame that is drawn is drawn at
    // full quality.
    void setAdaptiveQuality(bool enabled) { m_quality.setEnabled(enabled); }
    // How long the inputs must stay put under the user's hands before the full-quality
    // frame is drawn.
    void setQualitySettle(std::chrono::milliseconds settle) { m_quality.setSettle(settle); }

    float zoom() const { return m_zoom; }
    void setZoom(float value) { m_zoom = value; }
    float xrot() const { return m_xrot; }
    void setXrot(float value) { m_xrot = value; }
    float yrot() const { return m_yrot; }
    void setYrot(float value) { m_yrot = value; }
    float zrot() const { return m_zrot; }
    void setZrot(float value) { m_zrot = value; }
    float xcept() const { return m_xcept; }
    void setXcept(float value) { m_xcept = value; }
    float xceptBtm() const { return m_xceptBtm; }
    void setXceptBtm(float value) { m_xceptBtm = value; }
    float ycept() const { return m_ycept; }
    void setYcept(float value) { m_ycept = value; }
    float yceptBtm() const { return m_yceptBtm; }
    void setYceptBtm(float value) { m_yceptBtm = value; }
    float zcept() const { return m_zcept; }
    void setZcept(float value) { m_zcept = value; }
    float zceptBtm() const { return m_zceptBtm; }
    void setZceptBtm(float value) { m_zceptBtm = value; }
    std::int64_t wl() const { return m_wl; }
    void setWl(std::int64_t value); // notifies "wl" on every call
    std::int64_t ww() const { return m_ww; }
    void setWw(std::int64_t value); // notifies "ww" on every call
    std::int64_t clutmode() const { return m_clutmode; }
    void setClutmode(std::int64_t value) { m_clutmode = value; }
    // How the samples along a ray become a pixel; kept when a volume is imported.
    RenderMode renderMode() const { return m_renderMode; }
    void setRenderMode(RenderMode mode) { m_renderMode = mode; }
    // Samples per voxel step along a ray (1 as the viewer draws; more for quality
    // measurements), clamped to 1 … kMostSamplesPerStep.
    int samplesPerStep() const { return m_samplesPerStep; }
    void setSamplesPerStep(int samples) { m_samplesPerStep = std::clamp(samples, 1, kMostSamplesPerStep); }
    std::shared_ptr<const VolumeData> vdata() const;
    void setVdata(std::shared_ptr<const VolumeData> value);

    // What the next draw hands to the GPU (GUI thread), and the current volume (any thread).
    const Uniforms& uniforms() const { return m_uniforms; }
    WindowPair wlww() const { return m_wlww; }
    ViewportSize viewportSize() const { return m_viewportSize; }
    const CubeVertex* vertices() const { return m_vertices; }
    const MarchUniforms& marchUniforms() const { return m_march; }
    // Whether the image the last frame showed is a full-quality one (GUI thread).
    bool showsFullQuality() const { return m_kept != nullptr && m_keptFull; }
    VolumeState volumeState() const;
    // The volume's value map alone, for the observers of "wl" and "ww": they run inside
    // a frame, which holds the volume state, so it is kept apart under its own lock.
    ValueMap valueMap() const;

  signals:
    // Emitted by setWl/setWw with the key path ("wl" or "ww"); connect with
    // Qt::DirectConnection so observers run inside the setter.
    void valueChanged(const QString& keyPath);

  private:
    void buildPipeline(gpu::PixelFormat colorPixelFormat);
    struct Upload {
        std::shared_ptr<gpu::Texture> texture;
        std::shared_ptr<gpu::Texture> brickTexture;
        std::shared_ptr<const BrickGrid> bricks;
        SampleStatistics::Summary texels;
    };
    // Makes and fills the textures for the voxels; nothing, with the reason, when they
    // cannot be shown.
    std::optional<Upload> uploadVolume(std::uint64_t width, std::uint64_t height, std::uint64_t depth,
                                       const ByteBuffer& data, QString* reason) const;
    std::shared_ptr<gpu::Texture> newBrickTexture(const BrickGrid& grid, QString* reason) const;
    void resetCameraAndClip();
    void resetCameraClipAndLookup();
    // DrawA's encoding; the caller holds m_stateMutex. Without drawing the volume it
    // commits an empty command buffer.
    void encodeFrame(MTKView& view, bool drawVolume);
    // The frame's proportions, camera, matrices, clip values and lookup mode.
    void updateUniforms();

    // What an image depends on; a kept image is shown again only for equal inputs. Which
    // framebuffer the view offers does not matter: a view may alternate between several.
    // (The background is checked against the kept image's when the pass is at hand.)
    struct FrameInputs {
        Uniforms uniforms{};
        WindowPair window{};
        std::uint64_t volume = 0; // the volume's generation
        std::uint32_t width = 0, height = 0;
        bool operator==(const FrameInputs& other) const;
    };
    FrameInputs frameInputs(std::uint32_t width, std::uint32_t height) const;
    // How this frame is made; notes its inputs as the previous frame's for the next one.
    AdaptiveQuality::Action decide(const FrameInputs& inputs, const MTKView& view);
    // A texture that keeps a frame's image, and the pass that draws into it.
    struct FrameTarget {
        std::shared_ptr<gpu::Texture> texture;
        gpu::RenderPassDescriptor pass;
    };
    // The skipping box for the current window; recomputed only when the window's lower
    // edge or the volume changes.
    void updateMarch();
    // The cube's draw into `pass`, as DrawA encodes it.
    void encodeVolume(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& pass);
    // The target resized to width × height (a new texture when the size changes); false
    // when no texture can be made.
    bool prepareTarget(FrameTarget& target, std::uint32_t width, std::uint32_t height,
                       const gpu::ClearColor& clear);
    // Draws the frame as `action` says into `pass` (the view's), keeping its image.
    void encodeAdaptiveFrame(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& pass,
                             AdaptiveQuality::Action action, const FrameInputs& inputs);
    void copy(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& from,
              const gpu::RenderPassDescriptor& to);

    std::shared_ptr<gpu::Device> m_device;
    std::shared_ptr<gpu::RenderPipelineState> m_pipelineState;
    std::unique_ptr<gpu::CommandQueue> m_commandQueue;
    ViewportSize m_viewportSize;
    Uniforms m_uniforms{};
    const CubeVertex* m_vertices = nullptr;
    WindowPair m_wlww{};

    MarchUniforms m_march{};
    std::shared_ptr<const BrickGrid> m_marchBricks; // the grid and threshold m_march's box was found for
    std::int64_t m_marchThreshold = 0;
    AdaptiveQuality m_quality;
    FrameTimeBudget m_budget;
    FrameTarget m_fullTarget;            // the drawable's size
    FrameTarget m_reducedTarget;         // the frames drawn while the inputs change
    const FrameTarget* m_kept = nullptr; // holds the last image shown
    FrameInputs m_keptInputs;
    bool m_keptFull = false;
    bool m_keptShown = false; // the view was last given the kept image (not a clear pass)
    std::optional<FrameInputs> m_lastInputs;

    mutable std::mutex m_stateMutex;
    VolumeState m_volume;               // guarded by m_stateMutex
    mutable std::mutex m_valueMapMutex; // taken inside m_stateMutex, never around it
    ValueMap m_valueMap;                // guarded by m_valueMapMutex
    std::vector<std::shared_ptr<gpu::Texture>> m_retiredTextures; // guarded; released by the next frame

    std::atomic<float> m_zoom{0.0f};
    std::atomic<float> m_xrot{0.0f};
    std::atomic<float> m_yrot{0.0f};
    std::atomic<float> m_zrot{0.0f};
    std::atomic<float> m_xcept{1.0f};
    std::atomic<float> m_xceptBtm{0.0f};
    std::atomic<float> m_ycept{1.0f};
    std::atomic<float> m_yceptBtm{0.0f};
    std::atomic<float> m_zcept{1.0f};
    std::atomic<float> m_zceptBtm{0.0f};
    std::atomic<std::int64_t> m_wl{0};
    std::atomic<std::int64_t> m_ww{0};
    std::atomic<std::int64_t> m_clutmode{0};
    std::atomic<RenderMode> m_renderMode{RenderMode::Composite};
    std::atomic<int> m_samplesPerStep{1};

    mutable std::mutex m_vdataMutex;
    std::shared_ptr<const VolumeData> m_vdata; // guarded by m_vdataMutex
};
