#pragma once

#include "render/slice/SliceColouring.h"

#include <QImage>
#include <QRectF>
#include <cstdint>
#include <vector>

// Draws a slice with its values blended where a view magnifies or shrinks it: each pixel of
// the view takes the bilinear mean of the texels whose centres surround its own (the nearest
// edge texel past the outer centres), and only that value is coloured, so a clamped window
// edge or a step in the colour map stays sharp instead of smearing colours across it.
// Works on the view's pixels only and keeps its buffers: an unchanged view size allocates
// nothing on a repaint.
class SliceResampler {
  public:
    // The view of `size` device pixels, `ratio` to the widget's, with the slice laid over
    // `placement` (widget coordinates) and black beyond it.
    const QImage& resample(const SliceImage& slice, const SliceColouring& colouring, QRectF placement,
                           QSize size, double ratio);

  private:
    // Where one line of view pixels falls between two texels.
    struct Tap {
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        float share = 0.0f; // of the high texel
        bool inside = false;
    };
    // The taps of `pixels` view pixels over a slice `texels` long that starts at `start`
    // and spans `extent` device pixels.
    static void place(double start, double extent, std::uint64_t texels, int pixels, std::vector<Tap>& taps);

    QImage m_picture;
    std::vector<Tap> m_columns;
    std::vector<Tap> m_rows;
};
