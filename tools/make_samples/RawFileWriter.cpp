#include "RawFileWriter.h"

#include <QtEndian>
#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

namespace {

// Samples are converted to the file's byte order through a buffer of this many
// samples, so the file is written in a few large writes.
constexpr std::size_t kChunkSamples = std::size_t{1} << 20;

} // namespace

RawFileWriter::RawFileWriter(QString path, ByteOrder order)
    : m_path(std::move(path)), m_order(order), m_partial(m_path + QStringLiteral(".part")) {
    if (!m_partial.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(m_partial.errorString());
}

RawFileWriter::~RawFileWriter() {
    if (m_partial.isOpen() || m_failure)
        m_partial.remove();
}

void RawFileWriter::fail(const QString& reason) {
    if (!m_failure)
        m_failure = m_path + QStringLiteral(": ") + reason;
}

bool RawFileWriter::write(std::span<const std::uint16_t> samples) {
    m_chunk.resize(std::min(kChunkSamples, samples.size()));
    for (std::size_t start = 0; start < samples.size() && !m_failure; start += m_chunk.size()) {
        const std::size_t count = std::min(m_chunk.size(), samples.size() - start);
        const auto n = static_cast<qsizetype>(count);
        if (m_order == ByteOrder::Little)
            qToLittleEndian<std::uint16_t>(samples.data() + start, n, m_chunk.data());
        else
            qToBigEndian<std::uint16_t>(samples.data() + start, n, m_chunk.data());
        const auto bytes = static_cast<qint64>(count * sizeof(std::uint16_t));
        if (m_partial.write(reinterpret_cast<const char*>(m_chunk.data()), bytes) != bytes)
            fail(m_partial.errorString());
    }
    return !m_failure;
}

std::optional<QString> RawFileWriter::commit() {
    if (m_partial.isOpen()) {
        m_partial.close();
        if (m_partial.error() != QFileDevice::NoError)
            fail(m_partial.errorString());
    }
    if (m_failure)
        return m_failure;
    // rename(2) replaces an existing file atomically.
    std::error_code error;
    std::filesystem::rename(QFile::encodeName(m_partial.fileName()).constData(),
                            QFile::encodeName(m_path).constData(), error);
    if (error)
        fail(QString::fromStdString(error.message()));
    return m_failure;
}
