#include "volume/files/OpenFileCache.h"

#include "volume/files/RegularFile.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

ImportRefusal cannotOpen(const QString& path, int error) {
    return ImportRefusal{QStringLiteral("Cannot read the data file %1: %2.")
                             .arg(QFileInfo(path).fileName(), QString::fromLocal8Bit(std::strerror(error)))};
}

} // namespace

OpenFileCache::Descriptor::~Descriptor() {
    ::close(m_fd);
}

void OpenFileCache::add(const QString& path) {
    m_files.push_back({path, nullptr, {}, false, 0, 0});
}

ImportResult<std::shared_ptr<const OpenFileCache::Descriptor>> OpenFileCache::open(std::size_t file) {
    std::lock_guard lock(m_mutex);
    File& entry = m_files[file];
    if (entry.descriptor) {
        m_recent.splice(m_recent.begin(), m_recent, entry.recent);
        return entry.descriptor;
    }
    // Opened again as at import: a regular file, never a pipe swapped in under its name.
    ImportResult<RegularFile> opened = RegularFile::open(entry.path);
    if (const auto* refusal = std::get_if<ImportRefusal>(&opened))
        return ImportRefusal{QStringLiteral("The data file %1").arg(refusal->reason)};
    const int fd = std::get<RegularFile>(opened).release();
    auto descriptor = std::make_shared<const Descriptor>(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return cannotOpen(entry.path, errno);
    if (entry.identified && (status.st_dev != entry.device || status.st_ino != entry.inode))
        return ImportRefusal{QStringLiteral("The data file %1 was replaced since it was opened.")
                                 .arg(QFileInfo(entry.path).fileName())};
    entry.identified = true;
    entry.device = status.st_dev;
    entry.inode = status.st_ino;
    entry.descriptor = descriptor;
    m_recent.push_front(file);
    entry.recent = m_recent.begin();
    if (m_recent.size() > m_capacity) {
        m_files[m_recent.back()].descriptor.reset();
        m_recent.pop_back();
    }
    return descriptor;
}
