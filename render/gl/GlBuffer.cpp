#include "GlBuffer.h"

#include <QOpenGLFunctions_4_1_Core>
#include <algorithm>
#include <cstring>

namespace gl {

namespace {

// Enough for the frames in flight of a few views; more kept objects would only hold memory.
constexpr std::size_t kMaxKeptBuffers = 8;

} // namespace

GlBufferPool::~GlBufferPool() {
    GlContextProvider::Scope scope(*m_contexts);
    if (!scope.isValid()) {
        return;
    }
    for (const Kept& kept : m_kept) {
        scope.gl()->glDeleteBuffers(1, &kept.name);
    }
}

unsigned GlBufferPool::acquire(const void* bytes, std::size_t length) {
    std::lock_guard lock(m_mutex);
    const auto matches = [&](const Kept& kept) {
        return !kept.inUse && static_cast<std::size_t>(kept.contents.size()) == length &&
               std::memcmp(kept.contents.constData(), bytes, length) == 0;
    };
    if (auto found = std::find_if(m_kept.begin(), m_kept.end(), matches); found != m_kept.end()) {
        found->inUse = true;
        return found->name;
    }
    GlContextProvider::Scope scope(*m_contexts);
    if (!scope.isValid()) {
        return 0;
    }
    QOpenGLFunctions_4_1_Core& gl = *scope.gl();
    Kept made;
    gl.glGenBuffers(1, &made.name);
    gl.glBindBuffer(GL_COPY_WRITE_BUFFER, made.name);
    gl.glBufferData(GL_COPY_WRITE_BUFFER, static_cast<GLsizeiptr>(length), bytes, GL_STATIC_DRAW);
    gl.glBindBuffer(GL_COPY_WRITE_BUFFER, 0);
    made.contents = QByteArray(static_cast<const char*>(bytes), static_cast<qsizetype>(length));
    made.inUse = true;
    m_kept.push_back(std::move(made));
    return m_kept.back().name;
}

void GlBufferPool::release(unsigned name) {
    std::lock_guard lock(m_mutex);
    auto found =
        std::find_if(m_kept.begin(), m_kept.end(), [&](const Kept& kept) { return kept.name == name; });
    if (found == m_kept.end()) {
        return;
    }
    found->inUse = false;
    if (m_kept.size() <= kMaxKeptBuffers) {
        return;
    }
    GlContextProvider::Scope scope(*m_contexts);
    if (scope.isValid()) {
        scope.gl()->glDeleteBuffers(1, &found->name);
    }
    m_kept.erase(found);
}

} // namespace gl
