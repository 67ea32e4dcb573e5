#pragma once

#include <QString>
#include <optional>

// The application's resource folder: "Resources" beside the executable, where
// the build writes the generated sample volumes. Tests point a Bundle at a
// temporary folder instead.
class Bundle {
  public:
    explicit Bundle(QString resourcesPath);

    // The bundle of the running executable (QCoreApplication::applicationDirPath()/Resources,
    // or the directory of the running executable when no application object exists yet).
    static Bundle mainBundle();

    // Locates "name.ext" in the resource folder; a name with a slash names a file in a
    // subfolder ("CThead/CThead" with "7" is CThead/CThead.7). Empty when the file is absent.
    std::optional<QString> URLForResource(const QString& name, const QString& ext) const;

    // Where a resource would be, whether or not it exists (for messages that say where we looked).
    QString pathForResource(const QString& name, const QString& ext) const;

    const QString& resourcesPath() const { return m_resourcesPath; }

  private:
    QString m_resourcesPath;
};
