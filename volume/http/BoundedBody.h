#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <variant>

// The body of one response, held within what the caller asked for. The server is not
// trusted: a body longer than the caller's bound is cut off and refused, not read whole;
// a server that ignores a byte range and sends the whole value (status 200) is read only
// as far as the range needs, the bytes outside it dropped as they come.
class BoundedBody {
  public:
    // Error pages (a 404's HTML) are read this far and dropped.
    static constexpr std::uint64_t kErrorBodyBytes = std::uint64_t{64} << 10;
    // How much of a whole value is read for a range when the server ignores byte ranges: a
    // piece of a shard far into it, or a shard's index at its end, costs the bytes before it.
    static constexpr std::uint64_t kIgnoredRangeBytes = std::uint64_t{64} << 20;

    // The whole value, at most `maxBytes`.
    static BoundedBody whole(std::uint64_t maxBytes);
    // `length` bytes from `offset`.
    static BoundedBody piece(std::uint64_t offset, std::uint64_t length);
    // The last `length` bytes.
    static BoundedBody tail(std::uint64_t length);

    // The bytes the Range header asks for ("0-99", "-16" for the last 16); empty for a whole
    // value.
    QByteArray range() const;
    // The most bytes the kept value may hold, what a cached copy is bounded by.
    std::uint64_t keptBound() const;

    // The response's status and announced length (-1: not announced), before its first
    // bytes; false when the announced length is already too long.
    bool begin(long status, std::int64_t contentLength);
    // More of the body; false to stop the transfer (too long, or all of an ignored range
    // is here).
    bool append(const char* data, std::uint64_t size);

    // The value of a complete 200 or 206 response of `status` (Content-Range as sent), or
    // why it is refused. `cutOff`: the transfer ended because append() said stop.
    std::variant<QByteArray, QString> finish(long status, const QByteArray& contentRange, bool cutOff) const;

  private:
    enum class Kind { Whole, Piece, Tail };
    BoundedBody(Kind kind, std::uint64_t offset, std::uint64_t length)
        : m_kind(kind), m_offset(offset), m_length(length) {}

    Kind m_kind;
    std::uint64_t m_offset = 0;
    std::uint64_t m_length = 0; // of a piece or tail; the bound of a whole value
    long m_status = 0;
    std::uint64_t m_received = 0;
    QByteArray m_kept;
    bool m_tooLong = false;
};
