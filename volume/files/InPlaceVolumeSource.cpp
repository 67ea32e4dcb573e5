#include "volume/files/InPlaceVolumeSource.h"

#include "volume/core/VolumeSize.h"
#include "volume/samples/SampleTexels.h"

#include <QFileInfo>
#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// No read has failed.
constexpr std::size_t kNoPart = std::numeric_limits<std::size_t>::max();

// "line skip:" lines are found by reading this much at a time.
constexpr std::size_t kLineScanBytes = std::size_t{1} << 16;

// Reads exactly `bytes` bytes at `offset`; false at the end of the file or on an error.
bool readFully(int fd, std::uint64_t offset, std::byte* into, std::uint64_t bytes) {
    while (bytes > 0) {
        const ssize_t read = ::pread(fd, into, bytes, static_cast<off_t>(offset));
        if (read < 0 && errno == EINTR)
            continue;
        if (read <= 0)
            return false;
        const auto done = static_cast<std::uint64_t>(read);
        into += done;
        offset += done;
        bytes -= done;
    }
    return true;
}

// The offset just past the first `lines` line feeds from `start` on; nothing when the
// file ends first, at `end` at the latest.
std::optional<std::uint64_t> afterLines(int fd, std::uint64_t start, std::uint64_t end, std::int64_t lines) {
    std::array<std::byte, kLineScanBytes> chunk{};
    std::uint64_t position = start;
    while (lines > 0) {
        if (position >= end)
            return std::nullopt;
        const ssize_t read = ::pread(fd, chunk.data(), std::min<std::uint64_t>(chunk.size(), end - position),
                                     static_cast<off_t>(position));
        if (read < 0 && errno == EINTR)
            continue;
        if (read <= 0)
            return std::nullopt;
        const auto chunkEnd = chunk.begin() + read;
        auto at = chunk.begin();
        while (lines > 0 && (at = std::find(at, chunkEnd, static_cast<std::byte>('\n'))) != chunkEnd) {
            ++at;
            --lines;
        }
        position += static_cast<std::uint64_t>(lines > 0 ? read : at - chunk.begin());
    }
    return position;
}

ImportRefusal cannotRead(const QString& path, int error) {
    return ImportRefusal{QStringLiteral("Cannot read the data file %1: %2.")
                             .arg(QFileInfo(path).fileName(), QString::fromLocal8Bit(std::strerror(error)))};
}

} // namespace

bool InPlaceVolumeSource::canRead(const NrrdLayout& layout) {
    return layout.encoding == NrrdLayout::Encoding::Raw && isTextureSampleType(layout.sampleType);
}

InPlaceVolumeSource::InPlaceVolumeSource(const NrrdLayout& layout, std::uint64_t width, std::uint64_t height,
                                         std::uint64_t samplesPerFile)
    : m_layout(layout), m_sampleBytes(static_cast<std::uint64_t>(layout.bytesPerSample())), m_width(width),
      m_height(height), m_samplesPerFile(samplesPerFile),
      m_samplesAreTexels(layout.sampleType == SampleType::UInt16 &&
                         layout.bigEndian == (std::endian::native == std::endian::big)),
      m_files(kMostOpenFiles), m_failedPart(kNoPart) {}

ImportResult<std::shared_ptr<const InPlaceVolumeSource>>
InPlaceVolumeSource::open(const std::vector<DataFile>& files, const NrrdLayout& layout, std::uint64_t width,
                          std::uint64_t height, std::uint64_t depth) {
    const std::uint64_t samples = width * height * depth;
    if (files.empty() || samples % files.size() != 0)
        return ImportRefusal{QStringLiteral("%1 data files cannot hold equal shares of %2 samples.")
                                 .arg(files.size())
                                 .arg(samples)};
    std::shared_ptr<InPlaceVolumeSource> source(
        new InPlaceVolumeSource(layout, width, height, samples / files.size()));
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (std::optional<ImportRefusal> refusal = source->addPart(files[i])) {
            if (files.size() == 1)
                return *refusal;
            return ImportRefusal{
                QStringLiteral("data file %1 of %2: %3").arg(i + 1).arg(files.size()).arg(refusal->reason)};
        }
    }
    return std::shared_ptr<const InPlaceVolumeSource>(std::move(source));
}

std::optional<ImportRefusal> InPlaceVolumeSource::addPart(const DataFile& file) {
    m_files.add(file.path);
    m_parts.push_back({});
    // Held while the part is checked; it stays in the cache for the first reads.
    const ImportResult<std::shared_ptr<const OpenFileCache::Descriptor>> opened =
        m_files.open(m_parts.size() - 1);
    if (const auto* refusal = std::get_if<ImportRefusal>(&opened))
        return *refusal;
    const int fd = std::get<std::shared_ptr<const OpenFileCache::Descriptor>>(opened)->fd();
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return cannotRead(file.path, errno);
    const auto fileSize = static_cast<std::uint64_t>(status.st_size);

    const std::optional<std::uint64_t> dataStart =
        afterLines(fd, file.dataStart, fileSize, m_layout.lineSkip);
    if (!dataStart)
        return ImportRefusal{
            QStringLiteral("The data ends before the %1 lines that \"line skip:\" passes over.")
                .arg(m_layout.lineSkip)};
    const std::uint64_t data = fileSize > *dataStart ? fileSize - *dataStart : 0;
    const std::uint64_t need = m_samplesPerFile * m_sampleBytes;
    std::uint64_t start = *dataStart;
    if (m_layout.byteSkip == NrrdLayout::kSamplesAtEnd)
        start = fileSize - std::min(data, need);
    else
        start += static_cast<std::uint64_t>(m_layout.byteSkip);
    const std::uint64_t have = fileSize > start ? fileSize - start : 0;
    if (have < need)
        return ImportRefusal::shortData(have, need);
    m_parts.back().samplesStart = start;
    return std::nullopt;
}

bool InPlaceVolumeSource::readPart(std::size_t part, std::uint64_t offset, std::byte* into,
                                   std::uint64_t bytes) const {
    const ImportResult<std::shared_ptr<const OpenFileCache::Descriptor>> opened = m_files.open(part);
    const auto* descriptor = std::get_if<std::shared_ptr<const OpenFileCache::Descriptor>>(&opened);
    if (descriptor && readFully((*descriptor)->fd(), m_parts[part].samplesStart + offset, into, bytes))
        return true;
    m_failedPart = part;
    return false;
}

QString InPlaceVolumeSource::unreadableFile() const {
    const std::size_t part = m_failedPart;
    return part == kNoPart ? QString() : QFileInfo(m_files.path(part)).fileName();
}

bool InPlaceVolumeSource::readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                                  std::uint16_t* out) const {
    std::uint64_t index = (z * m_height + y) * m_width + x;
    auto* texels = reinterpret_cast<std::byte*>(out);
    // A row may run across the end of one file into the next.
    while (count > 0) {
        const std::uint64_t within = index % m_samplesPerFile;
        const std::uint64_t piece = std::min(count, m_samplesPerFile - within);
        // 8-bit samples land in the back half of the piece's texels and widen forward.
        std::byte* samples = m_sampleBytes == 1 ? texels + piece : texels;
        if (!readPart(index / m_samplesPerFile, within * m_sampleBytes, samples, piece * m_sampleBytes))
            return false;
        if (!m_samplesAreTexels)
            samplesToTexels(m_layout.sampleType, m_layout.bigEndian, samples, texels, piece);
        texels += piece * kTexelBytes;
        index += piece;
        count -= piece;
    }
    return true;
}

bool InPlaceVolumeSource::readRows(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                                   std::uint64_t rows, std::uint16_t* out) const {
    if (rows == 0)
        return true;
    const std::uint64_t first = (z * m_height + y) * m_width + x;
    const std::uint64_t span = (rows - 1) * m_width + count;
    const bool oneFile = first / m_samplesPerFile == (first + span - 1) / m_samplesPerFile;
    if (rows == 1 || !oneFile || span * m_sampleBytes > kSpanBytes)
        return VolumeSource::readRows(x, y, z, count, rows, out);
    thread_local std::vector<std::byte> samples;
    samples.resize(span * m_sampleBytes);
    if (!readPart(first / m_samplesPerFile, first % m_samplesPerFile * m_sampleBytes, samples.data(),
                  samples.size()))
        return false;
    for (std::uint64_t row = 0; row < rows; ++row) {
        const std::byte* from = samples.data() + row * m_width * m_sampleBytes;
        std::uint16_t* to = out + row * count;
        if (m_samplesAreTexels)
            std::memcpy(to, from, count * kTexelBytes);
        else
            samplesToTexels(m_layout.sampleType, m_layout.bigEndian, from, reinterpret_cast<std::byte*>(to),
                            count);
    }
    return true;
}
