#pragma once

// The drawable surface the renderer draws into, shaped like MetalKit's view: the
// device, the colour format, the drawable size in device pixels, and per frame a
// render pass descriptor and a drawable. The interaction view (ui/view/QVMTKView)
// implements it and adds the five pointer values the frame step reads.

#include "render/gpu/Gpu.h"

#include <cstdint>
#include <memory>

struct DrawableSize {
    double width = 0.0;
    double height = 0.0;
};

class MTKView {
  public:
    virtual ~MTKView() = default;

    // Shared: the renderer keeps the device alive for as long as it holds GPU objects.
    virtual std::shared_ptr<gpu::Device> device() const = 0;
    virtual gpu::PixelFormat colorPixelFormat() const = 0;
    virtual DrawableSize drawableSize() const = 0;
    // Null when there is nothing to draw into this frame.
    virtual const gpu::RenderPassDescriptor* currentRenderPassDescriptor() = 0;
    virtual gpu::Drawable* currentDrawable() = 0;

    // The latest pointer movements, as levels (read every frame, never consumed):
    // left drag, wheel, right drag. See ui/view/QVMTKView.h for how events map onto them.
    virtual std::int64_t deltaX() const = 0;
    virtual std::int64_t deltaY() const = 0;
    virtual std::int64_t zoom() const = 0;
    virtual std::int64_t rdeltaX() const = 0;
    virtual std::int64_t rdeltaY() const = 0;

    // Whether the user's hands are on the controls now (a button held, a scroll gesture
    // under way): frames may then be drawn at reduced resolution to keep up with them.
    // Turning or drifting that goes on after the hands let go is not interaction.
    virtual bool userIsInteracting() const { return false; }
    // Whether the drawable, at an unchanged size, still shows the picture the delegate
    // presented last. A view that keeps it needs nothing drawn, copied or presented for
    // a frame whose picture would be the same; one that does not (a swap chain, a
    // framebuffer made anew) is given a picture every frame.
    virtual bool keepsPresentedPicture() const { return false; }
};

class MTKViewDelegate {
  public:
    virtual ~MTKViewDelegate() = default;
    virtual void mtkView_drawableSizeWillChange(MTKView& view, DrawableSize size) = 0;
    virtual void drawInMTKView(MTKView& view) = 0;
};
