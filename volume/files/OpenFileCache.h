#pragma once

#include "volume/core/ImportRefusal.h"

#include <QString>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <vector>

// The open descriptors of a volume's data files, a few at a time. A volume may be spread
// over more files than a process may hold open (1,024 on a usual desktop), so a file is
// opened when a read needs it and closed once it is the least recently used of more than
// `capacity` open files. A reader keeps the descriptor it was handed for its positioned
// reads, without a lock; one dropped from the set meanwhile closes when its last reader
// lets go. A file opened again must be the one first opened (the same device and inode):
// a file put in its place under the same name holds other samples.
class OpenFileCache {
  public:
    // A read-only descriptor, closed with its last holder.
    class Descriptor {
      public:
        explicit Descriptor(int fd) : m_fd(fd) {}
        ~Descriptor();
        Descriptor(const Descriptor&) = delete;
        Descriptor& operator=(const Descriptor&) = delete;
        int fd() const { return m_fd; }

      private:
        int m_fd;
    };

    explicit OpenFileCache(std::size_t capacity) : m_capacity(capacity) {}

    // Adds a file, numbered by the count of those added before it; not opened yet.
    void add(const QString& path);
    const QString& path(std::size_t file) const { return m_files[file].path; }

    // File `file`'s descriptor, opened now when the set does not hold it; refused with the
    // reason when it cannot be opened or is no longer the file first opened.
    ImportResult<std::shared_ptr<const Descriptor>> open(std::size_t file);

  private:
    struct File {
        QString path;
        std::shared_ptr<const Descriptor> descriptor; // null while not in the set
        std::list<std::size_t>::iterator recent;      // its place in m_recent while in the set
        bool identified = false;                      // opened once: device and inode known
        dev_t device = 0;
        ino_t inode = 0;
    };

    std::size_t m_capacity;
    std::mutex m_mutex;
    std::vector<File> m_files;       // paths added before any open; the rest guarded by m_mutex
    std::list<std::size_t> m_recent; // the open files, most recently used first; guarded
};
