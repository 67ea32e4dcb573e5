#pragma once

#include "render/ShaderTypes.h"
#include "render/frame/AdaptiveQuality.h"
#include "render/frame/FrameTimeBudget.h"
#include "render/gpu/Gpu.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// Keeps each frame's image and decides how the next one is made: a frame whose inputs
// did not change is the kept image again (nothing drawn where the view still shows it, a
// copy where it does not); while the user's hands are on the controls and the inputs
// change, frames are drawn at a reduced resolution that follows the measured frame time
// (AdaptiveQuality, FrameTimeBudget) and copied up to the view.
class FrameCache {
  public:
    // What an image depends on; a kept image is shown again only for equal inputs. Which
    // framebuffer the view offers does not matter: a view may alternate between several.
    // (The background is checked against the kept image's when the pass is at hand.)
    struct Inputs {
        Uniforms uniforms{};
        WindowPair window{};
        std::uint64_t volume = 0;    // the volume's generation
        std::uint64_t bricks = 0;    // the brick pool's version: bricks arrived or left
        std::uint32_t level = 0;     // the pool's level the frame samples
        bool grid = false;           // rays skip by the brick grid
        std::uint64_t colourMap = 0; // uploads of the colour map so far
        float4 slicePlanes{};        // the slice views' planes inside the volume, if shown
        std::uint32_t width = 0, height = 0;
        bool operator==(const Inputs& other) const;
    };
    // Encodes the volume's draw into a pass.
    using Draw = std::function<void(gpu::CommandBuffer&, const gpu::RenderPassDescriptor&)>;

    explicit FrameCache(std::shared_ptr<gpu::Device> device) : m_device(std::move(device)) {}

    void setAdaptiveQuality(bool enabled) { m_quality.setEnabled(enabled); }
    void setQualitySettle(std::chrono::milliseconds settle) { m_quality.setSettle(settle); }

    // How the frame with these inputs is made at `now`, `streaming` while bricks the view
    // needs are still on their way; notes them as the previous frame's.
    AdaptiveQuality::Action decide(const Inputs& inputs, bool interacting, bool streaming,
                                   AdaptiveQuality::Clock::time_point now = AdaptiveQuality::Clock::now());
    // Makes the frame as `action` says into the view's `pass` (drawing with `draw`, into
    // a reduced texture while the user interacts), keeping its image.
    void encode(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& pass,
                AdaptiveQuality::Action action, const Inputs& inputs, const Draw& draw);
    // The view was given a clear pass instead of the kept image.
    void viewCleared() { m_keptShown = false; }

    // The view was last given the kept image.
    bool viewShowsKept() const { return m_keptShown; }
    // The image the last frame showed is a full-quality one.
    bool showsFullQuality() const { return m_kept != nullptr && m_keptFull; }

  private:
    // A texture that keeps a frame's image, and the pass that draws into it.
    struct Target {
        std::shared_ptr<gpu::Texture> texture;
        gpu::RenderPassDescriptor pass;
    };
    // The target's pass drawing width × height pixels into the corner of a texture the
    // drawable's size (a new texture only when the drawable's size changes, not for every
    // pixel budget of a drag); false when no texture can be made.
    bool prepareTarget(Target& target, const gpu::RenderPassDescriptor& drawable, std::uint32_t width,
                       std::uint32_t height);
    static void copy(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& from,
                     const gpu::RenderPassDescriptor& to);

    std::shared_ptr<gpu::Device> m_device;
    AdaptiveQuality m_quality;
    FrameTimeBudget m_budget;
    Target m_fullTarget;            // the drawable's size
    Target m_reducedTarget;         // the frames drawn while the inputs change, in its corner
    const Target* m_kept = nullptr; // holds the last image shown
    Inputs m_keptInputs;
    bool m_keptFull = false;
    bool m_keptShown = false; // the view was last given the kept image (not a clear pass)
    std::optional<Inputs> m_lastInputs;
};
