#include "ImageMetrics.h"

#include <algorithm>
#include <cstdlib>

namespace imagemetrics {

namespace {

int channelDifference(QRgb a, QRgb b) {
    return std::max(
        {std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
}

// Calls visit(x, y) for every position of the area `size`, row by row.
template <typename Visit> void forEachPixel(QSize size, Visit visit) {
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            visit(x, y);
        }
    }
}

// The foreground pixels of an image, gathered in one pass.
struct Foreground {
    Foreground(const QImage& image, QColor background) {
        forEachPixel(image.size(), [&](int x, int y) {
            const QRgb pixel = image.pixel(x, y);
            if (isForeground(pixel, background)) {
                ++count;
                centre += QPointF(x, y);
                bounds |= QRect(x, y, 1, 1);
                brightness += (qRed(pixel) + qGreen(pixel) + qBlue(pixel)) / 3.0;
            }
        });
    }
    int count = 0;
    QPointF centre;
    QRect bounds;
    double brightness = 0.0;
};

// The sum of `measure` over the pixels of the two images at each position of the area `size`.
template <typename Measure>
double sumOverPairs(const QImage& a, const QImage& b, QSize size, Measure measure) {
    double sum = 0.0;
    forEachPixel(size, [&](int x, int y) { sum += measure(a.pixel(x, y), b.pixel(x, y)); });
    return sum;
}

} // namespace

bool isForeground(QRgb pixel, QColor background) {
    return channelDifference(pixel, background.rgb()) > kChannelTolerance;
}

int foregroundCount(const QImage& image, QColor background) {
    return Foreground(image, background).count;
}

QPointF foregroundCentroid(const QImage& image, QColor background) {
    const Foreground f(image, background);
    return f.count == 0 ? QPointF(-1, -1) : f.centre / f.count;
}

QRect foregroundBounds(const QImage& image, QColor background) {
    return Foreground(image, background).bounds;
}

double meanForegroundBrightness(const QImage& image, QColor background) {
    const Foreground f(image, background);
    return f.count == 0 ? 0.0 : f.brightness / f.count;
}

int differingPixels(const QImage& a, const QImage& b, int tolerance) {
    return static_cast<int>(
        sumOverPairs(a, b, a.size(), [&](QRgb p, QRgb q) { return channelDifference(p, q) > tolerance; }));
}

int changedPixels(const QImage& a, const QImage& b) {
    return static_cast<int>(
        sumOverPairs(a, b, a.size().boundedTo(b.size()), [](QRgb p, QRgb q) { return p != q; }));
}

double meanChannelDifference(const QImage& a, const QImage& b) {
    return a.isNull() ? 0.0
                      : sumOverPairs(a, b, a.size(), channelDifference) /
                            (static_cast<double>(a.width()) * a.height());
}

// Each pixel against its right and lower neighbours: the last row and column have neither.
double fineDetail(const QImage& image) {
    double sum = 0.0;
    forEachPixel(image.size() - QSize(1, 1), [&](int x, int y) {
        const int here = qGray(image.pixel(x, y));
        sum += std::abs(here - qGray(image.pixel(x + 1, y))) + std::abs(here - qGray(image.pixel(x, y + 1)));
    });
    const double pairs = 2.0 * std::max(image.width() - 1, 0) * std::max(image.height() - 1, 0);
    return pairs > 0 ? sum / pairs : 0.0;
}

} // namespace imagemetrics
