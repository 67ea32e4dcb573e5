#include "render/gl/GlProgram.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QOpenGLFunctions_4_1_Core>
#include <algorithm>
#include <vector>

namespace gl {

namespace {

const QString kShaderFolder = QStringLiteral(":/shaders");

// Compiler and linker logs span several lines; the caller reports them as one.
std::string oneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0' || text.back() == ' ')) {
        text.pop_back();
    }
    std::replace(text.begin(), text.end(), '\n', ' ');
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

GLuint compile(QOpenGLFunctions_4_1_Core& gl, GLenum type, const gpu::Function& function,
               std::string* error) {
    const GLuint shader = gl.glCreateShader(type);
    const char* source = function.source.c_str();
    gl.glShaderSource(shader, 1, &source, nullptr);
    gl.glCompileShader(shader);
    GLint compiled = GL_FALSE;
    gl.glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
    if (compiled != GL_TRUE) {
        *error = "shader \"" + function.name + "\" does not compile: " + shaderLog(gl, shader);
        gl.glDeleteShader(shader);
        return 0;
    }
    return shader;
}

void bindByName(QOpenGLFunctions_4_1_Core& gl, GLuint program) {
    for (const ShaderBinding& block : kUniformBlockBindings) {
        const GLuint blockIndex = gl.glGetUniformBlockIndex(program, block.name);
        if (blockIndex != GL_INVALID_INDEX) {
            gl.glUniformBlockBinding(program, blockIndex, static_cast<GLuint>(block.index));
        }
    }
    for (const ShaderBinding& sampler : kTextureBindings) {
        const GLint location = gl.glGetUniformLocation(program, sampler.name);
        if (location >= 0) {
            gl.glProgramUniform1i(program, location, static_cast<GLint>(sampler.index));
        }
    }
}

} // namespace

std::unique_ptr<gpu::Library> loadDefaultLibrary() {
    std::vector<gpu::Function> functions;
    for (QDirIterator files(kShaderFolder, QDir::Files); files.hasNext();) {
        QFile file(files.next());
        if (file.open(QIODevice::ReadOnly)) {
            functions.push_back(
                {QFileInfo(file).completeBaseName().toStdString(), file.readAll().toStdString()});
        }
    }
    return functions.empty() ? nullptr : std::make_unique<gpu::Library>(std::move(functions));
}

unsigned linkProgram(QOpenGLFunctions_4_1_Core& gl, const gpu::RenderPipelineDescriptor& descriptor,
                     std::string* error) {
    if (descriptor.vertexFunction == nullptr || descriptor.fragmentFunction == nullptr) {
        *error = "pipeline \"" + descriptor.label + "\" needs a vertex and a fragment function";
        return 0;
    }
    const GLuint vertexShader = compile(gl, GL_VERTEX_SHADER, *descriptor.vertexFunction, error);
    const GLuint fragmentShader =
        vertexShader != 0 ? compile(gl, GL_FRAGMENT_SHADER, *descriptor.fragmentFunction, error) : 0;
    if (fragmentShader == 0) {
        gl.glDeleteShader(vertexShader);
        return 0;
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
        return 0;
    }
    bindByName(gl, program);
    return program;
}

} // namespace gl
