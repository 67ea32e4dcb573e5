#include "volume/nrrd/NrrdInflate.h"

#include <QScopeGuard>
#include <algorithm>
#include <bzlib.h>
#include <new>
#include <vector>
#include <zlib.h>

namespace {

// zlib and libbz2 count their input and output in 32-bit integers.
constexpr std::size_t kInputChunk = std::size_t{1} << 30;
// Progress is reported, and a stop request honoured, after each chunk of output.
constexpr std::size_t kOutputChunk = std::size_t{4} << 20;
constexpr std::size_t kSkipScratchBytes = std::size_t{1} << 16;
// Accept zlib and gzip streams alike (15-bit window, header detected automatically).
constexpr int kZlibOrGzipWindow = 15 + 32;

// What both libraries' stream loops share: feeding input in chunks, and output either
// into scratch space (skipped bytes) or into the samples.
struct Pump {
    const std::byte* input;
    std::size_t inputLeft;
    std::size_t skipLeft;
    std::vector<char> scratch;
    std::size_t produced = 0;

    Pump(const ByteBuffer& data, std::size_t skip)
        : input(data.data()), inputLeft(data.size()), skipLeft(skip),
          scratch(skip > 0 ? kSkipScratchBytes : 0) {}

    // The next piece of input, at most kInputChunk bytes.
    std::size_t take() {
        const std::size_t feed = std::min(inputLeft, kInputChunk);
        inputLeft -= feed;
        return feed;
    }
    bool skipping() const { return skipLeft > 0; }
    std::size_t room(std::size_t need) const {
        return skipping() ? std::min(skipLeft, scratch.size()) : std::min(need - produced, kOutputChunk);
    }
    char* target(QByteArray& samples) { return skipping() ? scratch.data() : samples.data() + produced; }
    void wrote(std::size_t bytes) {
        if (skipping())
            skipLeft -= bytes;
        else
            produced += bytes;
    }
};

} // namespace

NrrdInflate::NrrdInflate(Method method, std::size_t skip, std::size_t need, ImportProgress progress)
    : m_method(method), m_skip(skip), m_need(need), m_progress(std::move(progress)) {}

ImportResult<QByteArray> NrrdInflate::inflate(const ByteBuffer& data) const {
    return m_method == Method::Gzip ? gunzip(data) : bunzip(data);
}

ImportRefusal NrrdInflate::shortStream(std::size_t produced) const {
    return ImportRefusal{
        QStringLiteral("The %1 data inflates to %2 bytes of samples but the volume needs %3: it is %4 short.")
            .arg(m_method == Method::Gzip ? QStringLiteral("gzip") : QStringLiteral("bzip2"))
            .arg(produced)
            .arg(m_need)
            .arg(ImportRefusal::counted(m_need - produced, "byte", "bytes"))};
}

ImportResult<QByteArray> NrrdInflate::gunzip(const ByteBuffer& data) const {
    QByteArray samples = ByteBuffer::allocate(m_need);
    z_stream stream{};
    if (inflateInit2(&stream, kZlibOrGzipWindow) != Z_OK)
        return ImportRefusal{QStringLiteral("zlib could not start inflating the data.")};
    const auto end = qScopeGuard([&stream] { inflateEnd(&stream); });

    Pump pump(data, m_skip);
    while (pump.produced < m_need) {
        if (m_progress.stopRequested())
            return cancelledImport();
        if (stream.avail_in == 0 && pump.inputLeft > 0) {
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(pump.input));
            const std::size_t feed = pump.take();
            stream.avail_in = static_cast<uInt>(feed);
            pump.input += feed;
        }
        const std::size_t room = pump.room(m_need);
        stream.next_out = reinterpret_cast<Bytef*>(pump.target(samples));
        stream.avail_out = static_cast<uInt>(room);
        const int status = ::inflate(&stream, Z_NO_FLUSH);
        pump.wrote(room - stream.avail_out);
        m_progress.report(static_cast<double>(pump.produced) / static_cast<double>(m_need));

        const bool inputDone = stream.avail_in == 0 && pump.inputLeft == 0;
        if (status == Z_STREAM_END) {
            if (inputDone || inflateReset(&stream) != Z_OK)
                break;
            continue;
        }
        if (status == Z_BUF_ERROR && stream.avail_in == 0) {
            if (inputDone)
                break;
            continue;
        }
        if (status != Z_OK)
            return ImportRefusal{
                QStringLiteral("The gzip data is damaged (%1).")
                    .arg(stream.msg ? QString::fromLatin1(stream.msg) : QString::number(status))};
    }
    if (pump.produced < m_need)
        return shortStream(pump.produced);
    return samples;
}

ImportResult<QByteArray> NrrdInflate::bunzip(const ByteBuffer& data) const {
    QByteArray samples = ByteBuffer::allocate(m_need);
    bz_stream stream{};
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK)
        return ImportRefusal{QStringLiteral("libbz2 could not start inflating the data.")};
    bool open = true;
    const auto end = qScopeGuard([&] {
        if (open)
            BZ2_bzDecompressEnd(&stream);
    });

    Pump pump(data, m_skip);
    while (pump.produced < m_need) {
        if (m_progress.stopRequested())
            return cancelledImport();
        if (stream.avail_in == 0 && pump.inputLeft > 0) {
            stream.next_in = reinterpret_cast<char*>(const_cast<std::byte*>(pump.input));
            const std::size_t feed = pump.take();
            stream.avail_in = static_cast<unsigned>(feed);
            pump.input += feed;
        }
        const std::size_t room = pump.room(m_need);
        stream.next_out = pump.target(samples);
        stream.avail_out = static_cast<unsigned>(room);
        const int status = BZ2_bzDecompress(&stream);
        pump.wrote(room - stream.avail_out);
        m_progress.report(static_cast<double>(pump.produced) / static_cast<double>(m_need));

        const bool inputDone = stream.avail_in == 0 && pump.inputLeft == 0;
        if (status == BZ_STREAM_END) {
            if (inputDone)
                break;
            // Another stream follows: start over with what is left of the input.
            char* next = stream.next_in;
            const unsigned left = stream.avail_in;
            BZ2_bzDecompressEnd(&stream);
            stream = bz_stream{};
            if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) {
                open = false;
                break;
            }
            stream.next_in = next;
            stream.avail_in = left;
            continue;
        }
        if (status != BZ_OK)
            return ImportRefusal{QStringLiteral("The bzip2 data is damaged (%1).").arg(status)};
        if (inputDone && room == stream.avail_out)
            break; // no input left and nothing more came out
    }
    if (pump.produced < m_need)
        return shortStream(pump.produced);
    return samples;
}
