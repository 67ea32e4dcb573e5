#pragma once

#include "gpu/Gpu.h"

#include <memory>
#include <string>

namespace gl {

enum class ShaderStage { Vertex, Fragment };

// A shader function: the GLSL source of one stage, compiled when a pipeline is made.
class GlFunction : public gpu::Function {
  public:
    GlFunction(std::string name, ShaderStage stage, std::string source)
        : m_name(std::move(name)), m_stage(stage), m_source(std::move(source)) {}

    const std::string& name() const override { return m_name; }
    ShaderStage stage() const { return m_stage; }
    const std::string& source() const { return m_source; }

  private:
    std::string m_name;
    ShaderStage m_stage;
    std::string m_source;
};

// The application's shaders, embedded as Qt resources under ":/shaders": a function named
// "vertexShader" is the file vertexShader.vert, "fragmentShader" is fragmentShader.frag.
class GlLibrary : public gpu::Library {
  public:
    // Null when the resources are not linked into the program.
    static std::unique_ptr<GlLibrary> defaultLibrary();

    std::unique_ptr<gpu::Function> newFunctionWithName(const std::string& name) override;
};

} // namespace gl
