#include "GlPipelineState.h"

#include "GlLibrary.h"

#include <QOpenGLFunctions_4_1_Core>
#include <algorithm>
#include <string>
#include <vector>

namespace gl {

namespace {

constexpr GLuint kBindingIndices = 8;
constexpr GLint kTextureIndices = 4;

// Compiler and linker logs span several lines; the caller reports them as one.
std::string oneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0' || text.back() == ' ')) {
        text.pop_back();
    }
    for (char& c : text) {
        if (c == '\n') {
            c = ' ';
        }
    }
    return text;
}

std::string shaderLog(QOpenGLFunctions_4_1_Core& gl, GLuint shader) {
    GLint length = 0;
    gl.glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
    std::vector<char> log(static_cast<std::size_t>(std::max(length, 1)), '\0');
    gl.glGetShaderInfoLog(shader, static_cast<GLsizei>(log.size()), nullptr, log.data());
    return oneLine(log.data());
}

std::string programLog(QOpenGLFunctions_4_1_Core& gl, GLuint program) {
    GLint length = 0;
    gl.glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
    std::vector<char> log(static_cast<std::size_t>(std::max(length, 1)), '\0');
    gl.glGetProgramInfoLog(program, static_cast<GLsizei>(log.size()), nullptr, log.data());
    return oneLine(log.data());
}

GLuint compile(QOpenGLFunctions_4_1_Core& gl, const GlFunction& function, std::string* error) {
    const GLenum type = function.stage() == ShaderStage::Vertex ? GL_VERTEX_SHADER : GL_FRAGMENT_SHADER;
    const GLuint shader = gl.glCreateShader(type);
    const char* source = function.source().c_str();
    gl.glShaderSource(shader, 1, &source, nullptr);
    gl.glCompileShader(shader);
    GLint compiled = GL_FALSE;
    gl.glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
    if (compiled != GL_TRUE) {
        *error = "shader \"" + function.name() + "\" does not compile: " + shaderLog(gl, shader);
        gl.glDeleteShader(shader);
        return 0;
    }
    return shader;
}

void bindByName(QOpenGLFunctions_4_1_Core& gl, GLuint program) {
    for (GLuint index = 0; index < kBindingIndices; ++index) {
        const std::string block = "Buffer" + std::to_string(index);
        const GLuint blockIndex = gl.glGetUniformBlockIndex(program, block.c_str());
        if (blockIndex != GL_INVALID_INDEX) {
            gl.glUniformBlockBinding(program, blockIndex, index);
        }
    }
    for (GLint unit = 0; unit < kTextureIndices; ++unit) {
        const std::string sampler = "Texture" + std::to_string(unit);
        const GLint location = gl.glGetUniformLocation(program, sampler.c_str());
        if (location >= 0) {
            gl.glProgramUniform1i(program, location, unit);
        }
    }
}

} // namespace

GlPipelineState::GlPipelineState(std::shared_ptr<GlContextProvider> contexts,
                                 const gpu::RenderPipelineDescriptor& descriptor)
    : m_contexts(std::move(contexts)), m_label(descriptor.label),
      m_colorAttachment(descriptor.colorAttachments[0]) {}

std::shared_ptr<GlPipelineState> GlPipelineState::create(std::shared_ptr<GlContextProvider> contexts,
                                                         const gpu::RenderPipelineDescriptor& descriptor,
                                                         std::string* error) {
    const auto* vertex = dynamic_cast<const GlFunction*>(descriptor.vertexFunction);
    const auto* fragment = dynamic_cast<const GlFunction*>(descriptor.fragmentFunction);
    if (vertex == nullptr || fragment == nullptr || vertex->stage() != ShaderStage::Vertex ||
        fragment->stage() != ShaderStage::Fragment) {
        *error = "pipeline \"" + descriptor.label + "\" needs a vertex and a fragment function";
        return nullptr;
    }
    std::shared_ptr<GlPipelineState> state(new GlPipelineState(contexts, descriptor));
    GlContextProvider::Scope scope(*contexts);
    if (!scope.isValid()) {
        *error = "no OpenGL context";
        return nullptr;
    }
    QOpenGLFunctions_4_1_Core& gl = *scope.gl();
    const GLuint vertexShader = compile(gl, *vertex, error);
    const GLuint fragmentShader = vertexShader != 0 ? compile(gl, *fragment, error) : 0;
    if (fragmentShader == 0) {
        gl.glDeleteShader(vertexShader);
        return nullptr;
    }
    const GLuint program = gl.glCreateProgram();
    gl.glAttachShader(program, vertexShader);
    gl.glAttachShader(program, fragmentShader);
    gl.glLinkProgram(program);
    gl.glDetachShader(program, vertexShader);
    gl.glDetachShader(program, fragmentShader);
    gl.glDeleteShader(vertexShader);
    gl.glDeleteShader(fragmentShader);
    GLint linked = GL_FALSE;
    gl.glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (linked != GL_TRUE) {
        *error = "pipeline \"" + descriptor.label + "\" does not link: " + programLog(gl, program);
        gl.glDeleteProgram(program);
        return nullptr;
    }
    bindByName(gl, program);
    state->m_program = program;
    return state;
}

GlPipelineState::~GlPipelineState() {
    if (m_program == 0) {
        return;
    }
    GlContextProvider::Scope scope(*m_contexts);
    if (scope.isValid()) {
        scope.gl()->glDeleteProgram(m_program);
    }
}

} // namespace gl
