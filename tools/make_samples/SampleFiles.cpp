#include "SampleFiles.h"

#include "RawFileWriter.h"

#include <QDir>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

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

std::vector<std::uint16_t> renderHeadVolume(const SampleGrid& grid, unsigned workers, const SliceSink& sink) {
    std::vector<std::uint16_t> samples(grid.samples());
    const HeadPhantom phantom(grid);
    const std::size_t sliceSamples = grid.sliceSamples();
    if (workers == 0)
        workers = std::max(1u, std::thread::hardware_concurrency());
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, std::max<std::size_t>(grid.depth, 1)));

    // Slices are handed out one at a time: their cost varies a lot (air above the
    // head, the whole skull in the middle), so a fixed split would leave a worker idle.
    std::atomic<std::size_t> nextSlice{0};
    std::mutex mutex;
    std::condition_variable sliceDone;
    std::vector<bool> done(grid.depth, false);
    const auto work = [&] {
        for (std::size_t z = nextSlice++; z < grid.depth; z = nextSlice++) {
            phantom.renderSlice(z, std::span(samples).subspan(z * sliceSamples, sliceSamples));
            {
                const std::lock_guard lock(mutex);
                done[z] = true;
            }
            sliceDone.notify_all();
        }
    };
    std::vector<std::jthread> threads;
    for (unsigned i = 0; i < workers; ++i)
        threads.emplace_back(work);

    if (sink) {
        for (std::size_t z = 0; z < grid.depth; ++z) {
            std::unique_lock lock(mutex);
            sliceDone.wait(lock, [&] { return done[z]; });
            lock.unlock();
            if (!sink(std::span<const std::uint16_t>(samples).subspan(z * sliceSamples, sliceSamples))) {
                nextSlice = grid.depth;
                break;
            }
        }
    }
    threads.clear();
    return samples;
}

std::optional<QString> writeHeadVolume(const QString& path, const SampleGrid& grid,
                                       std::vector<std::uint16_t>* samples) {
    RawFileWriter file(path, RawFileWriter::ByteOrder::Little);
    std::vector<std::uint16_t> rendered = renderHeadVolume(
        grid, 0, [&file](std::span<const std::uint16_t> slice) { return file.write(slice); });
    if (samples)
        *samples = std::move(rendered);
    return file.commit();
}

std::optional<QString> writeBigEndianSlices(const QString& pathPrefix, const SampleGrid& grid,
                                            std::span<const std::uint16_t> samples) {
    for (std::size_t z = 0; z < grid.depth; ++z) {
        RawFileWriter file(pathPrefix + u'.' + QString::number(z + 1), RawFileWriter::ByteOrder::Big);
        file.write(samples.subspan(z * grid.sliceSamples(), grid.sliceSamples()));
        if (auto failure = file.commit())
            return failure;
    }
    return std::nullopt;
}

std::optional<QString> writeSampleResources(const QString& folder) {
    const QDir dir(folder);
    if (!dir.mkpath(QStringLiteral("CThead")))
        return folder + QStringLiteral(": cannot create the folder");
    if (auto failure = writeHeadVolume(dir.filePath(QStringLiteral("512x512x463-16U.raw")), kLargeSampleGrid))
        return failure;
    std::vector<std::uint16_t> small;
    if (auto failure =
            writeHeadVolume(dir.filePath(QStringLiteral("256x256x113-16.raw")), kSmallSampleGrid, &small))
        return failure;
    return writeBigEndianSlices(dir.filePath(QStringLiteral("CThead/CThead")), kSmallSampleGrid, small);
}
