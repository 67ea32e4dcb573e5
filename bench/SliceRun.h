#pragma once

#include "render/display/DisplayModel.h"
#include "render/scene/VolumeState.h"
#include "render/slice/SliceImage.h"

#include <QImage>
#include <QSize>
#include <vector>

// Draws slices as the viewer's slice views draw them: the texels read from the volume's
// source, coloured through the display window, and the picture painted into a view of
// `size` in the voxels' true proportions, and times each picture from the read to the
// last painted pixel.
class SliceRun {
  public:
    SliceRun(const VolumeState& volume, const DisplayModel& display, QSize size, SliceAxis axis,
             double slabMillimetres);

    // `frames` pictures of slice `index`, as when the window changes over one slice.
    void repeat(std::uint64_t index, int frames);
    // One picture of each of up to `slices` slices from `index` on, read as a slice view reads
    // them while the user steps.
    void step(std::uint64_t index, int slices);

    const std::vector<double>& frameMilliseconds() const { return m_frameMs; }
    double stepsPerSecond() const { return m_stepsPerSecond; }
    const QImage& lastPicture() const { return m_view; }

  private:
    SliceRequest request(std::uint64_t index) const;
    // The view's picture of `slice`: black where there is none.
    void paint(const SliceImage* slice);

    const VolumeState& m_volume;
    const DisplayModel& m_display;
    SliceAxis m_axis;
    double m_slabMillimetres;
    QImage m_view;
    std::vector<double> m_frameMs;
    double m_stepsPerSecond = 0.0;
};
