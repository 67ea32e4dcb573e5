#pragma once

#include <QFile>
#include <QString>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Writes 16-bit samples to a file in a chosen byte order and replaces the file
// in one step when committed, so a build that stops half-way never leaves a
// truncated volume under the final name. Unlike QSaveFile it does not force the
// data to disk: these files are build outputs that a rebuild recreates, and
// syncing 242 MB would cost more than generating it.
class RawFileWriter {
  public:
    enum class ByteOrder { Little, Big };

    RawFileWriter(QString path, ByteOrder order);
    ~RawFileWriter();
    RawFileWriter(const RawFileWriter&) = delete;
    RawFileWriter& operator=(const RawFileWriter&) = delete;

    // False once anything has failed; later writes are ignored.
    bool write(std::span<const std::uint16_t> samples);

    // Puts the file in place. Returns the reason of the first failure, if any.
    std::optional<QString> commit();

  private:
    void fail(const QString& reason);

    QString m_path;
    ByteOrder m_order;
    QFile m_partial;
    std::vector<std::uint16_t> m_chunk;
    std::optional<QString> m_failure;
};
