#pragma once

#include "render/MTKView.h"

#include <memory>

// A view for the renderer's unit tests: every value is a plain field, and the render
// pass descriptor can be withdrawn (hasPass).
struct FakeMTKView : MTKView {
    explicit FakeMTKView(std::shared_ptr<gpu::Device> device) : gpu(std::move(device)) { resize(64, 64); }

    std::shared_ptr<gpu::Device> device() const override { return gpu; }
    gpu::PixelFormat colorPixelFormat() const override { return gpu::PixelFormat::RGBA8Unorm; }
    DrawableSize drawableSize() const override { return size; }
    const gpu::RenderPassDescriptor* currentRenderPassDescriptor() override {
        return hasPass ? &pass : nullptr;
    }
    gpu::Drawable* currentDrawable() override { return &drawable; }
    std::int64_t deltaX() const override { return pointer.deltaX; }
    std::int64_t deltaY() const override { return pointer.deltaY; }
    std::int64_t zoom() const override { return pointer.zoom; }
    std::int64_t rdeltaX() const override { return pointer.rdeltaX; }
    std::int64_t rdeltaY() const override { return pointer.rdeltaY; }
    bool userIsInteracting() const override { return interacting; }
    bool keepsPresentedPicture() const override { return keepsPicture; }

    // The drawable's size and the pass's, as a real view offers them.
    void resize(std::uint32_t width, std::uint32_t height) {
        pass.width = width;
        pass.height = height;
        size = {static_cast<double>(width), static_cast<double>(height)};
    }

    std::shared_ptr<gpu::Device> gpu;
    DrawableSize size;
    gpu::RenderPassDescriptor pass;
    gpu::Drawable drawable;
    bool hasPass = true;
    struct Pointer {
        std::int64_t deltaX = 0, deltaY = 0, zoom = 0, rdeltaX = 0, rdeltaY = 0;
    } pointer;
    bool interacting = false;
    bool keepsPicture = false;
};
