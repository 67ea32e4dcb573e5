#include "render/frame/FrameCache.h"

#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace {

bool sameColour(const gpu::ClearColor& a, const gpu::ClearColor& b) {
    return a.red == b.red && a.green == b.green && a.blue == b.blue && a.alpha == b.alpha;
}

} // namespace

bool FrameCache::Inputs::operator==(const Inputs& other) const {
    return std::memcmp(&uniforms, &other.uniforms, sizeof(Uniforms)) == 0 && window.wl == other.window.wl &&
           window.ww == other.window.ww && volume == other.volume && bricks == other.bricks &&
           level == other.level && grid == other.grid && colourMap == other.colourMap &&
           std::memcmp(&slicePlanes, &other.slicePlanes, sizeof(float4)) == 0 && width == other.width &&
           height == other.height;
}

AdaptiveQuality::Action FrameCache::decide(const Inputs& inputs, bool interacting, bool streaming,
                                           AdaptiveQuality::Clock::time_point now) {
    AdaptiveQuality::Frame frame;
    frame.interacting = interacting;
    frame.inputsChanged = !m_lastInputs || !(*m_lastInputs == inputs);
    frame.keptMatches = m_kept != nullptr && m_keptInputs == inputs;
    frame.keptIsFull = m_keptFull;
    Inputs keptBricks = inputs;
    keptBricks.bricks = m_keptInputs.bricks;
    frame.onlyBricksArrived = streaming && m_kept != nullptr && m_keptInputs == keptBricks;
    frame.now = now;
    m_lastInputs = inputs;
    const AdaptiveQuality::Action action = m_quality.next(frame);
    if (action != AdaptiveQuality::Action::DrawInteractive) {
        m_budget.interrupted();
    }
    return action;
}

void FrameCache::encode(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& pass,
                        AdaptiveQuality::Action action, const Inputs& inputs, const Draw& draw) {
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
        m_budget.frameDrawn(static_cast<double>(reducedWidth) * static_cast<double>(reducedHeight), pixels);
        if (!prepareTarget(m_reducedTarget, pass, reducedWidth, reducedHeight)) {
            action = AdaptiveQuality::Action::DrawFull;
        }
    }
    switch (action) {
    case AdaptiveQuality::Action::Reuse:
        copy(commandBuffer, m_kept->pass, pass);
        m_keptShown = true;
        return;
    case AdaptiveQuality::Action::DrawInteractive:
        draw(commandBuffer, m_reducedTarget.pass);
        copy(commandBuffer, m_reducedTarget.pass, pass);
        m_kept = &m_reducedTarget;
        // A budget that covers the whole drawable gives the full-quality picture.
        m_keptFull = reducedWidth == pass.width && reducedHeight == pass.height;
        break;
    case AdaptiveQuality::Action::DrawFull:
        draw(commandBuffer, pass);
        // Without a texture to keep it in, the next frame draws again.
        m_kept = nullptr;
        if (prepareTarget(m_fullTarget, pass, pass.width, pass.height)) {
            copy(commandBuffer, pass, m_fullTarget.pass);
            m_kept = &m_fullTarget;
            m_keptFull = true;
        }
        break;
    }
    m_keptInputs = inputs;
    m_keptShown = m_kept != nullptr;
}

bool FrameCache::prepareTarget(Target& target, const gpu::RenderPassDescriptor& drawable, std::uint32_t width,
                               std::uint32_t height) {
    if (!target.texture || target.texture->descriptor().width != drawable.width ||
        target.texture->descriptor().height != drawable.height) {
        if (m_kept == &target) {
            m_kept = nullptr;
        }
        gpu::TextureDescriptor descriptor;
        descriptor.pixelFormat = gpu::PixelFormat::RGBA8Unorm;
        descriptor.textureType = gpu::TextureType::Type2D;
        descriptor.width = drawable.width;
        descriptor.height = drawable.height;
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
    }
    target.pass.width = width;
    target.pass.height = height;
    target.pass.clear = true;
    target.pass.clearColor = drawable.clearColor;
    return true;
}

void FrameCache::copy(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& from,
                      const gpu::RenderPassDescriptor& to) {
    if (gpu::BlitCommandEncoder* blit = commandBuffer.blitCommandEncoder()) {
        blit->copyRenderTarget(from, to);
    }
}
