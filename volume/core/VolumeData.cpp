#include "volume/core/VolumeData.h"

#include "volume/core/VolumeSize.h"
#include "volume/samples/Classification.h"

#include <QByteArray>
#include <QDir>
#include <QSaveFile>
#include <QtEndian>
#include <QtGlobal>
#include <cstddef>
#include <cstring>

namespace {

// The built-in CT head: 512 x 512 x 463 voxels of 0.625 x 0.625 x 1.0 mm.
constexpr std::uint64_t kBundleWidth = 512;
constexpr std::uint64_t kBundleHeight = 512;
constexpr std::uint64_t kBundleDepth = 463;
constexpr float kBundleCellspaceXY = 0.625f;
constexpr float kBundleCellspaceZ = 1.0f;
constexpr auto kRawExtension = "raw";

constexpr std::uint64_t kSample2Width = 256;
constexpr std::uint64_t kSample2Height = 256;
constexpr std::uint64_t kSample2Depth = 113;
constexpr auto kSample2Resource = "256x256x113-16";

constexpr std::uint64_t kSmallWidth = 64;
constexpr std::uint64_t kSmallHeight = 64;
constexpr std::uint64_t kSmallDepth = 93;

constexpr std::uint64_t kHeadWidth = 256;
constexpr std::uint64_t kHeadHeight = 256;
constexpr std::uint64_t kHeadDepth = 113;
constexpr auto kHeadSliceResource = "CThead/CThead";
constexpr auto kHeadRawCopyName = "test16.raw";

constexpr std::size_t kBytesPerSample = 2;

void logCouldNotOpen(const QString& reason) {
    qInfo("Could not open File:%s", qUtf8Printable(reason));
}

// Samples that lie (wholly or partly) beyond the end of a short input read as 0,
// so a short file yields a complete volume whose missing tail is air instead of a
// read past the buffer.
std::uint16_t littleEndianSampleAt(const ByteBuffer& bytes, std::size_t index) {
    const std::size_t offset = index * kBytesPerSample;
    if (offset + kBytesPerSample > bytes.size())
        return 0;
    return qFromLittleEndian<std::uint16_t>(bytes.data() + offset);
}

std::uint16_t bigEndianSampleAt(const QByteArray& bytes, std::size_t index) {
    const std::size_t offset = index * kBytesPerSample;
    if (offset + kBytesPerSample > static_cast<std::size_t>(bytes.size()))
        return 0;
    return qFromBigEndian<std::uint16_t>(bytes.constData() + offset);
}

template <typename SampleAt, typename Classify>
ByteBuffer classifyVolume(std::size_t voxelCount, SampleAt sampleAt, Classify classify) {
    QByteArray out(static_cast<qsizetype>(voxelCount * sizeof(ClassifiedVoxel)), '\0');
    char* dst = out.data();
    for (std::size_t i = 0; i < voxelCount; ++i) {
        const ClassifiedVoxel voxel = classify(sampleAt(i));
        std::memcpy(dst + i * sizeof(ClassifiedVoxel), voxel.data(), sizeof(ClassifiedVoxel));
    }
    return ByteBuffer::fromByteArray(std::move(out));
}

} // namespace

// A 512 sample shorter than its dimensions is refused rather than padded: the
// renderer uploads width x height x depth samples from `data`, and a view of half a
// head padded with air would look like a valid volume. The file is mapped, not
// copied: the record shares the page cache's pages.
std::unique_ptr<VolumeData> VolumeData::initWithBundle(const Bundle& bundle) {
    std::unique_ptr<VolumeData> volume(new VolumeData);
    volume->m_width = kBundleWidth;
    volume->m_height = kBundleHeight;
    volume->m_depth = kBundleDepth;
    volume->m_cellspaceX = kBundleCellspaceXY;
    volume->m_cellspaceY = kBundleCellspaceXY;
    volume->m_cellspaceZ = kBundleCellspaceZ;

    const std::optional<QString> path =
        bundle.URLForResource(VolumeData::kSampleResourceName, VolumeData::kSampleResourceExtension);
    if (!path)
        return volume;
    ByteBuffer bytes = ByteBuffer::mapFile(*path);
    const std::size_t needed = *volumeBytes(kBundleWidth, kBundleHeight, kBundleDepth);
    if (!bytes.isNull() && bytes.size() < needed) {
        qInfo("Sample volume %s is short: %zu of %zu bytes (%zu missing); not loaded", qUtf8Printable(*path),
              bytes.size(), needed, needed - bytes.size());
        return volume;
    }
    volume->m_data = std::move(bytes);
    volume->m_dataPath = *path;
    return volume;
}

std::unique_ptr<VolumeData> VolumeData::init16U(const Bundle& bundle) {
    return initWithBundle(bundle);
}

// data2flip keeps only the low byte of each sample, stored big-endian behind a zero
// high byte. It always covers all 256 x 256 x 113 voxels: samples missing from a short
// data2 count as 0. Without data2 there is nothing to derive it from and it stays null.
std::unique_ptr<VolumeData> VolumeData::init2(const Bundle& bundle) {
    std::unique_ptr<VolumeData> volume(new VolumeData);
    volume->m_width = kSample2Width;
    volume->m_height = kSample2Height;
    volume->m_depth = kSample2Depth;

    const std::optional<QString> path = bundle.URLForResource(kSample2Resource, kRawExtension);
    if (!path)
        return volume;
    volume->m_data2 = ByteBuffer::mapFile(*path);
    if (volume->m_data2.isNull())
        return volume;

    const std::size_t voxelCount = kSample2Width * kSample2Height * kSample2Depth;
    QByteArray flipped(static_cast<qsizetype>(voxelCount * kBytesPerSample), '\0');
    char* dst = flipped.data();
    for (std::size_t i = 0; i < voxelCount; ++i)
        dst[i * kBytesPerSample + 1] = static_cast<char>(littleEndianSampleAt(volume->m_data2, i) & 0xFFu);
    volume->m_data2flip = ByteBuffer::fromByteArray(std::move(flipped));
    return volume;
}

// Any readable file gives a 64 x 64 x 93 classified volume; samples missing from a
// short file count as 0 (the lowest, faintest row of the table).
std::unique_ptr<VolumeData> VolumeData::initWithFileAtLocation(const QString& path) {
    QString reason;
    const ByteBuffer bytes = ByteBuffer::readFile(path, &reason);
    if (bytes.isNull()) {
        logCouldNotOpen(path + QStringLiteral(": ") + reason);
        return nullptr;
    }
    std::unique_ptr<VolumeData> volume(new VolumeData);
    volume->m_width = kSmallWidth;
    volume->m_height = kSmallHeight;
    volume->m_depth = kSmallDepth;
    volume->m_data = classifyVolume(
        kSmallWidth * kSmallHeight * kSmallDepth,
        [&bytes](std::size_t i) { return littleEndianSampleAt(bytes, i); }, classifySample);
    return volume;
}

// The CT head slices are big-endian. The assembled raw slices are also saved as
// test16.raw in the home folder, replaced atomically so a reader never sees half a
// file; that copy is a convenience, and failing to write it changes nothing here.
// Samples missing from short slices count as 0 (air).
std::unique_ptr<VolumeData> VolumeData::initWithFileAtLocation2(const QString&, const Bundle& bundle) {
    const std::size_t voxelCount = kHeadWidth * kHeadHeight * kHeadDepth;
    QByteArray rawSlices;
    rawSlices.reserve(static_cast<qsizetype>(voxelCount * kBytesPerSample));
    for (std::uint64_t slice = 1; slice <= kHeadDepth; ++slice) {
        const QString extension = QString::number(slice);
        const std::optional<QString> path = bundle.URLForResource(kHeadSliceResource, extension);
        QString reason;
        const ByteBuffer bytes = path ? ByteBuffer::readFile(*path, &reason) : ByteBuffer();
        if (bytes.isNull()) {
            if (!path)
                reason = QStringLiteral("No such file or directory");
            logCouldNotOpen(bundle.pathForResource(kHeadSliceResource, extension) + QStringLiteral(": ") +
                            reason);
            return nullptr;
        }
        rawSlices.append(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    }

    QSaveFile copy(QDir(QDir::homePath()).filePath(kHeadRawCopyName));
    if (copy.open(QIODevice::WriteOnly) && copy.write(rawSlices) == rawSlices.size())
        copy.commit();

    std::unique_ptr<VolumeData> volume(new VolumeData);
    volume->m_width = kHeadWidth;
    volume->m_height = kHeadHeight;
    volume->m_depth = kHeadDepth;
    volume->m_data = classifyVolume(
        voxelCount, [&rawSlices](std::size_t i) { return bigEndianSampleAt(rawSlices, i); },
        classifyHeadSample);
    return volume;
}
