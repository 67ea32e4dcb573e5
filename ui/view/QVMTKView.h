#pragma once

#include "render/MTKView.h"
#include "render/gpu/Gpu.h"
#include "ui/view/DisplayLink.h"

#include <QOpenGLWidget>
#include <QPointF>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

// The drawable view that fills the main window. It offers the renderer the
// surface it draws into (device, colour format, drawable size in device pixels,
// and during a frame a render pass descriptor and a drawable) and turns pointer
// input into the five values the frame step reads once per frame. It draws
// nothing itself except the clear colour when its delegate presents nothing.
//
// Frames: while the view is shown, every refresh of its screen (DisplayLink) calls the
// delegate's drawInMTKView once, so speeds are applied and the "ww"/"wl" observers hear
// every frame. The render pass and the drawable are made only when the delegate asks
// for them, and only a frame that wrote the framebuffer is composed into the window and
// swapped: a frame whose picture cannot have changed costs the delegate's arithmetic
// and nothing else. The framebuffer keeps its picture between frames; when it is made
// anew (first show, resize) the frame that fills it is drawn at once, inside Qt's paint,
// and until then keepsPresentedPicture() is false. Every resize tells the delegate the
// new drawable size in device pixels. frameCompleted() follows every frame.
//
// How Qt's pointer events become the five values. Every value is the movement of
// the most recent event of its kind, truncated toward zero (2.9 -> 2, -2.9 -> -2);
// nothing is summed, and reading a value does not consume it, so the frame step
// applies it again every frame (the values act as speeds).
//   - Left press: clears deltaX, deltaY, rdeltaX, rdeltaY (in that order); zoom is
//     kept.
//   - Left drag: deltaX, deltaY <- the pointer's movement since the previous move
//     event (or since the press), in logical pixels, x to the right and y downward
//     positive. Positions are taken as QPointF so fractional high-DPI movement is
//     truncated, not rounded.
//   - Right drag: the same movement into rdeltaX, rdeltaY. When both buttons are
//     held the left button wins. A right press clears nothing.
//   - Wheel and trackpad: zoom <- a level for as long as the scroll gesture lasts,
//     0 when it ends, so the camera moves while the user's hand moves and stops with
//     it. The level is the vertical movement of the latest event in steps, truncated,
//     but at least 1 step in its direction whenever it moved at all, so the small
//     deltas of trackpads and high-resolution wheels zoom too. Scrolling away from
//     the user is positive; the horizontal component is ignored (an event without
//     vertical movement sets 0).
//       * A step is one classic notch (angleDelta 120) or, where the device reports
//         pixel deltas (trackpads), kPixelsPerZoomStep pixels.
//       * A gesture with scroll phases (trackpads) ends with ScrollEnd, which Qt sends
//         after any momentum; updates and momentum set the level. Should that end
//         never come, kPhasedGestureSilence without events ends it.
//       * A classic wheel sends no phases: its gesture ends kWheelGestureEnd after the
//         last notch, and never before a frame has shown the notch, so a notch always
//         zooms even when frames are slow.
//     wheelGestureInProgress() is true from the first event until the end.
//   - Button release, middle button, plain movement and keys change nothing.
//   - A click into an inactive window only activates it: when a button goes down
//     while the view's window is not the active window, the view asks for the
//     window to be activated, and that press and the drags that follow it until the
//     release neither clear nor set any value. (On X11 the press reaches the
//     application before the window manager's focus change, so the window is still
//     inactive at press time; a platform that activates the window before
//     delivering the press treats the click as an ordinary one.)
class QVMTKView : public QOpenGLWidget, public MTKView {
    Q_OBJECT

  public:
    explicit QVMTKView(QWidget* parent = nullptr);
    ~QVMTKView() override;

    // MTKView: the surface the delegate draws into.
    std::shared_ptr<gpu::Device> device() const override { return m_device; }
    void setDevice(std::shared_ptr<gpu::Device> device);
    gpu::PixelFormat colorPixelFormat() const override { return kColorPixelFormat; }
    DrawableSize drawableSize() const override;
    const gpu::RenderPassDescriptor* currentRenderPassDescriptor() override;
    gpu::Drawable* currentDrawable() override;

    // Not owned: the delegate must outlive the view or be unset before it goes.
    MTKViewDelegate* delegate() const { return m_delegate; }
    void setDelegate(MTKViewDelegate* delegate);

    static constexpr gpu::ClearColor clearColor() { return kClearColor; }

    // The pointer values, as described above.
    std::int64_t deltaX() const override { return m_deltaX; }
    std::int64_t deltaY() const override { return m_deltaY; }
    std::int64_t zoom() const override { return m_zoom; }
    std::int64_t rdeltaX() const override { return m_rdeltaX; }
    std::int64_t rdeltaY() const override { return m_rdeltaY; }

    // The user's hands are busy while a mouse button is held anywhere in the application
    // (on the view, or dragging one of the sliders) and while a wheel or trackpad gesture
    // lasts.
    bool userIsInteracting() const override;
    bool keepsPresentedPicture() const override { return m_pictureKept; }

    // A wheel or trackpad gesture is under way: the user's hand is on the zoom.
    bool wheelGestureInProgress() const { return m_wheelGesture != WheelGesture::None; }

    // Draws the next frame now, as the next display refresh would, for a command that
    // needs the finished picture before then.
    void drawFrameNow() { displayRefreshed(); }

    // Clears the five values and ends a wheel gesture: nothing keeps the picture moving.
    void clearPointerValues();

    // A classic wheel's gesture ends this long after its last notch: longer than the
    // pause between notches of a turning wheel, short enough that one notch moves the
    // camera by a few frames' zoom steps.
    static constexpr std::chrono::milliseconds kWheelGestureEnd{60};
    // A trackpad gesture whose end never arrives ends after this long without events.
    static constexpr std::chrono::milliseconds kPhasedGestureSilence{500};
    // Pixel deltas that make one zoom step: a slow trackpad swipe gives 1 to 3 steps.
    static constexpr double kPixelsPerZoomStep = 10.0;

  signals:
    // After each frame's delegate call, whether or not it presented a picture.
    void frameCompleted();

  protected:
    void initializeGL() override;
    void resizeGL(int width, int height) override;
    void paintGL() override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

  private:
    // The default framebuffer of the widget is 8-bit RGBA.
    static constexpr gpu::PixelFormat kColorPixelFormat = gpu::PixelFormat::RGBA8Unorm;
    // Opaque black behind the volume, as a CT viewer's background.
    static constexpr gpu::ClearColor kClearColor{0.0, 0.0, 0.0, 1.0};

    enum class WheelGesture { None, Wheel, Phased };

    void fillWithClearColor();
    // The framebuffer was made anew (first show, resize, another pixel ratio).
    void forgetPicture();
    // One frame: the delegate's call, with the context current. `mustFill`: the
    // framebuffer holds nothing yet and gets the clear colour unless the delegate presents.
    // Returns whether the framebuffer was written.
    bool drawFrame(bool mustFill);
    // A display refresh: a frame, composed into the window only when it wrote the framebuffer.
    void displayRefreshed();
    void endWheelGesture();
    // The wheel's end interval is over; the gesture ends once a frame has shown it.
    void wheelIntervalElapsed();
    void frameShown();

    std::shared_ptr<gpu::Device> m_device;
    MTKViewDelegate* m_delegate = nullptr;
    // Open only while the delegate draws a frame; the pass is made when first asked for.
    bool m_inFrame = false;
    std::optional<gpu::RenderPassDescriptor> m_renderPass;
    std::optional<gpu::Drawable> m_drawable;
    // The framebuffer holds what the delegate presented last (false once it is made anew).
    bool m_pictureKept = false;
    // The framebuffer holds the last frame's picture (false while Qt's new one is blank).
    bool m_framebufferCurrent = false;

    DisplayLink m_displayLink{this};

    WheelGesture m_wheelGesture = WheelGesture::None;
    QTimer m_wheelGestureEnd;
    bool m_frameShownSinceWheel = false;
    bool m_wheelIntervalElapsed = false;

    QPointF m_lastPointerPosition;
    bool m_inActivationClick = false;

    std::int64_t m_deltaX = 0;
    std::int64_t m_deltaY = 0;
    std::int64_t m_zoom = 0;
    std::int64_t m_rdeltaX = 0;
    std::int64_t m_rdeltaY = 0;
};
