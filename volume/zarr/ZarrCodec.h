#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <variant>

// One bytes-to-bytes step of a Zarr array's chain: a compressor or a checksum. Decoding
// never trusts what a compressed header claims: the caller says how many bytes the chunk
// must come out as (its shape times the sample size), and anything that would decode to
// more, or to less, is refused before or while it is decoded, never after a large
// allocation.
struct ZarrCodec {
    enum class Kind { Blosc, Zstd, Gzip, Zlib, Crc32c };
    Kind kind = Kind::Zstd;

    using Decoded = std::variant<QByteArray, QString>;

    // `expectedBytes`: what the step's output must hold exactly, where known (the last
    // decompressor of a chain); 0 for a checksum, whose output is its input less 4 bytes.
    Decoded decode(const QByteArray& encoded, std::uint64_t expectedBytes) const;
    // The most bytes an encoded value of `decodedBytes` may take: a read past it is refused.
    std::uint64_t encodedBound(std::uint64_t decodedBytes) const;
    // "blosc", "zstd", "gzip", "zlib", "crc32c".
    QString name() const;

    // The Castagnoli CRC of `bytes` (what the crc32c step and a shard's index carry).
    static std::uint32_t crc32c(const char* bytes, std::size_t count);
    // Blosc with zstd inside and byte shuffle of `typeSize`-byte samples: what an export writes.
    static QByteArray bloscZstd(const QByteArray& raw, int typeSize);
};
