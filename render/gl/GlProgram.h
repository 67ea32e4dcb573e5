#pragma once

#include "gpu/Gpu.h"

#include <memory>
#include <string>

class QOpenGLFunctions_4_1_Core;

// Shader programs. GLSL 4.1 cannot state bindings in the source, so they follow from
// names: a uniform block named BufferN reads what is bound at index N, and a sampler
// named TextureN reads texture unit N.
namespace gl {

constexpr unsigned kBindingIndices = 4;
constexpr unsigned kTextureUnits = 3;

// The application's shaders, embedded as Qt resources under ":/shaders": the function
// named "vertexShader" is the file vertexShader.vert, "fragmentShader" is
// fragmentShader.frag. Null when the resources are not linked into the program.
std::unique_ptr<gpu::Library> loadDefaultLibrary();

// The linked program of the descriptor's two functions; 0, with the compiler's or
// linker's log in *error, when it cannot be built.
unsigned linkProgram(QOpenGLFunctions_4_1_Core& gl, const gpu::RenderPipelineDescriptor& descriptor,
                     std::string* error);

} // namespace gl
