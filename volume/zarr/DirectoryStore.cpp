#include "volume/zarr/DirectoryStore.h"

#include "volume/files/RegularFile.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

DirectoryStore::DirectoryStore(const QString& folder) : m_folder(QFileInfo(folder).canonicalFilePath()) {}

bool DirectoryStore::isSafeKey(const QString& key) {
    if (key.isEmpty() || key.contains(QLatin1Char('\\')) || key.contains(QLatin1Char(':')) ||
        key.contains(QChar(0)))
        return false;
    const QStringList parts = key.split(QLatin1Char('/'));
    for (const QString& part : parts)
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    return true;
}

std::variant<QString, ChunkStore::Missing, QString> DirectoryStore::pathOf(const QString& key) const {
    using Result = std::variant<QString, Missing, QString>;
    if (m_folder.isEmpty())
        return Result(std::in_place_index<2>, QStringLiteral("the store's folder does not exist"));
    if (!isSafeKey(key))
        return Result(std::in_place_index<2>,
                      QStringLiteral("the key \"%1\" leads out of the store").arg(key));
    const QFileInfo info(m_folder + QLatin1Char('/') + key);
    if (!info.exists() && !info.isSymLink())
        return Missing{};
    const QString resolved = info.canonicalFilePath();
    if (resolved.isEmpty() || !resolved.startsWith(m_folder + QLatin1Char('/')))
        return Result(std::in_place_index<2>, QStringLiteral("%1 links out of the store").arg(key));
    return Result(std::in_place_index<0>, resolved);
}

std::variant<RegularFile, ChunkStore::Missing, QString> DirectoryStore::open(const QString& key) const {
    const auto path = pathOf(key);
    if (std::holds_alternative<Missing>(path))
        return Missing{};
    if (path.index() == 2)
        return std::get<2>(path);
    ImportResult<RegularFile> file = RegularFile::open(std::get<0>(path));
    if (const auto* refusal = std::get_if<ImportRefusal>(&file))
        return refusal->reason;
    return std::move(std::get<RegularFile>(file));
}

ChunkStore::Bytes DirectoryStore::read(const QString& key, std::uint64_t maxBytes) const {
    auto file = open(key);
    if (std::holds_alternative<Missing>(file))
        return Missing{};
    if (const auto* reason = std::get_if<QString>(&file))
        return *reason;
    const RegularFile& opened = std::get<RegularFile>(file);
    if (opened.size() > maxBytes)
        return QStringLiteral("%1 holds %2 bytes, more than the %3 it can hold")
            .arg(key)
            .arg(opened.size())
            .arg(maxBytes);
    return readFrom(opened, key, {0, opened.size()});
}

ChunkStore::Bytes DirectoryStore::readRange(const QString& key, Range range) const {
    auto file = open(key);
    if (std::holds_alternative<Missing>(file))
        return Missing{};
    if (const auto* reason = std::get_if<QString>(&file))
        return *reason;
    return readFrom(std::get<RegularFile>(file), key, range);
}

ChunkStore::Bytes DirectoryStore::readFrom(const RegularFile& opened, const QString& key, Range range) {
    const std::uint64_t size = opened.size();
    const std::uint64_t suffix = range.offset < 0 ? static_cast<std::uint64_t>(-(range.offset + 1)) + 1 : 0;
    if (range.offset < 0) {
        if (suffix > size)
            return QStringLiteral("%1 holds %2 bytes, fewer than the last %3 asked for")
                .arg(key)
                .arg(size)
                .arg(suffix);
        range = {static_cast<std::int64_t>(size - suffix), suffix};
    }
    const auto offset = static_cast<std::uint64_t>(range.offset);
    if (offset > size || range.length > size - offset)
        return QStringLiteral("%1 holds %2 bytes and ends before %3 + %4")
            .arg(key)
            .arg(size)
            .arg(offset)
            .arg(range.length);
    QByteArray bytes(static_cast<qsizetype>(range.length), Qt::Uninitialized);
    const std::int64_t got = opened.readAt(offset, bytes.data(), range.length);
    if (got != static_cast<std::int64_t>(range.length))
        return QStringLiteral("%1 cannot be read (%2)")
            .arg(key,
                 got < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("it was cut short"));
    return bytes;
}
