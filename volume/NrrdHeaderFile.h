#pragma once

#include "ByteBuffer.h"
#include "NrrdRefusal.h"

#include <QString>

// An NRRD file split into its text header and, when the header ends with a blank line,
// the bytes that follow it (the attached data of a ".nrrd" file). Only the header part
// is ever decoded as text, so binary voxels after it cannot spoil the header.
class NrrdHeaderFile {
  public:
    // Headers are a few kilobytes; a file without a blank line in its first megabyte
    // is not one.
    static constexpr qsizetype kMaxHeaderBytes = 1 << 20;

    // Maps the file (attached data is not read until it is decoded).
    static NrrdResult<NrrdHeaderFile> read(const QString& path);
    // The same from bytes already in memory; `path` names the file for messages and
    // locates detached data files.
    static NrrdResult<NrrdHeaderFile> fromBytes(const ByteBuffer& bytes, const QString& path);

    const QString& path() const { return m_path; }
    const QString& text() const { return m_text; }
    // The bytes after the blank line that ends the header (possibly none); a null
    // buffer when the header runs to the end of the file.
    const ByteBuffer& attachedData() const { return m_attachedData; }

  private:
    NrrdHeaderFile() = default;

    QString m_path;
    QString m_text;
    ByteBuffer m_attachedData;
};
