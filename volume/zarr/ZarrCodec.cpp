#include "volume/zarr/ZarrCodec.h"

#include <QtEndian>
#include <array>
#include <blosc.h>
#include <zlib.h>
#include <zstd.h>

namespace {

constexpr std::uint64_t kChecksumBytes = 4;
// Blosc's header, and what it may add per block beyond the samples themselves.
constexpr std::uint64_t kBloscOverhead = BLOSC_MAX_OVERHEAD;
// zlib and gzip streams: headers, trailer, and stored blocks of incompressible data.
constexpr std::uint64_t kDeflateSlack = 1024;
// Detect a zlib or a gzip header (15 window bits, plus 32 for either header).
constexpr int kAutoHeaderWindowBits = 15 + 32;
constexpr int kExportLevel = 5;
constexpr std::uint32_t kCastagnoliReversed = 0x82F63B78u;

QString refuseSize(const QString& codec, std::uint64_t claimed, std::uint64_t expected) {
    return QStringLiteral("a %1 chunk says it holds %2 bytes where the chunk has %3")
        .arg(codec)
        .arg(claimed)
        .arg(expected);
}

ZarrCodec::Decoded blosc(const QByteArray& encoded, std::uint64_t expected) {
    if (static_cast<std::uint64_t>(encoded.size()) < BLOSC_MIN_HEADER_LENGTH)
        return QStringLiteral("a blosc chunk is shorter than its header");
    std::size_t decodedBytes = 0;
    std::size_t encodedBytes = 0;
    std::size_t blockBytes = 0;
    blosc_cbuffer_sizes(encoded.constData(), &decodedBytes, &encodedBytes, &blockBytes);
    if (decodedBytes != expected)
        return refuseSize(QStringLiteral("blosc"), decodedBytes, expected);
    if (encodedBytes != static_cast<std::size_t>(encoded.size()))
        return QStringLiteral("a blosc chunk says it is %1 bytes long but %2 were read")
            .arg(encodedBytes)
            .arg(encoded.size());
    if (blosc_cbuffer_validate(encoded.constData(), encodedBytes, &decodedBytes) != 0)
        return QStringLiteral("a blosc chunk's header does not hold together");
    QByteArray out(static_cast<qsizetype>(expected), Qt::Uninitialized);
    const int got = blosc_decompress_ctx(encoded.constData(), out.data(), out.size(), 1);
    if (got < 0 || static_cast<std::uint64_t>(got) != expected)
        return QStringLiteral("a blosc chunk cannot be decompressed (code %1)").arg(got);
    return out;
}

ZarrCodec::Decoded zstd(const QByteArray& encoded, std::uint64_t expected) {
    const unsigned long long claimed = ZSTD_getFrameContentSize(encoded.constData(), encoded.size());
    if (claimed == ZSTD_CONTENTSIZE_ERROR)
        return QStringLiteral("a zstd chunk is not a zstd frame");
    if (claimed != ZSTD_CONTENTSIZE_UNKNOWN && claimed != expected)
        return refuseSize(QStringLiteral("zstd"), claimed, expected);
    // The output buffer is the bound: a frame without its size that decodes to more fails.
    QByteArray out(static_cast<qsizetype>(expected), Qt::Uninitialized);
    const std::size_t got = ZSTD_decompress(out.data(), out.size(), encoded.constData(), encoded.size());
    if (ZSTD_isError(got))
        return QStringLiteral("a zstd chunk cannot be decompressed (%1)")
            .arg(QString::fromLatin1(ZSTD_getErrorName(got)));
    if (got != expected)
        return refuseSize(QStringLiteral("zstd"), got, expected);
    return out;
}

ZarrCodec::Decoded inflate(const QByteArray& encoded, std::uint64_t expected, const QString& name) {
    QByteArray out(static_cast<qsizetype>(expected), Qt::Uninitialized);
    z_stream stream{};
    if (inflateInit2(&stream, kAutoHeaderWindowBits) != Z_OK)
        return QStringLiteral("zlib cannot start");
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(encoded.constData()));
    stream.avail_in = static_cast<uInt>(encoded.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    int status = inflate(&stream, Z_FINISH);
    // Exactly the chunk's bytes: a stream that has more to give once they are full is too long.
    if (status == Z_BUF_ERROR && stream.avail_out == 0) {
        std::array<Bytef, 1> extra{};
        stream.next_out = extra.data();
        stream.avail_out = extra.size();
        status = inflate(&stream, Z_FINISH);
        status = status == Z_STREAM_END && stream.avail_out == extra.size() ? Z_STREAM_END : Z_DATA_ERROR;
    }
    const std::uint64_t got = stream.total_out;
    inflateEnd(&stream);
    if (status != Z_STREAM_END)
        return QStringLiteral("a %1 chunk cannot be decompressed or holds more than %2 bytes")
            .arg(name)
            .arg(expected);
    if (got != expected)
        return refuseSize(name, got, expected);
    return out;
}

ZarrCodec::Decoded checksum(const QByteArray& encoded) {
    if (static_cast<std::uint64_t>(encoded.size()) < kChecksumBytes)
        return QStringLiteral("a chunk is shorter than its crc32c checksum");
    const qsizetype body = encoded.size() - static_cast<qsizetype>(kChecksumBytes);
    const auto stored = qFromLittleEndian<std::uint32_t>(encoded.constData() + body);
    if (stored != ZarrCodec::crc32c(encoded.constData(), static_cast<std::size_t>(body)))
        return QStringLiteral("a chunk's crc32c checksum does not match its bytes");
    return encoded.left(body);
}

} // namespace

ZarrCodec::Decoded ZarrCodec::decode(const QByteArray& encoded, std::uint64_t expectedBytes) const {
    switch (kind) {
    case Kind::Blosc:
        return blosc(encoded, expectedBytes);
    case Kind::Zstd:
        return zstd(encoded, expectedBytes);
    case Kind::Gzip:
    case Kind::Zlib:
        return inflate(encoded, expectedBytes, name());
    case Kind::Crc32c:
        return checksum(encoded);
    }
    return QStringLiteral("unknown codec");
}

std::uint64_t ZarrCodec::encodedBound(std::uint64_t decodedBytes) const {
    switch (kind) {
    case Kind::Blosc:
        return decodedBytes + kBloscOverhead;
    case Kind::Zstd:
        return ZSTD_compressBound(decodedBytes);
    case Kind::Gzip:
    case Kind::Zlib:
        return compressBound(static_cast<uLong>(decodedBytes)) + kDeflateSlack;
    case Kind::Crc32c:
        return decodedBytes + kChecksumBytes;
    }
    return decodedBytes;
}

QString ZarrCodec::name() const {
    switch (kind) {
    case Kind::Blosc:
        return QStringLiteral("blosc");
    case Kind::Zstd:
        return QStringLiteral("zstd");
    case Kind::Gzip:
        return QStringLiteral("gzip");
    case Kind::Zlib:
        return QStringLiteral("zlib");
    case Kind::Crc32c:
        return QStringLiteral("crc32c");
    }
    return {};
}

std::uint32_t ZarrCodec::crc32c(const char* bytes, std::size_t count) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> entries{};
        for (std::uint32_t i = 0; i < entries.size(); ++i) {
            std::uint32_t value = i;
            for (int bit = 0; bit < 8; ++bit)
                value = (value >> 1) ^ ((value & 1u) ? kCastagnoliReversed : 0u);
            entries[i] = value;
        }
        return entries;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < count; ++i)
        crc = table[(crc ^ static_cast<std::uint8_t>(bytes[i])) & 0xFFu] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

QByteArray ZarrCodec::bloscZstd(const QByteArray& raw, int typeSize) {
    QByteArray out(raw.size() + static_cast<qsizetype>(kBloscOverhead), Qt::Uninitialized);
    const int written = blosc_compress_ctx(kExportLevel, BLOSC_SHUFFLE, static_cast<std::size_t>(typeSize),
                                           static_cast<std::size_t>(raw.size()), raw.constData(), out.data(),
                                           static_cast<std::size_t>(out.size()), "zstd", 0, 1);
    out.truncate(written > 0 ? written : 0);
    return out;
}
