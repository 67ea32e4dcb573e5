#include "NrrdTestFiles.h"

#include <QFile>
#include <QStringList>
#include <QtEndian>
#include <cstring>
#include <stdexcept>
#include <zlib.h>

namespace {

constexpr int kGzipWindow = 15 + 16; // deflate with a gzip header and trailer
constexpr int kMemoryLevel = 8;

} // namespace

QString NrrdTestFiles::write(const QString& name, const QByteArray& bytes) {
    const QString filePath = path(name);
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write test file " + filePath.toStdString());
    return filePath;
}

QByteArray sampleBytes(const std::vector<int>& samples, int bytesPerSample, ByteOrder order) {
    QByteArray bytes;
    for (const int sample : samples) {
        if (bytesPerSample == 1) {
            bytes.append(static_cast<char>(static_cast<std::uint8_t>(sample)));
            continue;
        }
        const auto value = static_cast<quint16>(sample);
        char pair[2];
        if (order == ByteOrder::Big)
            qToBigEndian(value, pair);
        else
            qToLittleEndian(value, pair);
        bytes.append(pair, 2);
    }
    return bytes;
}

QByteArray gzipped(const QByteArray& bytes) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, kGzipWindow, kMemoryLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    QByteArray out(static_cast<qsizetype>(deflateBound(&stream, static_cast<uLong>(bytes.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.constData()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    out.resize(static_cast<qsizetype>(stream.total_out));
    deflateEnd(&stream);
    if (status != Z_STREAM_END)
        throw std::runtime_error("deflate failed");
    return out;
}

std::vector<int> samplesOf(const NRRDfmt& volume) {
    std::vector<int> samples(volume.data.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::uint16_t texel = 0;
        std::memcpy(&texel, volume.data.data() + 2 * i, 2);
        samples[i] = texel + volume.sampleOffset;
    }
    return samples;
}

std::vector<int> ramp(int count, int first) {
    std::vector<int> values(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        values[static_cast<std::size_t>(i)] = first + i;
    return values;
}

QString asciiText(const std::vector<int>& samples, const QString& separator) {
    QStringList numbers;
    for (const int sample : samples)
        numbers << QString::number(sample);
    return numbers.join(separator);
}
