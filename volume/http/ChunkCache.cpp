#include "volume/http/ChunkCache.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// The first line of every cached file; a file without it (another version's, a stranger's)
// is a miss.
constexpr char kMagic[] = "voxview-chunk 2\n";
// The length line of a missing key.
constexpr char kMissing[] = "missing";
// Trimming goes below the budget by a tenth, so that every store does not trim again.
constexpr std::uint64_t kLowWaterNumerator = 9;
constexpr std::uint64_t kLowWaterDenominator = 10;
// The header lines (key, ETag, Last-Modified, length) are at most this long.
constexpr qint64 kMaxHeaderLine = 8192;

bool fitsOnALine(const QByteArray& text) {
    return !text.contains('\n') && !text.contains('\r');
}

std::optional<QByteArray> readLine(QFile& file) {
    QByteArray line = file.readLine(kMaxHeaderLine);
    if (!line.endsWith('\n'))
        return std::nullopt;
    line.chop(1);
    return line;
}

} // namespace

ChunkCache::ChunkCache(QString folder, std::uint64_t budgetBytes)
    : m_folder(std::move(folder)), m_budgetBytes(budgetBytes) {
    if (m_budgetBytes == 0)
        return;
    QDir().mkpath(m_folder);
    std::uint64_t held = 0;
    for (const QFileInfo& file : QDir(m_folder).entryInfoList(QDir::Files))
        held += static_cast<std::uint64_t>(file.size());
    m_heldBytes = held;
}

QString ChunkCache::defaultFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/chunks");
}

QString ChunkCache::pathOf(const QString& key) const {
    const QByteArray digest = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex();
    return m_folder + QLatin1Char('/') + QString::fromLatin1(digest) + QStringLiteral(".chunk");
}

std::optional<ChunkCache::Entry> ChunkCache::find(const QString& key, std::uint64_t maxBytes) const {
    if (m_budgetBytes == 0)
        return std::nullopt;
    QFile file(pathOf(key));
    if (!file.open(QIODevice::ReadOnly) || file.read(sizeof kMagic - 1) != kMagic)
        return std::nullopt;
    const auto storedKey = readLine(file);
    const auto etag = readLine(file);
    const auto lastModified = readLine(file);
    const auto freshUntil = readLine(file);
    const auto lengthText = readLine(file);
    if (!storedKey || *storedKey != key.toUtf8() || !etag || !lastModified || !freshUntil || !lengthText)
        return std::nullopt;
    bool valid = false;
    if (*lengthText == kMissing) {
        const qint64 until = freshUntil->toLongLong(&valid);
        if (!valid || file.pos() != file.size())
            return std::nullopt;
        return Entry{{}, *etag, *lastModified, true, QDateTime::fromMSecsSinceEpoch(until, Qt::UTC)};
    }
    const qulonglong length = lengthText->toULongLong(&valid);
    if (!valid || length > maxBytes || length != static_cast<qulonglong>(file.size() - file.pos()))
        return std::nullopt;
    Entry entry{file.read(static_cast<qint64>(length)), *etag, *lastModified, false, {}};
    if (static_cast<qulonglong>(entry.value.size()) != length)
        return std::nullopt;
    // Its modification time is when it was last used: what trimming goes by.
    file.setFileTime(QDateTime::currentDateTimeUtc(), QFileDevice::FileModificationTime);
    return entry;
}

void ChunkCache::store(const QString& key, const Entry& entry) {
    const auto size = static_cast<std::uint64_t>(entry.value.size());
    const bool expires =
        entry.missing ? entry.freshUntil.isValid() : !entry.etag.isEmpty() || !entry.lastModified.isEmpty();
    if (m_budgetBytes == 0 || size > m_budgetBytes || !expires || !fitsOnALine(entry.etag) ||
        !fitsOnALine(entry.lastModified))
        return;
    QSaveFile file(pathOf(key));
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(kMagic);
    const QByteArray freshUntil =
        entry.missing ? QByteArray::number(entry.freshUntil.toMSecsSinceEpoch()) : QByteArray();
    file.write(key.toUtf8() + '\n' + entry.etag + '\n' + entry.lastModified + '\n' + freshUntil + '\n' +
               (entry.missing ? QByteArray(kMissing) : QByteArray::number(size)) + '\n');
    file.write(entry.value);
    if (!file.commit())
        return;
    if (m_heldBytes.fetch_add(size) + size > m_budgetBytes)
        trim();
}

void ChunkCache::trim() {
    const std::lock_guard guard(m_trimLock);
    if (m_heldBytes.load() <= m_budgetBytes)
        return;
    // Every process on the folder counts its own writes only: count the folder again.
    const QFileInfoList files = QDir(m_folder).entryInfoList(QDir::Files, QDir::Time | QDir::Reversed);
    std::uint64_t held = 0;
    for (const QFileInfo& file : files)
        held += static_cast<std::uint64_t>(file.size());
    const std::uint64_t lowWater = m_budgetBytes / kLowWaterDenominator * kLowWaterNumerator;
    for (const QFileInfo& file : files) {
        if (held <= lowWater)
            break;
        if (QFile::remove(file.filePath()))
            held -= static_cast<std::uint64_t>(file.size());
    }
    m_heldBytes = held;
}
