#pragma once

#include "volume/files/RegularFile.h"
#include "volume/zarr/ChunkStore.h"

#include <QString>

// A chunked store kept as a folder on disk: each key is a file under the folder. Keys are
// resolved under the folder only: one that climbs out ("..", an absolute path, a drive or
// URL scheme) or whose links lead out of the folder is refused, whatever the store's own
// metadata names. Only regular files are read (RegularFile), so a pipe or a device planted
// in a store cannot block or flood a worker.
class DirectoryStore final : public ChunkStore {
  public:
    // `folder` must exist; its links are followed once, here.
    explicit DirectoryStore(const QString& folder);

    Bytes read(const QString& key, std::uint64_t maxBytes) const override;
    Bytes readRange(const QString& key, Range range) const override;
    QString displayName() const override { return m_folder; }

    // Whether `key` is a relative path of plain names: no "..", ".", empty part, backslash,
    // leading "/" or "scheme:" (what a dataset path in a store's metadata may be).
    static bool isSafeKey(const QString& key);

  private:
    // The file of `key`, or Missing, or why it is refused.
    std::variant<QString, Missing, QString> pathOf(const QString& key) const;
    std::variant<RegularFile, Missing, QString> open(const QString& key) const;
    static Bytes readFrom(const RegularFile& opened, const QString& key, Range range);

    QString m_folder; // canonical, without links
};
