#include "SliceRun.h"

#include "render/slice/SliceColouring.h"
#include "render/slice/SliceLoader.h"
#include "render/slice/SliceSampler.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPainter>
#include <algorithm>

namespace {

constexpr double kNanosecondsPerMillisecond = 1.0e6;
constexpr double kMillisecondsPerSecond = 1000.0;

} // namespace

SliceRun::SliceRun(const VolumeState& volume, const DisplayModel& display, QSize size, SliceAxis axis,
                   double slabMillimetres)
    : m_volume(volume), m_display(display), m_axis(axis), m_slabMillimetres(slabMillimetres),
      m_view(size, QImage::Format_RGB32) {}

SliceRequest SliceRun::request(std::uint64_t index) const {
    const VoxelSpacing spacing{m_volume.cellspaceX, m_volume.cellspaceY, m_volume.cellspaceZ};
    return {m_axis, index,
            SliceSampler::slabSlices(m_slabMillimetres, spacing[SliceGeometry::across(m_axis)])};
}

void SliceRun::paint(const SliceImage* slice) {
    const VolumeExtent extent{m_volume.width, m_volume.height, m_volume.depth};
    const VoxelSpacing spacing{m_volume.cellspaceX, m_volume.cellspaceY, m_volume.cellspaceZ};
    QPainter painter(&m_view);
    painter.fillRect(m_view.rect(), Qt::black);
    if (slice) {
        const SliceColouring colouring(
            {m_display.windowLevel(), m_display.windowWidth(), m_volume.sampleOffset},
            ColourMap::blackAndWhite());
        painter.drawImage(SliceGeometry(m_axis, extent).placement(QSizeF(m_view.size()), spacing, 1.0, {}),
                          colouring.colour(*slice));
    }
}

void SliceRun::repeat(std::uint64_t index, int frames) {
    const VolumeExtent extent{m_volume.width, m_volume.height, m_volume.depth};
    for (int frame = 0; frame < frames; ++frame) {
        QElapsedTimer timer;
        timer.start();
        const auto sampled = SliceSampler::sample(*m_volume.source, extent, request(index));
        paint(std::get_if<SliceImage>(&sampled));
        m_frameMs.push_back(static_cast<double>(timer.nsecsElapsed()) / kNanosecondsPerMillisecond);
    }
}

void SliceRun::step(std::uint64_t index, int slices) {
    // Through the viewer's loader, its thread and the blocks it keeps, one picture at a time.
    const VolumeExtent extent{m_volume.width, m_volume.height, m_volume.depth};
    const std::uint64_t last = SliceGeometry(m_axis, extent).slices();
    SliceLoader loader;
    QEventLoop arrived;
    std::shared_ptr<const SliceImage> slice;
    QObject::connect(&loader, &SliceLoader::loaded, &arrived, [&](std::shared_ptr<const SliceImage> image) {
        slice = std::move(image);
        arrived.quit();
    });
    QObject::connect(&loader, &SliceLoader::failed, &arrived, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    int drawn = 0;
    for (std::uint64_t at = index; at < last && drawn < slices; ++at, ++drawn) {
        slice.reset();
        loader.request(m_volume.source, extent, request(at));
        arrived.exec();
        paint(slice.get());
    }
    const double seconds =
        static_cast<double>(timer.nsecsElapsed()) / kNanosecondsPerMillisecond / kMillisecondsPerSecond;
    m_stepsPerSecond = seconds > 0.0 ? drawn / seconds : 0.0;
}
