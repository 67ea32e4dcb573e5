#include "SliceRun.h"

#include "render/slice/SliceColouring.h"
#include "render/slice/SliceSampler.h"

#include <QElapsedTimer>
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

double SliceRun::draw(std::uint64_t index) {
    QElapsedTimer timer;
    timer.start();
    const VolumeExtent extent{m_volume.width, m_volume.height, m_volume.depth};
    const VoxelSpacing spacing{m_volume.cellspaceX, m_volume.cellspaceY, m_volume.cellspaceZ};
    const SliceRequest request{
        m_axis, index, SliceSampler::slabSlices(m_slabMillimetres, spacing[SliceGeometry::across(m_axis)])};
    const auto sampled = SliceSampler::sample(*m_volume.source, extent, request);
    QPainter painter(&m_view);
    painter.fillRect(m_view.rect(), Qt::black);
    if (const SliceImage* slice = std::get_if<SliceImage>(&sampled)) {
        const SliceColouring colouring(
            {m_display.windowLevel(), m_display.windowWidth(), m_volume.sampleOffset},
            ColourMap::blackAndWhite());
        painter.drawImage(SliceGeometry(m_axis, extent).placement(QSizeF(m_view.size()), spacing, 1.0, {}),
                          colouring.colour(*slice));
    }
    painter.end();
    return static_cast<double>(timer.nsecsElapsed()) / kNanosecondsPerMillisecond;
}

void SliceRun::repeat(std::uint64_t index, int frames) {
    for (int frame = 0; frame < frames; ++frame) {
        m_frameMs.push_back(draw(index));
    }
}

void SliceRun::step(std::uint64_t index, int slices) {
    const std::uint64_t last =
        SliceGeometry(m_axis, {m_volume.width, m_volume.height, m_volume.depth}).slices();
    double total = 0.0;
    int drawn = 0;
    for (std::uint64_t at = index; at < last && drawn < slices; ++at, ++drawn) {
        total += draw(at);
    }
    m_stepsPerSecond = total > 0.0 ? drawn * kMillisecondsPerSecond / total : 0.0;
}
