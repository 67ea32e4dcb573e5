#include "render/gl/GlEncoder.h"

#include "render/gl/GlContextProvider.h"
#include "render/gl/GlProgram.h"

#include <QOpenGLContext>
#include <QOpenGLFunctions_4_1_Core>
#include <QVariant>
#include <algorithm>
#include <vector>

namespace gl {

namespace {

// Vertex array objects are not shared between contexts, and the core profile draws
// nothing without one bound, so each context gets its own, kept as a property of the
// context: it goes away together with the context.
constexpr char kVertexArrayProperty[] = "voxviewVertexArray";
// Room for the largest bytes a draw sets (the proxy cube's 1,152); a multiple of every
// uniform buffer offset alignment OpenGL implementations ask for.
constexpr std::size_t kSlotBytes = 2048;

constexpr GLenum kBlendEquations[] = {GL_FUNC_ADD};
constexpr GLenum kBlendFactors[] = {GL_ZERO, GL_ONE, GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA};
constexpr GLenum kPrimitives[] = {GL_TRIANGLES};

template <typename E, std::size_t N> GLenum glValue(const GLenum (&table)[N], E value) {
    return table[static_cast<std::size_t>(value)];
}

GLuint vertexArrayOf(QOpenGLContext& context, QOpenGLFunctions_4_1_Core& gl) {
    const QVariant kept = context.property(kVertexArrayProperty);
    if (kept.isValid()) {
        return kept.toUInt();
    }
    GLuint vertexArray = 0;
    gl.glGenVertexArrays(1, &vertexArray);
    context.setProperty(kVertexArrayProperty, vertexArray);
    return vertexArray;
}

// The framebuffers made for render-target textures in one context (framebuffers are not
// shared between contexts), kept with the context so that a frame makes none: each is
// checked complete once, when made. Keyed by the texture's serial, since a released
// texture's name goes to the next one made while a framebuffer still holds the old one. The
// few most recently used stay; a frame uses at most two.
class KeptFramebuffers : public QObject {
  public:
    static constexpr std::size_t kKept = 4;

    using QObject::QObject;

    // The context's own, made on first use and destroyed with it (its framebuffers go with it).
    static KeptFramebuffers& of(QOpenGLContext& context) {
        auto* kept = static_cast<KeptFramebuffers*>(context.property(kProperty).value<QObject*>());
        if (kept == nullptr) {
            kept = new KeptFramebuffers(&context);
            context.setProperty(kProperty, QVariant::fromValue(static_cast<QObject*>(kept)));
        }
        return *kept;
    }

    // 0 when the texture cannot be drawn into.
    GLuint framebuffer(QOpenGLFunctions_4_1_Core& gl, const gpu::Texture& texture) {
        const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                        [&](const Entry& entry) { return entry.serial == texture.serial(); });
        if (found != m_entries.end()) {
            std::rotate(m_entries.begin(), found, found + 1);
            return m_entries.front().framebuffer;
        }
        GLint previous = 0;
        gl.glGetIntegerv(GL_FRAMEBUFFER_BINDING, &previous);
        GLuint made = 0;
        gl.glGenFramebuffers(1, &made);
        gl.glBindFramebuffer(GL_FRAMEBUFFER, made);
        gl.glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D,
                                  static_cast<GLuint>(texture.handle()), 0);
        const bool complete = gl.glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
        gl.glBindFramebuffer(GL_FRAMEBUFFER, static_cast<GLuint>(previous));
        if (!complete) {
            gl.glDeleteFramebuffers(1, &made);
            return 0;
        }
        if (m_entries.size() == kKept) {
            gl.glDeleteFramebuffers(1, &m_entries.back().framebuffer);
            m_entries.pop_back();
        }
        m_entries.insert(m_entries.begin(), Entry{texture.serial(), made});
        return made;
    }

  private:
    static constexpr char kProperty[] = "voxviewKeptFramebuffers";
    struct Entry {
        std::uint64_t serial;
        GLuint framebuffer;
    };
    std::vector<Entry> m_entries; // most recently used first
};

// The framebuffer a pass draws into or is copied from: the view's own (the pass's native
// target), or the one kept for the pass's render-target texture in the current context.
// False when the texture cannot be drawn into.
bool framebufferOf(QOpenGLFunctions_4_1_Core& gl, const gpu::RenderPassDescriptor& pass,
                   GLuint* framebuffer) {
    if (pass.colorTexture == nullptr) {
        *framebuffer = static_cast<GLuint>(pass.nativeTarget);
        return true;
    }
    if (pass.colorTexture->descriptor().usage != gpu::TextureUsage::RenderTarget) {
        return false;
    }
    *framebuffer =
        KeptFramebuffers::of(*QOpenGLContext::currentContext()).framebuffer(gl, *pass.colorTexture);
    return *framebuffer != 0;
}

} // namespace

bool GlEncoder::begin() {
    m_gl = GlContextProvider::currentSharingFunctions();
    if (m_gl == nullptr) {
        qWarning("OpenGL: nothing drawn: no context sharing with the device is current");
        return false;
    }
    if (m_uniformBuffer == 0) {
        m_gl->glGenBuffers(1, &m_uniformBuffer);
        m_gl->glBindBuffer(GL_UNIFORM_BUFFER, m_uniformBuffer);
        m_gl->glBufferData(GL_UNIFORM_BUFFER, static_cast<GLsizeiptr>(kSlotBytes * kBindingIndices), nullptr,
                           GL_DYNAMIC_DRAW);
        m_gl->glBindBuffer(GL_UNIFORM_BUFFER, 0);
    }
    return true;
}

bool GlEncoder::beginPass(const gpu::RenderPassDescriptor& pass) {
    GLuint framebuffer = 0;
    if (!framebufferOf(*m_gl, pass, &framebuffer)) {
        qWarning("OpenGL: nothing drawn: the pass's render target cannot be bound");
        return false;
    }
    m_gl->glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    m_gl->glViewport(0, 0, static_cast<GLsizei>(pass.width), static_cast<GLsizei>(pass.height));
    m_gl->glDisable(GL_DEPTH_TEST);
    m_gl->glDisable(GL_STENCIL_TEST);
    m_gl->glDisable(GL_SCISSOR_TEST);
    m_gl->glDisable(GL_CULL_FACE);
    m_gl->glDisable(GL_BLEND);
    m_gl->glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    if (pass.clear) {
        const gpu::ClearColor& c = pass.clearColor;
        m_gl->glClearColor(static_cast<GLfloat>(c.red), static_cast<GLfloat>(c.green),
                           static_cast<GLfloat>(c.blue), static_cast<GLfloat>(c.alpha));
        m_gl->glClear(GL_COLOR_BUFFER_BIT);
    }
    m_gl->glBindVertexArray(vertexArrayOf(*QOpenGLContext::currentContext(), *m_gl));
    return true;
}

void GlEncoder::applyPipeline(const gpu::RenderPipelineState& pipeline) {
    m_gl->glUseProgram(static_cast<GLuint>(pipeline.handle()));
    const gpu::RenderPipelineColorAttachmentDescriptor& blend = pipeline.colorAttachment();
    if (!blend.blendingEnabled) {
        m_gl->glDisable(GL_BLEND);
        return;
    }
    m_gl->glEnable(GL_BLEND);
    m_gl->glBlendEquationSeparate(glValue(kBlendEquations, blend.rgbBlendOperation),
                                  glValue(kBlendEquations, blend.alphaBlendOperation));
    m_gl->glBlendFuncSeparate(glValue(kBlendFactors, blend.sourceRGBBlendFactor),
                              glValue(kBlendFactors, blend.destinationRGBBlendFactor),
                              glValue(kBlendFactors, blend.sourceAlphaBlendFactor),
                              glValue(kBlendFactors, blend.destinationAlphaBlendFactor));
}

void GlEncoder::applyBytes(std::size_t index, const void* bytes, std::size_t length) {
    if (index >= kBindingIndices || bytes == nullptr || length == 0 || length > kSlotBytes) {
        qWarning("OpenGL: %zu bytes at binding index %zu skipped: no room for them", length, index);
        return;
    }
    const auto offset = static_cast<GLintptr>(index * kSlotBytes);
    m_gl->glBindBuffer(GL_UNIFORM_BUFFER, m_uniformBuffer);
    m_gl->glBufferSubData(GL_UNIFORM_BUFFER, offset, static_cast<GLsizeiptr>(length), bytes);
    m_gl->glBindBufferRange(GL_UNIFORM_BUFFER, static_cast<GLuint>(index), m_uniformBuffer, offset,
                            static_cast<GLsizeiptr>(kSlotBytes));
}

void GlEncoder::applyTexture(std::size_t index, const gpu::Texture* texture) {
    if (index >= kTextureUnits) {
        return;
    }
    m_gl->glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(index));
    m_gl->glBindSampler(static_cast<GLuint>(index), 0);
    m_gl->glBindTexture(GL_TEXTURE_3D, texture != nullptr ? static_cast<GLuint>(texture->handle()) : 0);
    m_gl->glActiveTexture(GL_TEXTURE0);
}

void GlEncoder::draw(gpu::PrimitiveType type, std::size_t vertexStart, std::size_t vertexCount) {
    m_gl->glDrawArrays(glValue(kPrimitives, type), static_cast<GLint>(vertexStart),
                       static_cast<GLsizei>(vertexCount));
}

void GlEncoder::endPass() {
    m_gl->glUseProgram(0);
    m_gl->glBindVertexArray(0);
    m_gl->glDisable(GL_BLEND);
    for (GLuint unit = 0; unit < kTextureUnits; ++unit) {
        m_gl->glActiveTexture(GL_TEXTURE0 + unit);
        m_gl->glBindTexture(GL_TEXTURE_3D, 0);
    }
    m_gl->glActiveTexture(GL_TEXTURE0);
    m_gl->glBindBuffer(GL_UNIFORM_BUFFER, 0);
}

void GlEncoder::copy(const gpu::RenderPassDescriptor& source, const gpu::RenderPassDescriptor& destination) {
    GLuint from = 0, to = 0;
    if (framebufferOf(*m_gl, source, &from) && framebufferOf(*m_gl, destination, &to)) {
        const bool sameSize = source.width == destination.width && source.height == destination.height;
        m_gl->glDisable(GL_SCISSOR_TEST);
        m_gl->glBindFramebuffer(GL_READ_FRAMEBUFFER, from);
        m_gl->glBindFramebuffer(GL_DRAW_FRAMEBUFFER, to);
        m_gl->glBlitFramebuffer(0, 0, static_cast<GLint>(source.width), static_cast<GLint>(source.height), 0,
                                0, static_cast<GLint>(destination.width),
                                static_cast<GLint>(destination.height), GL_COLOR_BUFFER_BIT,
                                sameSize ? GL_NEAREST : GL_LINEAR);
        const gpu::RenderPassDescriptor& view = destination.colorTexture == nullptr ? destination : source;
        m_gl->glBindFramebuffer(GL_FRAMEBUFFER,
                                view.colorTexture == nullptr ? static_cast<GLuint>(view.nativeTarget) : 0);
    } else {
        qWarning("OpenGL: copy between render targets skipped: a target cannot be bound");
    }
}

void GlEncoder::commit() {
    m_gl->glFlush();
}

void GlEncoder::release(QOpenGLFunctions_4_1_Core& gl) {
    if (m_uniformBuffer != 0) {
        gl.glDeleteBuffers(1, &m_uniformBuffer);
    }
}

} // namespace gl
