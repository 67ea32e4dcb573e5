#include "GlLibrary.h"

#include <QDir>
#include <QFile>

namespace gl {

namespace {

const QString kShaderFolder = QStringLiteral(":/shaders");

struct StageSuffix {
    const char* suffix;
    ShaderStage stage;
};
constexpr StageSuffix kStageSuffixes[] = {{".vert", ShaderStage::Vertex}, {".frag", ShaderStage::Fragment}};

} // namespace

std::unique_ptr<GlLibrary> GlLibrary::defaultLibrary() {
    if (!QDir(kShaderFolder).exists()) {
        return nullptr;
    }
    return std::make_unique<GlLibrary>();
}

std::unique_ptr<gpu::Function> GlLibrary::newFunctionWithName(const std::string& name) {
    for (const StageSuffix& candidate : kStageSuffixes) {
        QFile file(kShaderFolder + u'/' + QString::fromStdString(name) + QLatin1String(candidate.suffix));
        if (file.open(QIODevice::ReadOnly)) {
            return std::make_unique<GlFunction>(name, candidate.stage, file.readAll().toStdString());
        }
    }
    return nullptr;
}

} // namespace gl
