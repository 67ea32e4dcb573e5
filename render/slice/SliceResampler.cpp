#include "render/slice/SliceResampler.h"

#include <algorithm>
#include <cmath>

void SliceResampler::place(double start, double extent, std::uint64_t texels, int pixels,
                           std::vector<Tap>& taps, std::vector<float>& weights) {
    taps.resize(static_cast<std::size_t>(pixels));
    weights.clear();
    const double length = static_cast<double>(texels);
    const double perPixel = length / extent; // texels one device pixel spans
    for (int pixel = 0; pixel < pixels; ++pixel) {
        // The pixel's centre in texels; texel centres lie half a texel in.
        const double at = (pixel + 0.5 - start) * perPixel;
        Tap& tap = taps[static_cast<std::size_t>(pixel)];
        tap.inside = at >= 0.0 && at < length;
        tap.weights = weights.size();
        if (!tap.inside) {
            tap.count = 0;
            continue;
        }
        if (perPixel <= 1.0) {
            const double between = std::clamp(at - 0.5, 0.0, length - 1.0);
            const double low = std::floor(between);
            const float share = static_cast<float>(between - low);
            tap.first = static_cast<std::uint64_t>(low);
            tap.count = tap.first + 1 < texels ? 2 : 1;
            weights.push_back(tap.count == 2 ? 1.0f - share : 1.0f);
            if (tap.count == 2) {
                weights.push_back(share);
            }
            continue;
        }
        // The footprint [at − perPixel / 2, at + perPixel / 2), cut to the slice; texel i
        // covers [i, i + 1).
        const double from = std::max(at - 0.5 * perPixel, 0.0);
        const double to = std::min(at + 0.5 * perPixel, length);
        tap.first = static_cast<std::uint64_t>(from);
        const auto end = std::min(static_cast<std::uint64_t>(std::ceil(to)), texels);
        tap.count = static_cast<std::size_t>(std::max<std::uint64_t>(end - tap.first, 1));
        for (std::size_t i = 0; i < tap.count; ++i) {
            const double texel = static_cast<double>(tap.first + i);
            const double covered = std::min(to, texel + 1.0) - std::max(from, texel);
            weights.push_back(static_cast<float>(std::max(covered, 0.0) / (to - from)));
        }
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
    place(placement.left() * ratio, placement.width() * ratio, slice.width, size.width(), m_columns,
          m_columnWeights);
    place(placement.top() * ratio, placement.height() * ratio, slice.height, size.height(), m_rows,
          m_rowWeights);
    const QRgb black = qRgb(0, 0, 0);
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(m_picture.scanLine(y));
        const Tap& row = m_rows[static_cast<std::size_t>(y)];
        const float* rowWeights = m_rowWeights.data() + row.weights;
        for (int x = 0; x < size.width(); ++x) {
            const Tap& column = m_columns[static_cast<std::size_t>(x)];
            if (!row.inside || !column.inside) {
                line[x] = black;
                continue;
            }
            const float* columnWeights = m_columnWeights.data() + column.weights;
            float value = 0.0f;
            for (std::size_t j = 0; j < row.count; ++j) {
                float across = 0.0f;
                for (std::size_t i = 0; i < column.count; ++i) {
                    across +=
                        columnWeights[i] * static_cast<float>(slice.at(column.first + i, row.first + j));
                }
                value += rowWeights[j] * across;
            }
            line[x] = colouring.colourAt(value);
        }
    }
    return m_picture;
}
