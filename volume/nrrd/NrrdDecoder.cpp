#include "volume/nrrd/NrrdDecoder.h"

#include "volume/core/VolumeSize.h"
#include "volume/nrrd/NrrdInflate.h"
#include "volume/nrrd/NrrdTextData.h"
#include "volume/samples/SampleTexels.h"
#include "volume/samples/TexelConverter.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <optional>

namespace {

// Progress is reported, and a stop request honoured, after each chunk of this many
// samples (4 MiB of texels).
constexpr std::size_t kChunkSamples = std::size_t{1} << 21;
// When data is inflated or parsed and then converted, the first step takes most of the time.
constexpr double kDecodeShare = 0.9;

// Reverses the byte order of each sample in place.
void swapSamples(std::byte* samples, std::size_t count, std::size_t sampleBytes) {
    for (std::size_t i = 0; i < count; ++i)
        std::reverse(samples + i * sampleBytes, samples + (i + 1) * sampleBytes);
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

std::byte* writable(QByteArray& array) {
    return reinterpret_cast<std::byte*>(array.data());
}

const std::byte* readable(const QByteArray& array) {
    return reinterpret_cast<const std::byte*>(array.constData());
}

} // namespace

NrrdDecoder::NrrdDecoder(const NrrdLayout& layout, std::size_t sampleCount, ImportProgress progress)
    : m_layout(layout), m_sampleCount(sampleCount), m_progress(std::move(progress)) {}

ImportResult<NrrdDecoder::Voxels> NrrdDecoder::decode(const ByteBuffer& source) const {
    return decode(std::vector<ByteBuffer>{source});
}

ImportResult<NrrdDecoder::Voxels> NrrdDecoder::decode(const std::vector<ByteBuffer>& files) const {
    if (files.empty() || m_sampleCount % files.size() != 0)
        return ImportRefusal{QStringLiteral("%1 data files cannot hold equal shares of %2 samples.")
                                 .arg(files.size())
                                 .arg(m_sampleCount)};
    const double decodeShare = m_layout.encoding == NrrdLayout::Encoding::Raw ? 0.0 : kDecodeShare;
    const std::size_t perFile = m_sampleCount / files.size();
    const std::size_t sampleBytes = static_cast<std::size_t>(m_layout.bytesPerSample());
    try {
        if (files.size() == 1) {
            ImportResult<Samples> samples =
                samplesOf(files.front(), perFile, m_progress.part(0.0, decodeShare));
            if (const auto* refusal = std::get_if<ImportRefusal>(&samples))
                return *refusal;
            return toVoxels(std::get<Samples>(std::move(samples)),
                            m_progress.part(decodeShare, 1.0 - decodeShare));
        }
        Samples all{{}, ByteBuffer::allocate(m_sampleCount * sampleBytes), true};
        const double fileShare = decodeShare / static_cast<double>(files.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            ImportResult<Samples> samples =
                samplesOf(files[i], perFile, m_progress.part(fileShare * static_cast<double>(i), fileShare));
            if (m_progress.stopRequested())
                return cancelledImport();
            if (const auto* refusal = std::get_if<ImportRefusal>(&samples))
                return ImportRefusal{QStringLiteral("data file %1 of %2: %3")
                                         .arg(i + 1)
                                         .arg(files.size())
                                         .arg(refusal->reason)};
            const Samples& piece = std::get<Samples>(samples);
            const std::byte* from = piece.isOwned ? readable(piece.owned) : piece.view.data();
            std::memcpy(writable(all.owned) + i * perFile * sampleBytes, from, perFile * sampleBytes);
        }
        return toVoxels(std::move(all), m_progress.part(decodeShare, 1.0 - decodeShare));
    } catch (const std::bad_alloc&) {
        return ImportRefusal{QStringLiteral("There is not enough memory for the volume's %1 bytes.")
                                 .arg(m_sampleCount * std::max(sampleBytes, kTexelBytes))};
    }
}

ImportResult<NrrdDecoder::Samples> NrrdDecoder::samplesOf(const ByteBuffer& file, std::size_t count,
                                                          const ImportProgress& progress) const {
    const std::optional<std::size_t> start = afterLines(file.bytes(), m_layout.lineSkip);
    if (!start)
        return ImportRefusal{
            QStringLiteral("The data ends before the %1 lines that \"line skip:\" passes over.")
                .arg(m_layout.lineSkip)};
    const ByteBuffer data = file.slice(*start, file.size() - *start);
    const std::size_t sampleBytes = static_cast<std::size_t>(m_layout.bytesPerSample());
    const std::size_t bytes = count * sampleBytes;
    const auto skip = static_cast<std::size_t>(std::max<std::int64_t>(m_layout.byteSkip, 0));

    ImportResult<QByteArray> decoded = ImportRefusal{};
    switch (m_layout.encoding) {
    case NrrdLayout::Encoding::Raw: {
        ImportResult<ByteBuffer> raw = rawSamples(data, bytes);
        if (const auto* refusal = std::get_if<ImportRefusal>(&raw))
            return *refusal;
        return Samples{std::get<ByteBuffer>(std::move(raw)), {}, false};
    }
    case NrrdLayout::Encoding::Gzip:
        decoded = NrrdInflate(NrrdInflate::Method::Gzip, skip, bytes, progress).inflate(data);
        break;
    case NrrdLayout::Encoding::Bzip2:
        decoded = NrrdInflate(NrrdInflate::Method::Bzip2, skip, bytes, progress).inflate(data);
        break;
    case NrrdLayout::Encoding::Hex:
        decoded = NrrdTextData(count, progress)
                      .hexBytes(data.bytes().subspan(std::min(skip, data.size())), sampleBytes);
        break;
    case NrrdLayout::Encoding::Ascii:
        decoded = NrrdTextData(count, progress)
                      .asciiSamples(data.bytes().subspan(std::min(skip, data.size())), m_layout.sampleType);
        break;
    }
    if (const auto* refusal = std::get_if<ImportRefusal>(&decoded))
        return *refusal;
    return Samples{{}, std::get<QByteArray>(std::move(decoded)), true};
}

ImportResult<ByteBuffer> NrrdDecoder::rawSamples(const ByteBuffer& data, std::size_t bytes) const {
    std::size_t start = 0;
    if (m_layout.byteSkip == NrrdLayout::kSamplesAtEnd) {
        if (data.size() < bytes)
            return ImportRefusal::shortData(data.size(), bytes);
        start = data.size() - bytes;
    } else {
        start = static_cast<std::size_t>(m_layout.byteSkip);
    }
    const std::size_t available = data.size() > start ? data.size() - start : 0;
    if (available < bytes)
        return ImportRefusal::shortData(available, bytes);
    return data.slice(start, bytes);
}

ImportResult<NrrdDecoder::Voxels> NrrdDecoder::toVoxels(Samples samples,
                                                        const ImportProgress& progress) const {
    const std::byte* source = samples.isOwned ? readable(samples.owned) : samples.view.data();
    const std::size_t sampleBytes = static_cast<std::size_t>(m_layout.bytesPerSample());

    if (!isTextureSampleType(m_layout.sampleType)) {
        if (samplesAreBigEndian() != (std::endian::native == std::endian::big)) {
            if (!samples.isOwned) {
                samples.owned = ByteBuffer::allocate(m_sampleCount * sampleBytes);
                std::memcpy(writable(samples.owned), source, m_sampleCount * sampleBytes);
                samples.isOwned = true;
            }
            swapSamples(writable(samples.owned), m_sampleCount, sampleBytes);
            source = readable(samples.owned);
        }
        ImportResult<TexelConverter::Texels> texels =
            TexelConverter(m_layout.sampleType, m_sampleCount, progress)
                .convert(std::span<const std::byte>(source, m_sampleCount * sampleBytes));
        if (const auto* refusal = std::get_if<ImportRefusal>(&texels))
            return *refusal;
        TexelConverter::Texels& converted = std::get<TexelConverter::Texels>(texels);
        return Voxels{converted.data, converted.sampleOffset, converted.valueScale, converted.valueOffset,
                      converted.notes};
    }

    const std::int32_t sampleOffset = texelSampleOffset(m_layout.sampleType);
    if (!samples.isOwned && isTexelLayout(source)) {
        progress.report(1.0);
        return Voxels{samples.view, sampleOffset, 1.0, 0.0, {}};
    }
    // 16-bit samples decoded into memory become texels in place; others need room.
    QByteArray texels = samples.isOwned && sampleBytes == kTexelBytes
                            ? std::move(samples.owned)
                            : ByteBuffer::allocate(m_sampleCount * kTexelBytes);
    std::byte* out = writable(texels);
    for (std::size_t done = 0; done < m_sampleCount;) {
        if (progress.stopRequested())
            return cancelledImport();
        const std::size_t count = std::min(kChunkSamples, m_sampleCount - done);
        samplesToTexels(m_layout.sampleType, samplesAreBigEndian(), source + done * sampleBytes,
                        out + done * kTexelBytes, count);
        done += count;
        progress.report(static_cast<double>(done) / static_cast<double>(m_sampleCount));
    }
    return Voxels{ByteBuffer::fromByteArray(std::move(texels)), sampleOffset, 1.0, 0.0, {}};
}

bool NrrdDecoder::samplesAreBigEndian() const {
    // Text spells values, not bytes: its samples arrive in host order.
    return m_layout.isBinary() ? m_layout.bigEndian : std::endian::native == std::endian::big;
}

bool NrrdDecoder::isTexelLayout(const std::byte* samples) const {
    const bool big = samplesAreBigEndian();
    const std::endian order = big ? std::endian::big : std::endian::little;
    return m_layout.sampleType == SampleType::UInt16 && order == std::endian::native &&
           reinterpret_cast<std::uintptr_t>(samples) % alignof(std::uint16_t) == 0;
}
