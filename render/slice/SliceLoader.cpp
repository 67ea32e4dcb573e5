#include "render/slice/SliceLoader.h"

#include "render/slice/SliceSampler.h"

#include <utility>

namespace {

bool sagittalSlice(const SliceRequest& request) {
    return request.axis == SliceAxis::Sagittal && request.slabSlices <= 1 && request.level == 0;
}

} // namespace

SliceLoader::SliceLoader(QObject* parent) : QObject(parent) {}

SliceLoader::~SliceLoader() {
    if (m_read.valid()) {
        m_read.wait();
    }
}

void SliceLoader::request(std::shared_ptr<const VolumeSource> source, const VolumeExtent& extent,
                          const SliceRequest& request) {
    Job job{std::move(source), extent, request, ++m_serial};
    // Slices of another volume: the kept block would hold the one replaced (its files, the
    // coarse levels a pass keeps in memory) for as long as no sagittal slice is read.
    if (job.source != m_keptSource) {
        m_keptSource.reset();
        m_kept.clear();
    }
    if (std::shared_ptr<const SliceImage> image = kept(job)) {
        m_waiting.reset();
        QMetaObject::invokeMethod(
            this, [this, serial = job.serial, image] { deliver(serial, image); }, Qt::QueuedConnection);
    } else if (m_running) {
        m_waiting = std::move(job);
    } else {
        start(std::move(job));
    }
}

std::shared_ptr<const SliceImage> SliceLoader::kept(const Job& job) const {
    if (!sagittalSlice(job.request) || job.source != m_keptSource || job.extent != m_keptExtent) {
        return nullptr;
    }
    for (const auto& image : m_kept) {
        if (image->request == job.request) {
            return image;
        }
    }
    return nullptr;
}

void SliceLoader::start(Job job) {
    m_running = true;
    m_read = std::async(std::launch::async, [this, job = std::move(job)] {
        Result result;
        if (sagittalSlice(job.request)) {
            const std::uint64_t first = job.request.index - job.request.index % kSagittalBlock;
            result = SliceSampler::sampleSagittalBlock(*job.source, job.extent, first, kSagittalBlock);
        } else {
            auto one = SliceSampler::sample(*job.source, job.extent, job.request);
            if (SliceImage* image = std::get_if<SliceImage>(&one)) {
                result = std::vector<SliceImage>{std::move(*image)};
            } else {
                result = std::get<QString>(std::move(one));
            }
        }
        // The destructor waits for this thread, so the loader outlives the posted call.
        QMetaObject::invokeMethod(
            this, [this, job, result = std::move(result)]() mutable { finish(job, std::move(result)); },
            Qt::QueuedConnection);
    });
}

void SliceLoader::finish(const Job& job, Result result) {
    m_running = false;
    if (m_waiting) {
        start(*std::exchange(m_waiting, std::nullopt));
    }
    if (const QString* reason = std::get_if<QString>(&result)) {
        emit failed(*reason);
        return;
    }
    std::shared_ptr<const SliceImage> asked;
    std::vector<std::shared_ptr<const SliceImage>> images;
    for (SliceImage& image : std::get<std::vector<SliceImage>>(result)) {
        images.push_back(std::make_shared<const SliceImage>(std::move(image)));
        if (images.back()->request == job.request) {
            asked = images.back();
        }
    }
    if (sagittalSlice(job.request)) {
        m_keptSource = job.source;
        m_keptExtent = job.extent;
        m_kept = std::move(images);
    }
    if (asked) {
        deliver(job.serial, asked);
    }
}

void SliceLoader::deliver(std::uint64_t serial, std::shared_ptr<const SliceImage> image) {
    if (serial > m_delivered) {
        m_delivered = serial;
        emit loaded(std::move(image));
    }
}
