#pragma once

#include "NRRDfmt.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <vector>

// Small NRRD headers and data files for tests, written into a temporary folder that
// is removed with the object.
class NrrdTestFiles {
  public:
    QString write(const QString& name, const QByteArray& bytes);
    QString path(const QString& name) const { return m_dir.filePath(name); }
    const QTemporaryDir& dir() const { return m_dir; }

  private:
    QTemporaryDir m_dir;
};

enum class ByteOrder { Little, Big };

// Samples written as 8- or 16-bit integers in the given byte order.
QByteArray sampleBytes(const std::vector<int>& samples, int bytesPerSample,
                       ByteOrder order = ByteOrder::Little);
// A gzip stream (with gzip header and trailer) of the bytes, as NRRD writers produce it.
QByteArray gzipped(const QByteArray& bytes);
// The samples of a record as the viewer interprets them: texel + sampleOffset.
std::vector<int> samplesOf(const NRRDfmt& volume);
// The samples as decimal text, separated by `separator`.
QString asciiText(const std::vector<int>& samples, const QString& separator);
// 0, 1, ... count-1 shifted by `first`: a ramp whose every sample differs.
std::vector<int> ramp(int count, int first = 0);
