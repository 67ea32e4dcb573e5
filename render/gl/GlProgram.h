#pragma once

#include "render/ShaderTypes.h"
#include "render/gpu/Gpu.h"

#include <memory>
#include <string>

class QOpenGLFunctions_4_1_Core;

// Shader programs. GLSL 4.1 cannot state bindings in the source, so they follow from
// names: each uniform block and sampler of kUniformBlockBindings and kTextureBindings
// reads what is bound at its index.
namespace gl {

constexpr unsigned kBindingIndices = kUniformBlockBindings.size();
constexpr unsigned kTextureUnits = kTextureBindings.size();

// The application's shaders, embedded as Qt resources under ":/shaders": the function
// named "vertexShader" is the file vertexShader.vert, "fragmentShader" is
// fragmentShader.frag. Null when the resources are not linked into the program.
std::unique_ptr<gpu::Library> loadDefaultLibrary();

// The linked program of the descriptor's two functions; 0, with the compiler's or
// linker's log in *error, when it cannot be built.
unsigned linkProgram(QOpenGLFunctions_4_1_Core& gl, const gpu::RenderPipelineDescriptor& descriptor,
                     std::string* error);

} // namespace gl
