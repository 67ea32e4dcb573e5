#pragma once

#include "volume/core/ImportRefusal.h"

#include <QByteArray>
#include <QString>
#include <cstdint>

// A file an import reads, checked after its links are followed to be a regular file.
// Anything else is refused with what it is: a named pipe blocks the open and every read
// until someone writes to it, a device such as /dev/zero never ends, a folder or a
// dangling link has no bytes at all.
//
// The size stat() gives bounds every read: a file under /proc that tells 0 bytes and
// would go on for ever reads as empty, and a file that grows while it is read is read
// only as far as it reached when it was opened.
class RegularFile {
  public:
    // Checks without opening, for a library that opens the file itself (nifticlib,
    // libtiff, GDCM): the file's size, or why it is not read.
    static ImportResult<std::uint64_t> sizeOf(const QString& path);
    // Checks, then opens for reading. The open cannot block even when the file is
    // swapped for a pipe in between: it is made non-blocking, and the descriptor is
    // checked again before it is handed out in blocking mode.
    static ImportResult<RegularFile> open(const QString& path);

    // The first `bytes` bytes of a regular file, to tell its format by; empty for
    // anything else or when it cannot be read.
    static QByteArray sniff(const QString& path, std::uint64_t bytes);

    RegularFile(RegularFile&& other) noexcept;
    RegularFile& operator=(RegularFile&& other) noexcept;
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;
    ~RegularFile();

    int descriptor() const { return m_descriptor; }
    std::uint64_t size() const { return m_size; }
    // The descriptor, for the caller to close; this object no longer owns it.
    int release();

    // Reads up to `bytes` bytes at `offset`, never past the size the file had when it
    // was opened: the count read (less only where the file has shrunk since), or -1
    // with errno set.
    std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t bytes) const;
    // The first `bytes` bytes, or as many as the file holds; the system's reason when a
    // read fails.
    ImportResult<QByteArray> head(std::uint64_t bytes) const;

  private:
    RegularFile(int descriptor, std::uint64_t size) : m_descriptor(descriptor), m_size(size) {}

    int m_descriptor = -1;
    std::uint64_t m_size = 0;
};
