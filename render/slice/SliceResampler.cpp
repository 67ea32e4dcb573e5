#include "render/slice/SliceResampler.h"

#include <algorithm>
#include <cmath>

void SliceResampler::place(double start, double extent, std::uint64_t texels, int pixels,
                           std::vector<Tap>& taps) {
    taps.resize(static_cast<std::size_t>(pixels));
    const double last = static_cast<double>(texels) - 1.0;
    for (int pixel = 0; pixel < pixels; ++pixel) {
        // The pixel's centre in texels; texel centres lie half a texel in.
        const double at = (pixel + 0.5 - start) / extent * static_cast<double>(texels);
        const double between = std::clamp(at - 0.5, 0.0, last);
        const double low = std::floor(between);
        Tap& tap = taps[static_cast<std::size_t>(pixel)];
        tap.low = static_cast<std::uint64_t>(low);
        tap.high = std::min(tap.low + 1, texels - 1);
        tap.share = static_cast<float>(between - low);
        tap.inside = at >= 0.0 && at < static_cast<double>(texels);
    }
}

const QImage& SliceResampler::resample(const SliceImage& slice, const SliceColouring& colouring,
                                       QRectF placement, QSize size, double ratio) {
    if (m_picture.size() != size) {
        m_picture = QImage(size, QImage::Format_RGB32);
    }
    m_picture.setDevicePixelRatio(ratio);
    if (slice.width == 0 || slice.height == 0 || placement.isEmpty()) {
        m_picture.fill(Qt::black);
        return m_picture;
    }
    place(placement.left() * ratio, placement.width() * ratio, slice.width, size.width(), m_columns);
    place(placement.top() * ratio, placement.height() * ratio, slice.height, size.height(), m_rows);
    const QRgb black = qRgb(0, 0, 0);
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(m_picture.scanLine(y));
        const Tap& row = m_rows[static_cast<std::size_t>(y)];
        for (int x = 0; x < size.width(); ++x) {
            const Tap& column = m_columns[static_cast<std::size_t>(x)];
            if (!row.inside || !column.inside) {
                line[x] = black;
                continue;
            }
            const auto across = [&](std::uint64_t r) {
                const float low = slice.at(column.low, r);
                return low + (static_cast<float>(slice.at(column.high, r)) - low) * column.share;
            };
            const float upper = across(row.low);
            line[x] = colouring.colourAt(upper + (across(row.high) - upper) * row.share);
        }
    }
    return m_picture;
}
