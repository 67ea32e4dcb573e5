#include "render/slice/SliceLoader.h"

#include "render/slice/SliceSampler.h"

#include <utility>

SliceLoader::SliceLoader(QObject* parent) : QObject(parent) {}

SliceLoader::~SliceLoader() {
    if (m_read.valid()) {
        m_read.wait();
    }
}

void SliceLoader::request(std::shared_ptr<const VolumeSource> source, const VolumeExtent& extent,
                          const SliceRequest& request) {
    Job job{std::move(source), extent, request};
    if (m_running) {
        m_waiting = std::move(job);
    } else {
        start(std::move(job));
    }
}

void SliceLoader::start(Job job) {
    m_running = true;
    m_read = std::async(std::launch::async, [this, job = std::move(job)] {
        auto result = SliceSampler::sample(*job.source, job.extent, job.request);
        // The destructor waits for this thread, so the loader outlives the posted call.
        QMetaObject::invokeMethod(
            this, [this, result = std::move(result)]() mutable { finish(std::move(result)); },
            Qt::QueuedConnection);
    });
}

void SliceLoader::finish(std::variant<SliceImage, QString> result) {
    m_running = false;
    if (m_waiting) {
        start(*std::exchange(m_waiting, std::nullopt));
    }
    if (const QString* reason = std::get_if<QString>(&result)) {
        emit failed(*reason);
        return;
    }
    emit loaded(std::make_shared<const SliceImage>(std::get<SliceImage>(std::move(result))));
}
