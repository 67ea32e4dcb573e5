#include "render/gl/GlContextProvider.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions_4_1_Core>
#include <QOpenGLVersionFunctionsFactory>
#include <QThread>

namespace gl {

namespace {

constexpr int kRequiredMajor = 4;
constexpr int kRequiredMinor = 1;

QOpenGLFunctions_4_1_Core* functionsOf(QOpenGLContext& context) {
    auto* functions = QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_4_1_Core>(&context);
    if (functions == nullptr || !functions->initializeOpenGLFunctions()) {
        return nullptr;
    }
    return functions;
}

// Qt's format() is not trusted here: some platforms hand out a compatibility context
// that reports itself as core, and the shaders need the core profile's rules.
bool checkCoreProfile(QOpenGLContext& context, QSurface& surface, QString* error) {
    if (!context.makeCurrent(&surface)) {
        *error = QStringLiteral("the OpenGL context cannot be made current");
        return false;
    }
    QOpenGLFunctions_4_1_Core* gl = functionsOf(context);
    GLint major = 0, minor = 0, profile = 0;
    if (gl != nullptr) {
        gl->glGetIntegerv(GL_MAJOR_VERSION, &major);
        gl->glGetIntegerv(GL_MINOR_VERSION, &minor);
        gl->glGetIntegerv(GL_CONTEXT_PROFILE_MASK, &profile);
    } else {
        // Without the 4.1 entry points, name the version the context reports of itself.
        major = context.format().majorVersion();
        minor = context.format().minorVersion();
        profile = context.format().profile() == QSurfaceFormat::CoreProfile ? GL_CONTEXT_CORE_PROFILE_BIT : 0;
    }
    context.doneCurrent();
    const bool recentEnough = major > kRequiredMajor || (major == kRequiredMajor && minor >= kRequiredMinor);
    if (gl == nullptr || !recentEnough || (profile & GL_CONTEXT_CORE_PROFILE_BIT) == 0) {
        *error = QStringLiteral("OpenGL %1.%2 %3 profile found, 4.1 core needed")
                     .arg(major)
                     .arg(minor)
                     .arg((profile & GL_CONTEXT_CORE_PROFILE_BIT) != 0 ? QStringLiteral("core")
                                                                       : QStringLiteral("compatibility"));
        return false;
    }
    return true;
}

std::unique_ptr<QOffscreenSurface> makeSurface(const QSurfaceFormat& format) {
    auto surface = std::make_unique<QOffscreenSurface>();
    surface->setFormat(format);
    surface->create();
    return surface->isValid() ? std::move(surface) : nullptr;
}

} // namespace

std::shared_ptr<GlContextProvider> GlContextProvider::create(QString* error) {
    QOpenGLContext* global = QOpenGLContext::globalShareContext();
    if (global == nullptr) {
        *error = QStringLiteral("no global share context: Qt::AA_ShareOpenGLContexts must be set "
                                "before the application object is created");
        return nullptr;
    }
    std::shared_ptr<GlContextProvider> provider(new GlContextProvider);
    provider->m_context = std::make_unique<QOpenGLContext>();
    provider->m_context->setShareContext(global);
    provider->m_context->setFormat(QSurfaceFormat::defaultFormat());
    if (!provider->m_context->create()) {
        *error = QStringLiteral("no OpenGL context could be created");
        return nullptr;
    }
    provider->m_surface = makeSurface(provider->m_context->format());
    provider->m_workerSurface = makeSurface(provider->m_context->format());
    if (!provider->m_surface || !provider->m_workerSurface) {
        *error = QStringLiteral("no offscreen surface could be created");
        return nullptr;
    }
    if (!checkCoreProfile(*provider->m_context, *provider->m_surface, error)) {
        return nullptr;
    }
    return provider;
}

GlContextProvider::~GlContextProvider() = default;

QOpenGLFunctions_4_1_Core* GlContextProvider::currentSharingFunctions() {
    QOpenGLContext* current = QOpenGLContext::currentContext();
    QOpenGLContext* global = QOpenGLContext::globalShareContext();
    if (current == nullptr || global == nullptr || !QOpenGLContext::areSharing(current, global)) {
        return nullptr;
    }
    return functionsOf(*current);
}

GlContextProvider::Scope::Scope(GlContextProvider& provider) {
    m_functions = currentSharingFunctions();
    if (m_functions != nullptr) {
        return;
    }
    m_previous = QOpenGLContext::currentContext();
    m_previousSurface = m_previous != nullptr ? m_previous->surface() : nullptr;

    QOpenGLContext* target = provider.m_context.get();
    QSurface* surface = provider.m_surface.get();
    if (QThread::currentThread() != provider.m_context->thread()) {
        // A context belongs to the thread that made it, so a pool thread gets its own,
        // sharing with the device's; one at a time, since they share one surface.
        m_workerLock = std::unique_lock(provider.m_workerMutex);
        m_workerContext = std::make_unique<QOpenGLContext>();
        m_workerContext->setShareContext(provider.m_context.get());
        m_workerContext->setFormat(provider.m_context->format());
        if (!m_workerContext->create()) {
            qWarning("OpenGL: no context could be created for a worker thread");
            return;
        }
        target = m_workerContext.get();
        surface = provider.m_workerSurface.get();
    }
    if (!target->makeCurrent(surface)) {
        qWarning("OpenGL: the device's context cannot be made current");
        return;
    }
    m_madeCurrent = target;
    m_functions = functionsOf(*target);
}

GlContextProvider::Scope::~Scope() {
    if (m_madeCurrent == nullptr) {
        return;
    }
    if (m_functions != nullptr) {
        m_functions->glFinish();
    }
    if (m_previous != nullptr && m_previousSurface != nullptr) {
        m_previous->makeCurrent(m_previousSurface);
    } else {
        m_madeCurrent->doneCurrent();
    }
}

} // namespace gl
