#include "ScratchFolder.h"

#include <QDir>
#include <QFile>

void ScratchFolder::clear() const {
    QDir folder(m_dir.path());
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden))
        folder.remove(name);
}

QString ScratchFolder::write(const QString& name, const std::uint8_t* data, std::size_t size) const {
    QFile file(path(name));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) !=
            static_cast<qint64>(size))
        __builtin_trap(); // the fuzz run would test nothing
    return file.fileName();
}
