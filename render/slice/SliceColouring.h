#pragma once

#include "render/display/ColourMap.h"
#include "render/slice/SliceImage.h"

#include <QImage>
#include <cstdint>

// Colours a slice's texels as the 3-D view's shaders colour a sample: the raw value
// (texel + sample offset) placed in the display window (its floor 0, its top 1, a width
// below one raw unit taken as one), clamped, then read from the colour map's table linearly
// between its two nearest entries, all in single precision as the shader computes it.
class SliceColouring {
  public:
    struct Window {
        std::int64_t level = 0;
        std::int64_t width = 0;
        std::int32_t sampleOffset = 0;
    };

    SliceColouring(Window window, const ColourMap& map);

    QRgb colour(std::uint16_t texel) const;
    // A value between texels (in texel units, before the sample offset), as blended ones are.
    QRgb colourAt(float texel) const;
    // The picture, one pixel per texel, opaque.
    QImage colour(const SliceImage& slice) const;

  private:
    Window m_window;
    ColourMap::Table m_table;
};
