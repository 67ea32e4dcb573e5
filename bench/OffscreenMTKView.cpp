#include "OffscreenMTKView.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>

namespace {

constexpr int kBytesPerPixel = 4;

} // namespace

struct OffscreenMTKView::Private {
    std::shared_ptr<gpu::Device> device;
    QSize size;
    QOpenGLContext context;
    QOffscreenSurface surface;
    std::unique_ptr<QOpenGLFramebufferObject> framebuffer;
    gpu::RenderPassDescriptor pass;
    gpu::Drawable drawable;
};

OffscreenMTKView::OffscreenMTKView(std::unique_ptr<Private> state) : d(std::move(state)) {}

OffscreenMTKView::~OffscreenMTKView() {
    if (d->context.makeCurrent(&d->surface)) {
        d->framebuffer.reset();
        d->context.doneCurrent();
    }
}

std::unique_ptr<OffscreenMTKView> OffscreenMTKView::create(std::shared_ptr<gpu::Device> device, QSize size,
                                                           QString* error) {
    auto d = std::make_unique<Private>();
    d->device = std::move(device);
    d->size = size;
    d->context.setShareContext(QOpenGLContext::globalShareContext());
    d->context.setFormat(QSurfaceFormat::defaultFormat());
    if (size.isEmpty() || !d->context.create()) {
        *error = QStringLiteral("no OpenGL context for an offscreen view of %1 x %2")
                     .arg(size.width())
                     .arg(size.height());
        return nullptr;
    }
    d->surface.setFormat(d->context.format());
    d->surface.create();
    if (!d->surface.isValid() || !d->context.makeCurrent(&d->surface)) {
        *error = QStringLiteral("no offscreen surface");
        return nullptr;
    }
    d->framebuffer = std::make_unique<QOpenGLFramebufferObject>(size, QOpenGLFramebufferObject::NoAttachment,
                                                                GL_TEXTURE_2D, GL_RGBA8);
    d->context.doneCurrent();
    if (!d->framebuffer->isValid()) {
        *error = QStringLiteral("no framebuffer of %1 x %2").arg(size.width()).arg(size.height());
        return nullptr;
    }
    d->pass.nativeTarget = d->framebuffer->handle();
    d->pass.width = static_cast<std::uint32_t>(size.width());
    d->pass.height = static_cast<std::uint32_t>(size.height());
    return std::unique_ptr<OffscreenMTKView>(new OffscreenMTKView(std::move(d)));
}

std::shared_ptr<gpu::Device> OffscreenMTKView::device() const {
    return d->device;
}

DrawableSize OffscreenMTKView::drawableSize() const {
    return {static_cast<double>(d->size.width()), static_cast<double>(d->size.height())};
}

const gpu::RenderPassDescriptor* OffscreenMTKView::currentRenderPassDescriptor() {
    return &d->pass;
}

gpu::Drawable* OffscreenMTKView::currentDrawable() {
    return &d->drawable;
}

void OffscreenMTKView::setClearColor(gpu::ClearColor color) {
    d->pass.clearColor = color;
}

void OffscreenMTKView::draw(MTKViewDelegate& delegate) {
    if (!d->context.makeCurrent(&d->surface)) {
        qWarning("OpenGL: the offscreen view's context cannot be made current");
        return;
    }
    delegate.drawInMTKView(*this);
    d->context.functions()->glFinish();
    d->context.doneCurrent();
}

QImage OffscreenMTKView::grabImage() {
    QImage image(d->size, QImage::Format_RGBA8888);
    if (!d->context.makeCurrent(&d->surface)) {
        return {};
    }
    QOpenGLFunctions& gl = *d->context.functions();
    gl.glBindFramebuffer(GL_FRAMEBUFFER, d->framebuffer->handle());
    gl.glPixelStorei(GL_PACK_ALIGNMENT, kBytesPerPixel);
    gl.glReadPixels(0, 0, d->size.width(), d->size.height(), GL_RGBA, GL_UNSIGNED_BYTE, image.bits());
    gl.glBindFramebuffer(GL_FRAMEBUFFER, 0);
    d->context.doneCurrent();
    for (int y = 0; y < image.height(); ++y) {
        uchar* row = image.scanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            row[x * kBytesPerPixel + 3] = 0xff;
        }
    }
    // OpenGL's rows run bottom to top.
    image.reinterpretAsFormat(QImage::Format_RGBX8888);
    return image.mirrored();
}

int OffscreenMTKView::presentedFrames() const {
    return d->drawable.presented();
}
