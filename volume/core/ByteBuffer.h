#pragma once

#include "volume/core/ImportProgress.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <memory>
#include <span>

// A shared, immutable run of bytes: voxel data travels through the program in
// this form so that loading, importing and uploading never copy a volume that
// only needs to be read. The storage is either a QByteArray or a read-only
// memory map of a file; copies of a ByteBuffer share that storage.
//
// A default-constructed ByteBuffer is null: it stands for "no data" (a
// resource that could not be read), which is different from an empty file.
class ByteBuffer {
  public:
    ByteBuffer() = default;

    static ByteBuffer fromByteArray(QByteArray bytes);
    // An uninitialised array of exactly `bytes` bytes for samples to be decoded into;
    // throws std::bad_alloc when it cannot be had (the import refuses the volume then).
    static QByteArray allocate(std::size_t bytes);

    // Maps the whole file read-only. On failure returns a null buffer and,
    // when given, stores the reason in *error. Only for files that ship with the
    // viewer: a mapped file that shrinks under the map raises SIGBUS on access.
    static ByteBuffer mapFile(const QString& path, QString* error = nullptr);

    // Reads the whole file into memory, in pieces, reporting the share read after each
    // one. This is how user files are read: only a regular file (RegularFile), and only
    // as far as its size when opened, so a file that grows meanwhile is not read past
    // it; a file that shrinks while it is read (a download still being written, a file
    // truncated by another program) gives a null buffer and the reason, where a map of
    // it would fault on the missing pages. Null on failure or when progress asks to
    // stop, reason in *error.
    static ByteBuffer readFile(const QString& path, QString* error = nullptr,
                               const ImportProgress& progress = {});

    bool isNull() const { return !m_storage; }
    const std::byte* data() const { return m_bytes.data(); }
    std::size_t size() const { return m_bytes.size(); }
    std::span<const std::byte> bytes() const { return m_bytes; }

    // Hands the resident pages of [offset, offset + length) of a mapped file back to the
    // kernel once they have been read (the volume texture holds its own copy): they no
    // longer count against this process, and the bytes read the same when touched again,
    // from the page cache or the file. Pages only partly inside the range stay. Does
    // nothing for bytes held in memory, which have no file to come back from.
    void releasePages(std::size_t offset, std::size_t length) const;

    // A view of [offset, offset + length) that keeps the whole storage alive.
    // Out-of-range requests are clamped to the buffer.
    ByteBuffer slice(std::size_t offset, std::size_t length) const;

  private:
    struct Storage;
    ByteBuffer(std::shared_ptr<const Storage> storage, std::span<const std::byte> bytes);

    std::shared_ptr<const Storage> m_storage;
    std::span<const std::byte> m_bytes;
};
