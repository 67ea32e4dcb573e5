#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

// Values read from web stores, kept on disk so that a store opened again costs a
// revalidation (a 304 with no body) rather than its bytes. Each value is a file named by
// the SHA-256 of its key (the URL without credentials, and the range asked for), holding
// the ETag and Last-Modified it came with; beyond the size budget the least recently used
// files go first (a read touches its file). A key the server answered as missing is kept
// too, with the time until which it stays missing and the validators of what its absence
// depends on (the array's metadata).
//
// Safe for the loader's worker threads and for several processes on one folder: a value
// is written to a temporary file and renamed into place, a file that vanishes or does not
// read back whole is a miss.
class ChunkCache {
  public:
    struct Entry {
        QByteArray value;
        QByteArray etag;
        QByteArray lastModified;
        // A missing key: no value, good until `freshUntil`.
        bool missing = false;
        QDateTime freshUntil;
    };

    // The cache at `folder`, made when missing; a budget of 0 keeps nothing.
    ChunkCache(QString folder, std::uint64_t budgetBytes);
    // The user's cache folder for values of web stores.
    static QString defaultFolder();

    // The entry for `key`, when one is kept, holds no more than `maxBytes` and reads back
    // whole.
    std::optional<Entry> find(const QString& key, std::uint64_t maxBytes) const;
    // Keeps `entry` for `key` (a value without an ETag or Last-Modified cannot be
    // revalidated, a missing key without a time it stays so cannot expire: neither is
    // kept), then trims the folder to the budget.
    void store(const QString& key, const Entry& entry);

    std::uint64_t budgetBytes() const { return m_budgetBytes; }

  private:
    QString pathOf(const QString& key) const;
    // Deletes the least recently used files until the folder is within the low-water mark.
    void trim();

    QString m_folder;
    std::uint64_t m_budgetBytes;
    // The folder's size as this process last counted it plus what it wrote since.
    std::atomic<std::uint64_t> m_heldBytes{0};
    std::mutex m_trimLock;
};
