#pragma once

#include <QString>
#include <memory>
#include <mutex>

class QOffscreenSurface;
class QOpenGLContext;
class QOpenGLFunctions_4_1_Core;
class QSurface;

namespace gl {

// Gives the calling thread a current OpenGL context in Qt's global share group, so that
// the device's shared objects (textures, buffers, programs) can be made and released on
// any thread:
//  - a thread whose current context already shares with the group uses it (the view's
//    context while a frame is drawn);
//  - the thread that made the provider (the GUI thread) uses the device's own context on
//    the device's own offscreen surface;
//  - any other thread (an import on a pool thread) gets a short-lived context of its own
//    on a second offscreen surface made on the GUI thread; those uses are serialised.
// A scope that made a context current finishes its commands before it ends, so what it
// made is complete for every other context of the group.
class GlContextProvider {
  public:
    // Must run on the GUI thread after the application object exists. Null, with the
    // reason in *error, when no OpenGL 4.1 core context sharing with Qt's global share
    // context can be made.
    static std::shared_ptr<GlContextProvider> create(QString* error);
    ~GlContextProvider();

    GlContextProvider(const GlContextProvider&) = delete;
    GlContextProvider& operator=(const GlContextProvider&) = delete;

    class Scope {
      public:
        explicit Scope(GlContextProvider& provider);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

        // False when no context could be made current; gl() is then null.
        bool isValid() const { return m_functions != nullptr; }
        QOpenGLFunctions_4_1_Core* gl() const { return m_functions; }

      private:
        std::unique_lock<std::mutex> m_workerLock;
        std::unique_ptr<QOpenGLContext> m_workerContext;
        QOpenGLContext* m_madeCurrent = nullptr;
        QOpenGLContext* m_previous = nullptr;
        QSurface* m_previousSurface = nullptr;
        QOpenGLFunctions_4_1_Core* m_functions = nullptr;
    };

    // The functions of the context current on this thread when it shares with the
    // group (the view's context during a frame), otherwise null.
    static QOpenGLFunctions_4_1_Core* currentSharingFunctions();

  private:
    GlContextProvider() = default;

    std::unique_ptr<QOpenGLContext> m_context;
    std::unique_ptr<QOffscreenSurface> m_surface;
    std::unique_ptr<QOffscreenSurface> m_workerSurface;
    std::mutex m_workerMutex;
};

} // namespace gl
