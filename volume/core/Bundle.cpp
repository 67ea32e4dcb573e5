#include "volume/core/Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <utility>

namespace {

constexpr auto kResourcesFolder = "Resources";

// Without an application object (a command-line tool, a static initialiser) the
// executable's own location still tells us where its Resources folder is.
QString executableDirectory() {
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    const QFileInfo executable(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
    return executable.absolutePath();
}

} // namespace

Bundle::Bundle(QString resourcesPath) : m_resourcesPath(std::move(resourcesPath)) {}

Bundle Bundle::mainBundle() {
    return Bundle(QDir(executableDirectory()).filePath(kResourcesFolder));
}

QString Bundle::pathForResource(const QString& name, const QString& ext) const {
    const QString fileName = ext.isEmpty() ? name : name + u'.' + ext;
    return QDir(m_resourcesPath).filePath(fileName);
}

std::optional<QString> Bundle::URLForResource(const QString& name, const QString& ext) const {
    const QString path = pathForResource(name, ext);
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    return path;
}
