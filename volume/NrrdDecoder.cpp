#include "NrrdDecoder.h"

#include <QScopeGuard>
#include <QtEndian>
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <optional>
#include <vector>
#include <zlib.h>

namespace {

constexpr std::size_t kTexelBytes = 2;
// Progress is reported, and a stop request honoured, after each chunk of this many
// samples (4 MiB of texels).
constexpr std::size_t kChunkSamples = std::size_t{1} << 21;
// zlib counts its input and output in 32-bit integers.
constexpr std::size_t kInflateInputChunk = std::size_t{1} << 30;
constexpr std::size_t kSkipScratchBytes = std::size_t{1} << 16;
// Accept zlib and gzip streams alike (15-bit window, header detected automatically).
constexpr int kZlibOrGzipWindow = 15 + 32;
// When data is inflated and then converted, inflating takes most of the time.
constexpr double kInflateShare = 0.9;
constexpr std::uint16_t kSignBit16 = 0x8000;
constexpr int kSignedShift8 = 32768;

const QString kCancelled = QStringLiteral("The import was cancelled.");

NrrdRefusal shortData(std::size_t have, std::size_t need) {
    return NrrdRefusal{
        QStringLiteral("The data holds %1 bytes of samples but the volume needs %2: it is %3 bytes short.")
            .arg(have)
            .arg(need)
            .arg(need - have)};
}

enum class SampleKind { U16Little, U16Big, S16Little, S16Big, U8, S8 };

SampleKind sampleKind(const NrrdLayout& layout) {
    if (layout.bytesPerSample == 1)
        return layout.isSigned ? SampleKind::S8 : SampleKind::U8;
    if (layout.isSigned)
        return layout.bigEndian ? SampleKind::S16Big : SampleKind::S16Little;
    return layout.bigEndian ? SampleKind::U16Big : SampleKind::U16Little;
}

// One sample as a texel: in host byte order, signed samples shifted by +32768 so that
// their order survives in an unsigned texture.
template <SampleKind kind> std::uint16_t texel(const std::byte* sample) {
    if constexpr (kind == SampleKind::U8)
        return static_cast<std::uint8_t>(*sample);
    else if constexpr (kind == SampleKind::S8)
        return static_cast<std::uint16_t>(static_cast<std::int8_t>(*sample) + kSignedShift8);
    else if constexpr (kind == SampleKind::U16Little)
        return qFromLittleEndian<quint16>(sample);
    else if constexpr (kind == SampleKind::U16Big)
        return qFromBigEndian<quint16>(sample);
    else if constexpr (kind == SampleKind::S16Little)
        return qFromLittleEndian<quint16>(sample) ^ kSignBit16;
    else
        return qFromBigEndian<quint16>(sample) ^ kSignBit16;
}

// Converts count samples; `texels` may be the same memory as `samples` for 16-bit
// samples, since each texel is written after its own sample has been read.
template <SampleKind kind>
void convert(const std::byte* samples, std::byte* texels, std::size_t count, std::size_t sampleBytes) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t value = texel<kind>(samples + i * sampleBytes);
        std::memcpy(texels + i * kTexelBytes, &value, kTexelBytes);
    }
}

void convert(SampleKind kind, const std::byte* samples, std::byte* texels, std::size_t count,
             std::size_t sampleBytes) {
    switch (kind) {
    case SampleKind::U16Little:
        return convert<SampleKind::U16Little>(samples, texels, count, sampleBytes);
    case SampleKind::U16Big:
        return convert<SampleKind::U16Big>(samples, texels, count, sampleBytes);
    case SampleKind::S16Little:
        return convert<SampleKind::S16Little>(samples, texels, count, sampleBytes);
    case SampleKind::S16Big:
        return convert<SampleKind::S16Big>(samples, texels, count, sampleBytes);
    case SampleKind::U8:
        return convert<SampleKind::U8>(samples, texels, count, sampleBytes);
    case SampleKind::S8:
        return convert<SampleKind::S8>(samples, texels, count, sampleBytes);
    }
}

// The offset just past the first `lines` line feeds (CR LF lines end at their LF).
std::optional<std::size_t> afterLines(std::span<const std::byte> bytes, std::int64_t lines) {
    std::size_t position = 0;
    for (std::int64_t line = 0; line < lines; ++line) {
        const auto end = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(position), bytes.end(),
                                   static_cast<std::byte>('\n'));
        if (end == bytes.end())
            return std::nullopt;
        position = static_cast<std::size_t>(end - bytes.begin()) + 1;
    }
    return position;
}

QByteArray allocate(std::size_t bytes) {
    QByteArray array(static_cast<qsizetype>(bytes), Qt::Uninitialized);
    if (static_cast<std::size_t>(array.size()) != bytes)
        throw std::bad_alloc();
    return array;
}

std::byte* writable(QByteArray& array) {
    return reinterpret_cast<std::byte*>(array.data());
}

} // namespace

NrrdDecoder::NrrdDecoder(const NrrdLayout& layout, std::size_t sampleCount, NrrdProgress progress)
    : m_layout(layout), m_sampleCount(sampleCount),
      m_sampleBytes(sampleCount * static_cast<std::size_t>(layout.bytesPerSample)),
      m_progress(std::move(progress)) {}

NrrdResult<NrrdDecoder::Voxels> NrrdDecoder::decode(const ByteBuffer& source) const {
    const std::optional<std::size_t> start = afterLines(source.bytes(), m_layout.lineSkip);
    if (!start)
        return NrrdRefusal{
            QStringLiteral("The data ends before the %1 lines that \"line skip:\" passes over.")
                .arg(m_layout.lineSkip)};
    const ByteBuffer data = source.slice(*start, source.size() - *start);

    try {
        if (m_layout.encoding == NrrdLayout::Encoding::Raw) {
            NrrdResult<ByteBuffer> samples = rawSamples(data);
            if (const auto* refusal = std::get_if<NrrdRefusal>(&samples))
                return *refusal;
            const ByteBuffer& raw = std::get<ByteBuffer>(samples);
            if (isTexelLayout(raw.data())) {
                m_progress.report(1.0);
                return Voxels{raw, m_layout.sampleOffset()};
            }
            NrrdResult<QByteArray> texels = toTexels(raw.bytes(), allocate(m_sampleCount * kTexelBytes));
            if (const auto* refusal = std::get_if<NrrdRefusal>(&texels))
                return *refusal;
            return Voxels{ByteBuffer::fromByteArray(std::get<QByteArray>(std::move(texels))),
                          m_layout.sampleOffset()};
        }

        NrrdResult<QByteArray> inflated = inflateSamples(data);
        if (const auto* refusal = std::get_if<NrrdRefusal>(&inflated))
            return *refusal;
        QByteArray& samples = std::get<QByteArray>(inflated);
        const std::span<const std::byte> sampleBytes(reinterpret_cast<const std::byte*>(samples.constData()),
                                                     m_sampleBytes);
        // 16-bit samples become texels in place; 8-bit ones need room to widen.
        QByteArray target =
            m_layout.bytesPerSample == 2 ? std::move(samples) : allocate(m_sampleCount * kTexelBytes);
        NrrdResult<QByteArray> texels = toTexels(sampleBytes, std::move(target));
        if (const auto* refusal = std::get_if<NrrdRefusal>(&texels))
            return *refusal;
        return Voxels{ByteBuffer::fromByteArray(std::get<QByteArray>(std::move(texels))),
                      m_layout.sampleOffset()};
    } catch (const std::bad_alloc&) {
        return NrrdRefusal{QStringLiteral("There is not enough memory for the volume's %1 bytes.")
                               .arg(m_sampleCount * kTexelBytes)};
    }
}

NrrdResult<ByteBuffer> NrrdDecoder::rawSamples(const ByteBuffer& data) const {
    std::size_t start = 0;
    if (m_layout.byteSkip == NrrdLayout::kSamplesAtEnd) {
        if (data.size() < m_sampleBytes)
            return shortData(data.size(), m_sampleBytes);
        start = data.size() - m_sampleBytes;
    } else {
        start = static_cast<std::size_t>(m_layout.byteSkip);
    }
    const std::size_t available = data.size() > start ? data.size() - start : 0;
    if (available < m_sampleBytes)
        return shortData(available, m_sampleBytes);
    return data.slice(start, m_sampleBytes);
}

NrrdResult<QByteArray> NrrdDecoder::inflateSamples(const ByteBuffer& data) const {
    QByteArray samples = allocate(m_sampleBytes);
    z_stream stream{};
    if (inflateInit2(&stream, kZlibOrGzipWindow) != Z_OK)
        return NrrdRefusal{QStringLiteral("zlib could not start inflating the data.")};
    const auto end = qScopeGuard([&stream] { inflateEnd(&stream); });

    const std::byte* input = data.data();
    std::size_t inputLeft = data.size();
    std::size_t skipLeft = static_cast<std::size_t>(m_layout.byteSkip);
    std::vector<Bytef> scratch(skipLeft > 0 ? kSkipScratchBytes : 0);
    std::size_t produced = 0;

    while (produced < m_sampleBytes) {
        if (m_progress.stopRequested())
            return NrrdRefusal{kCancelled};
        if (stream.avail_in == 0 && inputLeft > 0) {
            const std::size_t feed = std::min(inputLeft, kInflateInputChunk);
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(input));
            stream.avail_in = static_cast<uInt>(feed);
            input += feed;
            inputLeft -= feed;
        }
        // "byte skip:" counts inflated bytes: those are inflated into scratch space and dropped.
        const bool skipping = skipLeft > 0;
        const std::size_t room = skipping ? std::min(skipLeft, scratch.size())
                                          : std::min(m_sampleBytes - produced, kChunkSamples * kTexelBytes);
        stream.next_out = skipping ? scratch.data() : reinterpret_cast<Bytef*>(samples.data() + produced);
        stream.avail_out = static_cast<uInt>(room);
        const int status = inflate(&stream, Z_NO_FLUSH);
        const std::size_t written = room - stream.avail_out;
        if (skipping)
            skipLeft -= written;
        else
            produced += written;
        m_progress.report(kInflateShare * static_cast<double>(produced) / static_cast<double>(m_sampleBytes));

        const bool inputDone = stream.avail_in == 0 && inputLeft == 0;
        if (status == Z_STREAM_END) {
            // Writers may append further gzip members; each starts a new stream.
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
            return NrrdRefusal{
                QStringLiteral("The gzip data is damaged (%1).")
                    .arg(stream.msg ? QString::fromLatin1(stream.msg) : QString::number(status))};
    }
    if (produced < m_sampleBytes)
        return NrrdRefusal{
            QStringLiteral("The gzip data inflates to %1 bytes of samples but the volume needs %2: it "
                           "is %3 bytes short.")
                .arg(produced)
                .arg(m_sampleBytes)
                .arg(m_sampleBytes - produced)};
    return samples;
}

NrrdResult<QByteArray> NrrdDecoder::toTexels(std::span<const std::byte> samples, QByteArray texels) const {
    const SampleKind kind = sampleKind(m_layout);
    const auto sampleBytes = static_cast<std::size_t>(m_layout.bytesPerSample);
    const double start = m_layout.encoding == NrrdLayout::Encoding::Gzip ? kInflateShare : 0.0;
    std::byte* out = writable(texels);
    for (std::size_t done = 0; done < m_sampleCount;) {
        if (m_progress.stopRequested())
            return NrrdRefusal{kCancelled};
        const std::size_t count = std::min(kChunkSamples, m_sampleCount - done);
        convert(kind, samples.data() + done * sampleBytes, out + done * kTexelBytes, count, sampleBytes);
        done += count;
        m_progress.report(start +
                          (1.0 - start) * static_cast<double>(done) / static_cast<double>(m_sampleCount));
    }
    return texels;
}

bool NrrdDecoder::isTexelLayout(const std::byte* samples) const {
    const std::endian order = m_layout.bigEndian ? std::endian::big : std::endian::little;
    return m_layout.bytesPerSample == 2 && !m_layout.isSigned && order == std::endian::native &&
           reinterpret_cast<std::uintptr_t>(samples) % alignof(std::uint16_t) == 0;
}
