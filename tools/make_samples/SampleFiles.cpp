#include "SampleFiles.h"

#include <QDir>
#include <QSaveFile>
#include <QtEndian>
#include <algorithm>
#include <atomic>
#include <span>
#include <thread>

namespace {

// Samples are converted to the file's byte order through a buffer of this many
// samples, so the file is written in a few large writes.
constexpr std::size_t kWriteChunkSamples = std::size_t{1} << 21;

enum class ByteOrder { Little, Big };

std::optional<QString> writeSamples(const QString& path, std::span<const std::uint16_t> samples,
                                    ByteOrder order) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return path + QStringLiteral(": ") + file.errorString();
    std::vector<std::uint16_t> chunk(std::min(kWriteChunkSamples, samples.size()));
    for (std::size_t start = 0; start < samples.size(); start += chunk.size()) {
        const std::size_t count = std::min(chunk.size(), samples.size() - start);
        if (order == ByteOrder::Little)
            qToLittleEndian<std::uint16_t>(samples.data() + start, static_cast<qsizetype>(count),
                                           chunk.data());
        else
            qToBigEndian<std::uint16_t>(samples.data() + start, static_cast<qsizetype>(count), chunk.data());
        const auto bytes = static_cast<qint64>(count * sizeof(std::uint16_t));
        if (file.write(reinterpret_cast<const char*>(chunk.data()), bytes) != bytes)
            return path + QStringLiteral(": ") + file.errorString();
    }
    if (!file.commit())
        return path + QStringLiteral(": ") + file.errorString();
    return std::nullopt;
}

} // namespace

SampleGrid gridOverLargeSample(std::size_t width, std::size_t height, std::size_t depth) {
    const auto spacing = [](std::size_t largeCount, float largeSpacing, std::size_t count) {
        return largeSpacing * static_cast<float>(largeCount) /
               static_cast<float>(std::max<std::size_t>(count, 1));
    };
    return {width,
            height,
            depth,
            spacing(kLargeSampleGrid.width, kLargeSampleGrid.spacingX, width),
            spacing(kLargeSampleGrid.height, kLargeSampleGrid.spacingY, height),
            spacing(kLargeSampleGrid.depth, kLargeSampleGrid.spacingZ, depth)};
}

std::vector<std::uint16_t> renderHeadVolume(const SampleGrid& grid, unsigned workers) {
    std::vector<std::uint16_t> samples(grid.samples());
    const HeadPhantom phantom(grid);
    if (workers == 0)
        workers = std::max(1u, std::thread::hardware_concurrency());
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, std::max<std::size_t>(grid.depth, 1)));

    // Slices are handed out one at a time: their cost varies a lot (air above the
    // head, the whole skull in the middle), so a fixed split would leave a worker idle.
    std::atomic<std::size_t> nextSlice{0};
    const auto work = [&] {
        for (std::size_t z = nextSlice++; z < grid.depth; z = nextSlice++)
            phantom.renderSlice(z, std::span(samples).subspan(z * grid.sliceSamples(), grid.sliceSamples()));
    };
    std::vector<std::jthread> threads;
    for (unsigned i = 1; i < workers; ++i)
        threads.emplace_back(work);
    work();
    return samples;
}

std::optional<QString> writeLittleEndianVolume(const QString& path,
                                               const std::vector<std::uint16_t>& samples) {
    return writeSamples(path, samples, ByteOrder::Little);
}

std::optional<QString> writeBigEndianSlices(const QString& pathPrefix, const SampleGrid& grid,
                                            const std::vector<std::uint16_t>& samples) {
    const std::span<const std::uint16_t> all(samples);
    for (std::size_t z = 0; z < grid.depth; ++z) {
        const QString path = pathPrefix + u'.' + QString::number(z + 1);
        if (auto failure =
                writeSamples(path, all.subspan(z * grid.sliceSamples(), grid.sliceSamples()), ByteOrder::Big))
            return failure;
    }
    return std::nullopt;
}

std::optional<QString> writeSampleResources(const QString& folder) {
    const QDir dir(folder);
    if (!dir.mkpath(QStringLiteral("CThead")))
        return folder + QStringLiteral(": cannot create the folder");

    const std::vector<std::uint16_t> large = renderHeadVolume(kLargeSampleGrid);
    if (auto failure = writeLittleEndianVolume(dir.filePath(QStringLiteral("512x512x463-16U.raw")), large))
        return failure;

    const std::vector<std::uint16_t> small = renderHeadVolume(kSmallSampleGrid);
    if (auto failure = writeLittleEndianVolume(dir.filePath(QStringLiteral("256x256x113-16.raw")), small))
        return failure;
    return writeBigEndianSlices(dir.filePath(QStringLiteral("CThead/CThead")), kSmallSampleGrid, small);
}
