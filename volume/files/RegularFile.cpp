#include "volume/files/RegularFile.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

QString nameOf(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? path : name;
}

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

ImportRefusal notRegular(const QString& path, mode_t mode) {
    QString kind = QStringLiteral("neither a file nor a folder");
    if (S_ISDIR(mode))
        kind = QStringLiteral("a folder");
    else if (S_ISFIFO(mode))
        kind = QStringLiteral("a named pipe (FIFO)");
    else if (S_ISSOCK(mode))
        kind = QStringLiteral("a socket");
    else if (S_ISCHR(mode))
        kind = QStringLiteral("a character device");
    else if (S_ISBLK(mode))
        kind = QStringLiteral("a block device");
    return ImportRefusal{QStringLiteral("%1 is not a regular file: it is %2.").arg(nameOf(path), kind)};
}

// Why stat() or open() failed with `error`: a missing file, a link to one, or the
// system's words.
ImportRefusal unreadable(const QString& path, int error) {
    if (error == ENOENT || error == ENOTDIR) {
        struct stat link {};
        if (::lstat(QFile::encodeName(path).constData(), &link) == 0 && S_ISLNK(link.st_mode))
            return ImportRefusal{QStringLiteral("%1 is a link to %2, which does not exist.")
                                     .arg(nameOf(path), QFileInfo(path).symLinkTarget())};
        return ImportRefusal{QStringLiteral("%1 does not exist.").arg(nameOf(path))};
    }
    return ImportRefusal{QStringLiteral("%1 cannot be read: %2.").arg(nameOf(path), systemError(error))};
}

} // namespace

ImportResult<std::uint64_t> RegularFile::sizeOf(const QString& path) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return unreadable(path, errno);
    if (!S_ISREG(status.st_mode))
        return notRegular(path, status.st_mode);
    return static_cast<std::uint64_t>(status.st_size);
}

ImportResult<RegularFile> RegularFile::open(const QString& path) {
    // Checked before the open too: opening some devices has effects of its own.
    const ImportResult<std::uint64_t> checked = sizeOf(path);
    if (const auto* refusal = std::get_if<ImportRefusal>(&checked))
        return *refusal;
    const int descriptor =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        return unreadable(path, errno);
    RegularFile file(descriptor, 0);
    struct stat status {};
    if (::fstat(descriptor, &status) != 0)
        return unreadable(path, errno);
    if (!S_ISREG(status.st_mode))
        return notRegular(path, status.st_mode);
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return unreadable(path, errno);
    file.m_size = static_cast<std::uint64_t>(status.st_size);
    return file;
}

QByteArray RegularFile::sniff(const QString& path, std::uint64_t bytes) {
    ImportResult<RegularFile> file = open(path);
    if (const auto* opened = std::get_if<RegularFile>(&file)) {
        ImportResult<QByteArray> start = opened->head(bytes);
        if (auto* read = std::get_if<QByteArray>(&start))
            return std::move(*read);
    }
    return {};
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : m_descriptor(std::exchange(other.m_descriptor, -1)), m_size(other.m_size) {}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
    if (this != &other) {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
        m_descriptor = std::exchange(other.m_descriptor, -1);
        m_size = other.m_size;
    }
    return *this;
}

RegularFile::~RegularFile() {
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

int RegularFile::release() {
    return std::exchange(m_descriptor, -1);
}

std::int64_t RegularFile::readAt(std::uint64_t offset, char* into, std::uint64_t bytes) const {
    const std::uint64_t wanted = offset < m_size ? std::min(bytes, m_size - offset) : 0;
    std::uint64_t done = 0;
    while (done < wanted) {
        const ssize_t got =
            ::pread(m_descriptor, into + done, wanted - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<std::uint64_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

ImportResult<QByteArray> RegularFile::head(std::uint64_t bytes) const {
    QByteArray start(static_cast<qsizetype>(std::min(bytes, m_size)), Qt::Uninitialized);
    const std::int64_t got = readAt(0, start.data(), static_cast<std::uint64_t>(start.size()));
    if (got < 0)
        return ImportRefusal{systemError(errno)};
    start.truncate(static_cast<qsizetype>(got));
    return start;
}
