#include "GlRenderCommandEncoder.h"

#include "GlBuffer.h"
#include "GlPipelineState.h"
#include "GlTexture.h"

#include <QOpenGLContext>
#include <QOpenGLFunctions_4_1_Core>
#include <QVariant>

namespace gl {

namespace {

// Vertex array objects are not shared between contexts, and the core profile draws
// nothing without one bound, so each context gets its own, kept as a property of the
// context: it goes away together with the context.
constexpr char kVertexArrayProperty[] = "voxviewVertexArray";
constexpr GLuint kTextureUnits = 4;

GLenum blendFactor(gpu::BlendFactor factor) {
    switch (factor) {
    case gpu::BlendFactor::Zero:
        return GL_ZERO;
    case gpu::BlendFactor::One:
        return GL_ONE;
    case gpu::BlendFactor::SourceColor:
        return GL_SRC_COLOR;
    case gpu::BlendFactor::OneMinusSourceColor:
        return GL_ONE_MINUS_SRC_COLOR;
    case gpu::BlendFactor::SourceAlpha:
        return GL_SRC_ALPHA;
    case gpu::BlendFactor::OneMinusSourceAlpha:
        return GL_ONE_MINUS_SRC_ALPHA;
    }
    return GL_ONE;
}

GLenum blendEquation(gpu::BlendOperation operation) {
    switch (operation) {
    case gpu::BlendOperation::Add:
        return GL_FUNC_ADD;
    }
    return GL_FUNC_ADD;
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

} // namespace

GlRenderCommandEncoder::GlRenderCommandEncoder(QOpenGLContext& context, QOpenGLFunctions_4_1_Core& gl,
                                               std::shared_ptr<GlInlineBytes> inlineBytes,
                                               const gpu::RenderPassDescriptor& pass)
    : m_gl(gl), m_inlineBytes(std::move(inlineBytes)) {
    m_gl.glBindFramebuffer(GL_FRAMEBUFFER, static_cast<GLuint>(pass.nativeTarget));
    m_gl.glViewport(0, 0, static_cast<GLsizei>(pass.width), static_cast<GLsizei>(pass.height));
    m_gl.glDisable(GL_DEPTH_TEST);
    m_gl.glDisable(GL_STENCIL_TEST);
    m_gl.glDisable(GL_SCISSOR_TEST);
    m_gl.glDisable(GL_CULL_FACE);
    m_gl.glDisable(GL_BLEND);
    m_gl.glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    if (pass.clear) {
        const gpu::ClearColor& c = pass.clearColor;
        m_gl.glClearColor(static_cast<GLfloat>(c.red), static_cast<GLfloat>(c.green),
                          static_cast<GLfloat>(c.blue), static_cast<GLfloat>(c.alpha));
        m_gl.glClear(GL_COLOR_BUFFER_BIT);
    }
    m_gl.glBindVertexArray(vertexArrayOf(context, m_gl));
}

GlRenderCommandEncoder::~GlRenderCommandEncoder() {
    endEncoding();
}

void GlRenderCommandEncoder::setRenderPipelineState(const gpu::RenderPipelineState& state) {
    const auto* pipeline = dynamic_cast<const GlPipelineState*>(&state);
    if (m_ended || pipeline == nullptr) {
        return;
    }
    m_gl.glUseProgram(pipeline->program());
    const gpu::RenderPipelineColorAttachmentDescriptor& blend = pipeline->colorAttachment();
    if (!blend.blendingEnabled) {
        m_gl.glDisable(GL_BLEND);
        return;
    }
    m_gl.glEnable(GL_BLEND);
    m_gl.glBlendEquationSeparate(blendEquation(blend.rgbBlendOperation),
                                 blendEquation(blend.alphaBlendOperation));
    m_gl.glBlendFuncSeparate(
        blendFactor(blend.sourceRGBBlendFactor), blendFactor(blend.destinationRGBBlendFactor),
        blendFactor(blend.sourceAlphaBlendFactor), blendFactor(blend.destinationAlphaBlendFactor));
}

void GlRenderCommandEncoder::setVertexBuffer(const gpu::Buffer* buffer, std::size_t offset,
                                             std::size_t index) {
    const auto* glBuffer = dynamic_cast<const GlBuffer*>(buffer);
    if (m_ended || glBuffer == nullptr || offset >= glBuffer->length() || index >= GlInlineBytes::kIndices) {
        return;
    }
    m_gl.glBindBufferRange(GL_UNIFORM_BUFFER, static_cast<GLuint>(index), glBuffer->name(),
                           static_cast<GLintptr>(offset),
                           static_cast<GLsizeiptr>(glBuffer->length() - offset));
}

void GlRenderCommandEncoder::setVertexBytes(const void* bytes, std::size_t length, std::size_t index) {
    if (!m_ended) {
        m_inlineBytes->bind(m_gl, bytes, length, index);
    }
}

void GlRenderCommandEncoder::setFragmentTexture(const gpu::Texture* texture, std::size_t index) {
    if (m_ended || index >= kTextureUnits) {
        return;
    }
    const auto* glTexture = dynamic_cast<const GlTexture*>(texture);
    m_gl.glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(index));
    m_gl.glBindSampler(static_cast<GLuint>(index), 0);
    m_gl.glBindTexture(GL_TEXTURE_3D, glTexture != nullptr ? glTexture->name() : 0);
    m_gl.glActiveTexture(GL_TEXTURE0);
}

void GlRenderCommandEncoder::drawPrimitives(gpu::PrimitiveType type, std::size_t vertexStart,
                                            std::size_t vertexCount) {
    if (m_ended || type != gpu::PrimitiveType::Triangle) {
        return;
    }
    m_gl.glDrawArrays(GL_TRIANGLES, static_cast<GLint>(vertexStart), static_cast<GLsizei>(vertexCount));
}

void GlRenderCommandEncoder::endEncoding() {
    if (m_ended) {
        return;
    }
    m_ended = true;
    m_gl.glUseProgram(0);
    m_gl.glBindVertexArray(0);
    m_gl.glDisable(GL_BLEND);
    for (GLuint unit = 0; unit < kTextureUnits; ++unit) {
        m_gl.glActiveTexture(GL_TEXTURE0 + unit);
        m_gl.glBindTexture(GL_TEXTURE_3D, 0);
    }
    m_gl.glActiveTexture(GL_TEXTURE0);
    m_gl.glBindBuffer(GL_UNIFORM_BUFFER, 0);
}

} // namespace gl
