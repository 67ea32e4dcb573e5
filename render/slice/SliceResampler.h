#pragma once

#include "render/slice/SliceColouring.h"

#include <QImage>
#include <QRectF>
#include <cstdint>
#include <vector>

// Draws a slice with its values blended where a view magnifies or shrinks it, and only the
// blended value coloured, so a clamped window edge or a step in the colour map stays sharp
// instead of smearing colours across it. Where the view magnifies, a pixel takes the
// bilinear mean of the texels whose centres surround its own (the nearest edge texel past
// the outer centres); where it shrinks the slice, the mean of every texel its footprint
// covers, each by the share it covers, so that a line thinner than a pixel still shows
// instead of falling between the samples. Works on the view's pixels only and keeps its
// buffers: repainting an unchanged view allocates nothing.
class SliceResampler {
  public:
    // The view of `size` device pixels, `ratio` to the widget's, with the slice laid over
    // `placement` (widget coordinates) and black beyond it.
    const QImage& resample(const SliceImage& slice, const SliceColouring& colouring, QRectF placement,
                           QSize size, double ratio);

  private:
    // The texels one line of view pixels blends along one axis: `count` from `first`, their
    // weights (summing to one) from `weights` on in the axis's list.
    struct Tap {
        std::uint64_t first = 0;
        std::size_t count = 0;
        std::size_t weights = 0;
        bool inside = false;
    };
    // The taps of `pixels` view pixels over a slice `texels` long that starts at `start`
    // and spans `extent` device pixels.
    static void place(double start, double extent, std::uint64_t texels, int pixels, std::vector<Tap>& taps,
                      std::vector<float>& weights);

    QImage m_picture;
    std::vector<Tap> m_columns;
    std::vector<Tap> m_rows;
    std::vector<float> m_columnWeights;
    std::vector<float> m_rowWeights;
};
