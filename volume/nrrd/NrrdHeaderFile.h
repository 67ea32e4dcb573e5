#pragma once

#include "volume/core/ByteBuffer.h"
#include "volume/core/ImportRefusal.h"

#include <QString>
#include <cstddef>
#include <optional>

// An NRRD file split into its text header and, when the header ends with a blank line,
// the bytes that follow it (the attached data of a ".nrrd" file). Only the header part
// is ever decoded as text, so binary voxels after it cannot spoil the header.
class NrrdHeaderFile {
  public:
    // Headers are a few kilobytes; a file without a blank line in its first megabyte
    // is not one.
    static constexpr qsizetype kMaxHeaderBytes = 1 << 20;

    // Reads the start of the file, where the header is; attached data is not read
    // until it is asked for.
    static ImportResult<NrrdHeaderFile> read(const QString& path);
    // The same from bytes already in memory; `path` names the file for messages and
    // locates detached data files.
    static ImportResult<NrrdHeaderFile> fromBytes(const ByteBuffer& bytes, const QString& path);

    const QString& path() const { return m_path; }
    const QString& text() const { return m_text; }
    // A blank line ends the header; bytes after it are its data. Many writers end a
    // detached header with a blank line and nothing after it: that header has no data.
    bool hasAttachedData() const { return m_dataStart && (!m_complete || m_bytes.size() > *m_dataStart); }
    // Where those bytes begin in the file, for a reader that takes them in place.
    std::optional<std::size_t> dataStart() const { return m_dataStart; }
    // Those bytes, read into memory now when the file was read only in part, so that a
    // file truncated meanwhile is a refusal; empty when the header runs to the end of
    // the file.
    ImportResult<ByteBuffer> readAttachedData(const ImportProgress& progress = {}) const;

  private:
    NrrdHeaderFile() = default;

    QString m_path;
    QString m_text;
    ByteBuffer m_bytes; // the whole file, or its first bytes when m_complete is false
    bool m_complete = true;
    std::optional<std::size_t> m_dataStart;
};
