#include "volume/core/ByteBuffer.h"

#include "volume/files/RegularFile.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace {

// User files are read in pieces of this size: fine enough for progress and cancelling.
constexpr std::uint64_t kReadPiece = std::uint64_t{4} << 20;

} // namespace

// Either an owned QByteArray or a read-only map of a file that stays open for the
// map's life. Both are immutable once built, so any thread may read them.
struct ByteBuffer::Storage {
    QByteArray array;
    std::unique_ptr<QFile> mappedFile;
    uchar* mapped = nullptr;

    ~Storage() {
        if (mappedFile && mapped)
            mappedFile->unmap(mapped);
    }
};

ByteBuffer::ByteBuffer(std::shared_ptr<const Storage> storage, std::span<const std::byte> bytes)
    : m_storage(std::move(storage)), m_bytes(bytes) {}

QByteArray ByteBuffer::allocate(std::size_t bytes) {
    QByteArray array(static_cast<qsizetype>(bytes), Qt::Uninitialized);
    if (static_cast<std::size_t>(array.size()) != bytes)
        throw std::bad_alloc();
    return array;
}

ByteBuffer ByteBuffer::fromByteArray(QByteArray bytes) {
    auto storage = std::make_shared<Storage>();
    storage->array = std::move(bytes);
    const auto* begin = reinterpret_cast<const std::byte*>(storage->array.constData());
    const std::span<const std::byte> view(begin, static_cast<std::size_t>(storage->array.size()));
    return ByteBuffer(std::move(storage), view);
}

ByteBuffer ByteBuffer::mapFile(const QString& path, QString* error) {
    auto storage = std::make_shared<Storage>();
    storage->mappedFile = std::make_unique<QFile>(path);
    QFile& file = *storage->mappedFile;
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return {};
    }
    const qint64 size = file.size();
    if (size == 0)
        return fromByteArray(QByteArray());
    storage->mapped = file.map(0, size);
    if (!storage->mapped) {
        // Not mappable (a file system without maps): fall back to reading it.
        return readFile(path, error);
    }
    const std::span<const std::byte> view(reinterpret_cast<const std::byte*>(storage->mapped),
                                          static_cast<std::size_t>(size));
    return ByteBuffer(std::move(storage), view);
}

ByteBuffer ByteBuffer::readFile(const QString& path, QString* error, const ImportProgress& progress) {
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return ByteBuffer();
    };
    ImportResult<RegularFile> opened = RegularFile::open(path);
    if (const auto* refusal = std::get_if<ImportRefusal>(&opened))
        return fail(refusal->reason);
    const RegularFile& file = std::get<RegularFile>(opened);
    const std::uint64_t size = file.size();
    QByteArray bytes(static_cast<qsizetype>(size), Qt::Uninitialized);
    if (static_cast<std::uint64_t>(bytes.size()) != size)
        return fail(QStringLiteral("not enough memory for its %1 bytes").arg(size));
    std::uint64_t done = 0;
    while (done < size) {
        if (progress.stopRequested())
            return fail(QStringLiteral("the read was cancelled"));
        const std::int64_t got = file.readAt(done, bytes.data() + done, std::min(kReadPiece, size - done));
        if (got < 0)
            return fail(QString::fromLocal8Bit(std::strerror(errno)));
        if (got == 0)
            return fail(
                QStringLiteral("the file shrank from %1 to %2 bytes while it was read").arg(size).arg(done));
        done += static_cast<std::uint64_t>(got);
        progress.report(static_cast<double>(done) / static_cast<double>(size));
    }
    return fromByteArray(std::move(bytes));
}

ByteBuffer ByteBuffer::slice(std::size_t offset, std::size_t length) const {
    if (isNull())
        return {};
    const std::size_t start = std::min(offset, m_bytes.size());
    const std::size_t count = std::min(length, m_bytes.size() - start);
    return ByteBuffer(m_storage, m_bytes.subspan(start, count));
}

void ByteBuffer::releasePages(std::size_t offset, std::size_t length) const {
    if (isNull() || !m_storage->mapped) {
        return;
    }
    const std::size_t start = std::min(offset, m_bytes.size());
    const std::size_t count = std::min(length, m_bytes.size() - start);
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(m_bytes.data() + start);
    const std::uintptr_t end = begin + count;
    const std::uintptr_t firstWhole = (begin + page - 1) / page * page;
    const std::uintptr_t lastWhole = end / page * page;
    if (firstWhole < lastWhole) {
        // The map is read-only and shared with the file: dropping its pages loses nothing.
        madvise(reinterpret_cast<void*>(firstWhole), lastWhole - firstWhole, MADV_DONTNEED);
    }
}
