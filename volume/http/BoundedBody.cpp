#include "volume/http/BoundedBody.h"

#include "volume/core/ImportRefusal.h"

#include <QRegularExpression>
#include <algorithm>

namespace {

constexpr long kOk = 200;
constexpr long kPartialContent = 206;

// The first byte a 206 response says it holds ("bytes 100-199/5000"), or -1.
std::int64_t rangeStart(const QByteArray& contentRange) {
    static const QRegularExpression pattern(QStringLiteral("^\\s*bytes\\s+(\\d+)-(\\d+)/(\\d+|\\*)\\s*$"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(contentRange));
    if (!match.hasMatch())
        return -1;
    bool valid = false;
    const qint64 start = match.captured(1).toLongLong(&valid);
    return valid ? start : -1;
}

QString bytes(std::uint64_t count) {
    return ImportRefusal::counted(count, "byte", "bytes");
}

} // namespace

BoundedBody BoundedBody::whole(std::uint64_t maxBytes) {
    return {Kind::Whole, 0, maxBytes};
}

BoundedBody BoundedBody::piece(std::uint64_t offset, std::uint64_t length) {
    return {Kind::Piece, offset, length};
}

BoundedBody BoundedBody::tail(std::uint64_t length) {
    return {Kind::Tail, 0, length};
}

QByteArray BoundedBody::range() const {
    switch (m_kind) {
    case Kind::Whole:
        return {};
    case Kind::Piece:
        return QByteArray::number(m_offset) + '-' + QByteArray::number(m_offset + m_length - 1);
    case Kind::Tail:
        return '-' + QByteArray::number(m_length);
    }
    return {};
}

std::uint64_t BoundedBody::keptBound() const {
    return m_length;
}

bool BoundedBody::begin(long status, std::int64_t contentLength) {
    m_status = status;
    m_received = 0;
    m_kept.clear();
    m_tooLong = false;
    const auto announced = static_cast<std::uint64_t>(std::max<std::int64_t>(contentLength, 0));
    if (status == kPartialContent || (status == kOk && m_kind == Kind::Whole))
        m_tooLong = announced > m_length;
    else if (status == kOk && m_kind == Kind::Piece)
        m_tooLong = m_offset + m_length > kIgnoredRangeBytes;
    else if (status == kOk && m_kind == Kind::Tail)
        m_tooLong = announced > kIgnoredRangeBytes;
    return !m_tooLong;
}

bool BoundedBody::append(const char* data, std::uint64_t size) {
    const std::uint64_t at = m_received;
    m_received += size;
    if (m_status != kOk && m_status != kPartialContent)
        return m_received <= kErrorBodyBytes;
    if (m_status == kPartialContent || m_kind == Kind::Whole) {
        m_tooLong = m_received > m_length;
        if (!m_tooLong)
            m_kept.append(data, static_cast<qsizetype>(size));
        return !m_tooLong;
    }
    if (m_kind == Kind::Piece) {
        // The whole value comes: keep what falls into [offset, offset + length).
        const std::uint64_t from = std::max(at, m_offset);
        const std::uint64_t to = std::min(m_received, m_offset + m_length);
        if (from < to)
            m_kept.append(data + (from - at), static_cast<qsizetype>(to - from));
        return m_received < m_offset + m_length;
    }
    // The whole value comes for its last bytes: keep a window of them as it passes.
    m_tooLong = m_received > kIgnoredRangeBytes;
    if (m_tooLong)
        return false;
    m_kept.append(data, static_cast<qsizetype>(size));
    if (static_cast<std::uint64_t>(m_kept.size()) > 2 * m_length)
        m_kept.remove(0, m_kept.size() - static_cast<qsizetype>(m_length));
    return true;
}

std::variant<QByteArray, QString> BoundedBody::finish(long status, const QByteArray& contentRange,
                                                      bool cutOff) const {
    const bool begun = m_status == status;
    const QByteArray kept = begun ? m_kept : QByteArray();
    const auto keptSize = static_cast<std::uint64_t>(kept.size());
    if (begun && m_tooLong) {
        if (status == kPartialContent)
            return QStringLiteral("the server sent more than the %1 asked for").arg(bytes(m_length));
        if (m_kind == Kind::Whole)
            return QStringLiteral("it is larger than the %1 it may hold").arg(bytes(m_length));
        return QStringLiteral("the server ignores byte ranges and the value is larger than %1")
            .arg(bytes(kIgnoredRangeBytes));
    }
    if (status == kOk && m_kind == Kind::Whole)
        return cutOff ? QStringLiteral("the transfer was cut off") : std::variant<QByteArray, QString>(kept);
    if (status == kOk && m_kind == Kind::Piece) {
        if (keptSize < m_length)
            return QStringLiteral("the value ends before byte %1").arg(m_offset + m_length);
        return kept;
    }
    if (status == kOk && m_kind == Kind::Tail) {
        if (cutOff || keptSize < m_length)
            return QStringLiteral("the value is shorter than the last %1 asked for").arg(bytes(m_length));
        return kept.right(static_cast<qsizetype>(m_length));
    }
    if (status != kPartialContent || m_kind == Kind::Whole)
        return QStringLiteral("the server answered with status %1").arg(status);
    if (m_kind == Kind::Piece && rangeStart(contentRange) != static_cast<std::int64_t>(m_offset))
        return QStringLiteral("the server sent bytes other than those asked for");
    if (cutOff || keptSize < m_length)
        return QStringLiteral("the server sent %1 of the %2 asked for").arg(keptSize).arg(bytes(m_length));
    return kept;
}
